// What the fuzz targets share: a verdict that stops the run, a reader that
// takes the fuzz input from the front, the stored bytes of a trie, a watch
// on the heap, and the input formats of the walk and build targets (read and
// written side by side, so that the seed corpus and the targets agree).
#pragma once

#include <sanitizer/allocator_interface.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "little_endian.hpp"
#include "prefix/build.hpp"
#include "prefix/trie_codec.hpp"
#include "prefix/validate.hpp"
#include "reference/random_trie.hpp"

namespace quillon::fuzz {

// A finding: the message goes to standard error and the process aborts, which
// libFuzzer reports as a crash and saves the input for.
[[noreturn]] inline void fail(const std::string& what) {
  std::fprintf(stderr, "\n*** fuzz check failed: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

inline void require(bool ok, const std::string& what) {
  if (!ok) fail(what);
}

using Bytes = std::vector<std::uint8_t>;

// The stored form of `trie`.
inline Bytes encoded(const Trie& trie) {
  Bytes out(encoded_size(trie));
  encode(trie, out);
  return out;
}

// Takes the input byte by byte from the front; an exhausted input reads as
// zeros, so every input means something.
class ByteReader {
 public:
  explicit ByteReader(std::span<const std::uint8_t> in) : in_(in) {}

  std::uint8_t u8() { return pos_ < in_.size() ? in_[pos_++] : 0; }
  std::uint32_t u32() {
    const std::uint8_t bytes[4] = {u8(), u8(), u8(), u8()};
    return static_cast<std::uint32_t>(load_little_endian<4>(bytes));
  }
  // The bytes not read yet.
  std::span<const std::uint8_t> rest() const { return in_.subspan(std::min(pos_, in_.size())); }

 private:
  std::span<const std::uint8_t> in_;
  std::size_t pos_ = 0;
};

// Peak heap growth while a watch runs, from the sanitizer's allocation hooks:
// lets a target refuse work whose memory the input does not justify.
class HeapWatch {
 public:
  HeapWatch() {
    static const bool installed = [] {
      return __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free) != 0;
    }();
    require(installed, "the allocation hooks could not be installed");
    live() = 0;
    peak() = 0;
    watching() = true;
  }
  ~HeapWatch() { watching() = false; }
  HeapWatch(const HeapWatch&) = delete;
  HeapWatch& operator=(const HeapWatch&) = delete;

  // The largest number of bytes held at once, above the level at the start.
  std::int64_t peak_bytes() const { return peak(); }

 private:
  static std::int64_t& live() { static std::int64_t v = 0; return v; }
  static std::int64_t& peak() { static std::int64_t v = 0; return v; }
  static bool& watching() { static bool v = false; return v; }

  static void on_malloc(const volatile void*, std::size_t size) {
    if (!watching()) return;
    live() += static_cast<std::int64_t>(size);
    peak() = std::max(peak(), live());
  }
  static void on_free(const volatile void* ptr) {
    if (!watching() || ptr == nullptr) return;
    live() -= static_cast<std::int64_t>(__sanitizer_get_allocated_size(const_cast<const void*>(ptr)));
  }
};

// ----------------------------------------------------------------- walk input

// A query over a stored trie: a header, then the trie's stored bytes.
//   byte 0: max_dist: below 200 it is the byte mod 8; otherwise one of
//           kLargeDistances, or (255) the next 4 bytes little-endian;
//   byte 1: limit: below 160 none, otherwise the byte mod 10;
//   byte 2: query length, mod 25 code points;
//   then one byte per code point: below 192 a letter of kAlphabet, otherwise
//   the label of node (byte - 192) mod the node count;
//   the rest: the trie as stored.
inline constexpr auto& kAlphabet = testing::kLetters;
inline constexpr std::uint32_t kLargeDistances[] = {8, 16, 65534, 65535, 65536, 131071, 4294967294u, 4294967295u};

struct WalkHeader {
  std::uint32_t max_dist = 1;
  std::optional<std::uint32_t> limit;
  std::vector<std::uint8_t> query_selectors;
};

inline WalkHeader read_walk_header(ByteReader& in) {
  WalkHeader h;
  const std::uint8_t dist = in.u8();
  if (dist < 200)
    h.max_dist = dist % 8;
  else if (dist < 255)
    h.max_dist = kLargeDistances[(dist - 200) % std::size(kLargeDistances)];
  else
    h.max_dist = in.u32();
  const std::uint8_t limit = in.u8();
  if (limit >= 160) h.limit = limit % 10;
  const std::size_t length = in.u8() % 25;
  for (std::size_t i = 0; i < length; ++i) h.query_selectors.push_back(in.u8());
  return h;
}

// Header bytes that read back as (max_dist below 8, limit, query); the query
// is given as letter positions in kAlphabet.
inline Bytes write_walk_header(std::uint8_t max_dist, std::optional<std::uint8_t> limit,
                               const std::vector<std::uint8_t>& letters) {
  Bytes out{static_cast<std::uint8_t>(max_dist % 8),
            static_cast<std::uint8_t>(limit ? 160 + *limit % 10 : 0),
            static_cast<std::uint8_t>(letters.size())};
  out.insert(out.end(), letters.begin(), letters.end());
  return out;
}

// ---------------------------------------------------------------- build input

// The host's arrays in native form, read from the fuzz input. Lengths are
// mostly consistent and sometimes off by one; node_shifts is either a proper
// layout of per-node child counts or raw values; child ids are mostly in
// range; payloads are mostly well formed; the id table is mostly uniform.
struct BuildCase {
  // A payload entry as the host conversion delivers it.
  struct Entry {
    enum Kind : std::uint8_t { Absent, Present, Refused } kind = Absent;
    std::uint32_t total_count = 0;
    std::vector<std::uint32_t> ids;
    std::vector<std::uint32_t> counts;
  };

  std::vector<std::uint32_t> node_shifts;
  std::vector<char32_t> child_labels;
  std::vector<std::uint32_t> child_transitions;
  std::vector<Entry> payloads;
  std::vector<Bytes> video_index;
  std::uint32_t video_top_n = 0;
};

// Mostly `n`, sometimes one more or one less.
inline std::size_t length_near(std::size_t n, std::uint8_t sel) {
  if (sel < 240) return n;
  if (sel < 248) return n + 1;
  return n > 0 ? n - 1 : 1;
}

// A count: small, or close to 2^32 so that sums saturate.
inline std::uint32_t count_value(std::uint8_t sel) {
  return sel < 240 ? sel : UINT32_MAX - (255u - sel);
}

inline BuildCase read_build_case(ByteReader& in) {
  BuildCase c;
  const std::size_t n = in.u8() % 40;
  const std::uint8_t layout = in.u8();
  const std::size_t shifts = length_near(n, in.u8());
  if (layout % 2 == 0) {
    // A proper layout: each node's run follows the previous one.
    std::uint32_t at = 0;
    for (std::size_t i = 0; i < shifts; ++i) {
      c.node_shifts.push_back(at);
      at += in.u8() % 4;
    }
    c.child_transitions.resize(at);
  } else {
    // Raw starts: runs may overlap, run backwards or reach past the end.
    const std::size_t transitions = in.u8() % 48;
    for (std::size_t i = 0; i < shifts; ++i) c.node_shifts.push_back(in.u8() % (transitions + 4));
    c.child_transitions.resize(transitions);
  }
  for (std::uint32_t& child : c.child_transitions) {
    const std::uint8_t v = in.u8();
    if (v < 250)
      child = n > 0 ? v % n : v;
    else if (v < 255)
      child = static_cast<std::uint32_t>(n + (v - 250));
    else
      child = in.u32();
  }
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t v = in.u8();
    c.child_labels.push_back(v % 8 == 7 ? 0 : kAlphabet[v % 6]);
  }
  const std::size_t entries = length_near(n, in.u8());
  for (std::size_t i = 0; i < entries; ++i) {
    BuildCase::Entry e;
    const std::uint8_t tag = in.u8();
    if (tag == 255) {
      e.kind = BuildCase::Entry::Refused;
    } else if (tag % 4 != 0) {
      e.kind = BuildCase::Entry::Present;
      e.total_count = count_value(in.u8());
      const std::size_t k = in.u8() % 6;
      const std::uint8_t shape = in.u8();
      const std::size_t counts = shape == 255 ? k + 1 : (shape == 254 && k > 0 ? k - 1 : k);
      for (std::size_t j = 0; j < k; ++j) {
        const std::uint8_t id = in.u8();
        e.ids.push_back(id < 250 ? id % 8 : UINT32_MAX - id);
      }
      for (std::size_t j = 0; j < counts; ++j) e.counts.push_back(count_value(in.u8()));
    }
    c.payloads.push_back(std::move(e));
  }
  const std::size_t m = in.u8() % 6;
  const std::uint8_t width_sel = in.u8();
  for (std::size_t j = 0; j < m; ++j) {
    std::size_t width = width_sel % 2 == 0 ? 16 : 4;
    if (width_sel >= 250 && j == m - 1) width = (width_sel - 250) * 3;  // 0, 3, 6, ... 15
    Bytes id;
    for (std::size_t b = 0; b < width; ++b) id.push_back(in.u8());
    c.video_index.push_back(std::move(id));
  }
  const std::uint8_t top = in.u8();
  c.video_top_n = top < 250 ? top % 8 : UINT32_MAX - (255u - top);
  return c;
}

}  // namespace quillon::fuzz
