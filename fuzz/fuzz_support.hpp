// What the fuzz targets share: a verdict that stops the run, a reader that
// takes the fuzz input from the front, the stored bytes of a trie, index
// files at an aligned address, a watch on the heap, a bound on the steps of
// a walk, and the input formats of the targets (read and written side by
// side, so that the seed corpus and the targets agree).
#pragma once

#include <sanitizer/allocator_interface.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "index/index_sections.hpp"
#include "little_endian.hpp"
#include "prefix/build.hpp"
#include "prefix/trie_codec.hpp"
#include "prefix/trie_view.hpp"
#include "prefix/validate.hpp"
#include "reference/completion.hpp"
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

// Bytes at an address aligned as a mapped file's are (the index arrays are
// read in place), allocated at exactly their length so that the sanitizer
// sees a read one byte past the end.
class AlignedBytes {
 public:
  explicit AlignedBytes(std::size_t size)
      : data_(static_cast<std::uint8_t*>(::operator new(std::max<std::size_t>(size, 1), kAlignment))), size_(size) {}
  explicit AlignedBytes(std::span<const std::uint8_t> bytes) : AlignedBytes(bytes.size()) {
    std::copy(bytes.begin(), bytes.end(), data_.get());
  }

  std::span<std::uint8_t> span() { return {data_.get(), size_}; }
  std::span<const std::uint8_t> view() const { return {data_.get(), size_}; }

 private:
  static constexpr std::align_val_t kAlignment{index_file::kAlign};
  struct Free {
    void operator()(std::uint8_t* p) const { ::operator delete(p, kAlignment); }
  };
  std::unique_ptr<std::uint8_t[], Free> data_;
  std::size_t size_;
};

// The index file of `trie` as the package's writer lays it out: the stored
// trie, the trie's arrays, then the completion records and the videos
// section where given.
inline AlignedBytes written_index(const Trie& trie, const CompletionData* completion,
                                  const index_file::VideoTable* videos = nullptr) {
  std::array<std::uint32_t, 2> params{};
  index_file::ContainerWriter writer;
  writer.add_raw_section(index_file::kTrieSection, encoded_size(trie),
                         [&](std::span<std::uint8_t> out) { encode(trie, out); });
  writer.add_array_section(index_file::kNodesSection, index_file::node_arrays(trie, params));
  if (completion != nullptr)
    writer.add_array_section(index_file::kCompletionSection, index_file::completion_arrays(*completion));
  if (videos != nullptr) writer.add_array_section(index_file::kVideosSection, index_file::video_arrays(*videos));
  AlignedBytes file(writer.file_size());
  writer.write(file.span());
  return file;
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

// Steps a walk could take at most, on any arrays: every child of a run
// (from child_transitions, and from the search edges where they give
// another run) down to the depth where no row can stay within the bound
// (n + bound), without pruning. Entries outside the arrays are passed over
// (the walk throws at them), so this counts at least what a walk reads.
// Used to keep graphs with many paths out of reach of a hang; gives up once
// past `budget`.
inline std::size_t walk_steps(const TrieView& trie, std::size_t n, std::uint64_t bound, std::size_t budget) {
  const std::size_t nodes = trie.node_count();
  if (nodes == 0 || trie.node_shifts.size() != nodes) return 0;
  using Run = std::pair<std::size_t, std::size_t>;
  const std::span<const SearchEdge> edges = trie.search_edges();
  const std::size_t transitions = trie.child_transitions.size();
  // The run of `node` as ChildrenView::of reads it.
  const auto shifts_run = [&](std::size_t node) -> Run {
    return {trie.node_shifts[node], node + 1 < nodes ? trie.node_shifts[node + 1] : transitions};
  };
  const std::uint64_t deepest = n + bound;
  std::size_t steps = 0;
  std::vector<std::pair<Run, std::uint64_t>> stack{{shifts_run(0), 0}};
  while (!stack.empty() && steps <= budget) {
    const auto [run, depth] = stack.back();
    stack.pop_back();
    for (std::size_t p = run.first; p < std::min(run.second, transitions) && steps <= budget; ++p) {
      ++steps;
      if (depth + 1 > deepest) continue;
      const std::uint32_t child = trie.child_transitions[p];
      const bool labelled = (child < nodes && trie.child_labels[child] != 0) || (!edges.empty() && edges[p].label != 0);
      if (!labelled) continue;
      if (child < nodes) stack.push_back({shifts_run(child), depth + 1});
      if (edges.empty() || edges[p].run_length == SearchEdge::kLongRun) continue;
      const Run edge_run{edges[p].run_begin, std::size_t{edges[p].run_begin} + edges[p].run_length};
      if (child >= nodes || edge_run != shifts_run(child)) stack.push_back({edge_run, depth + 1});
    }
  }
  return steps;
}

// The bound a walk of a query of `n` characters can afford within `budget`
// steps: `max_dist` itself, else 1, else none (the input is of no use).
inline std::optional<std::uint32_t> affordable_bound(const TrieView& trie, std::size_t n, std::uint32_t max_dist,
                                                     std::size_t budget) {
  for (const std::uint32_t bound : {max_dist, std::min<std::uint32_t>(max_dist, 1)}) {
    const std::uint64_t reach = std::min<std::uint64_t>(bound, n + trie.node_count());
    if (walk_steps(trie, n, reach, budget) <= budget) return bound;
  }
  return std::nullopt;
}

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

// A query from one selector byte per code point: below 192 a letter of
// kAlphabet, otherwise the label of node (byte - 192) mod the node count
// where that node is labelled with a Unicode scalar value (a damaged index
// may hold any value), so that queries meet what the trie holds.
inline std::u32string query_of(std::span<const std::uint8_t> selectors, std::span<const char32_t> labels) {
  std::u32string query;
  for (const std::uint8_t s : selectors) {
    char32_t cp = kAlphabet[s % std::size(kAlphabet)];
    if (s >= 192 && !labels.empty()) {
      const char32_t label = labels[(s - 192) % labels.size()];
      if (label != 0 && label <= 0x10FFFF && (label < 0xD800 || label > 0xDFFF)) cp = label;
    }
    query.push_back(cp);
  }
  return query;
}

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

// ---------------------------------------------------------------- index input

// The searches of one keystroke on an index file: a fixed header, then the
// file's bytes, so that mutating the header never moves the file.
//   byte 0: edits: below 240 the byte mod 5; otherwise one of kLargeDistances;
//   byte 1: the most of each kind of answer, mod 12;
//   byte 2: flags: 1 first character exact; 6 prefix nodes (0 absent,
//           2 true, 4 false, 6 absent); 8 a minimum score of 0; 16 a
//           schedule of edits, one per three characters typed;
//   byte 3: query length, mod (kIndexQueryLetters + 1);
//   then kIndexQueryLetters selectors (query_of), the unused ones ignored.
inline constexpr std::size_t kIndexQueryLetters = 8;

struct IndexQuery {
  std::uint32_t max_edits = 0;
  std::uint32_t limit = 0;
  bool first_exact = false;
  std::optional<bool> include_prefix_nodes;
  std::optional<double> min_score;
  bool typed_schedule = false;
  std::vector<std::uint8_t> selectors;
};

inline IndexQuery read_index_query(ByteReader& in) {
  IndexQuery q;
  const std::uint8_t edits = in.u8();
  q.max_edits = edits < 240 ? edits % 5 : kLargeDistances[(edits - 240) % std::size(kLargeDistances)];
  q.limit = in.u8() % 12;
  const std::uint8_t flags = in.u8();
  q.first_exact = (flags & 1) != 0;
  if ((flags & 6) == 2) q.include_prefix_nodes = true;
  if ((flags & 6) == 4) q.include_prefix_nodes = false;
  if ((flags & 8) != 0) q.min_score = 0.0;
  q.typed_schedule = (flags & 16) != 0;
  const std::size_t length = in.u8() % (kIndexQueryLetters + 1);
  for (std::size_t i = 0; i < kIndexQueryLetters; ++i) {
    const std::uint8_t selector = in.u8();
    if (i < length) q.selectors.push_back(selector);
  }
  return q;
}

// The header that reads back as (edits below 5, limit, flags, letters as
// positions in kAlphabet).
inline Bytes write_index_query(std::uint8_t max_edits, std::uint8_t limit, std::uint8_t flags,
                               const std::vector<std::uint8_t>& letters) {
  Bytes out{static_cast<std::uint8_t>(max_edits % 5), limit, flags,
            static_cast<std::uint8_t>(std::min(letters.size(), kIndexQueryLetters))};
  for (std::size_t i = 0; i < kIndexQueryLetters; ++i) out.push_back(i < letters.size() ? letters[i] : 0);
  return out;
}

// ----------------------------------------------------------- completion input

// Counted terms, a query to complete and, optionally, extra edges that make
// the trie a graph (for the walk that answers a keystroke without
// completions).
//   byte: terms, mod 9; per term: length mod 6, one byte per letter (a
//         letter of kAlphabet), a count (term_count);
//   4 bytes: the seed of the random payloads;
//   the query: edits (below 240 mod 4, otherwise 4 to 19), the most
//         completions (mod 12), terms (mod 8) and videos (mod 8), flags as
//         in the index header, the length mod 8, then one selector per code
//         point (query_of);
//   byte: odd for a schedule, then one byte per prefix of the query, the
//         empty one first: it allows (byte mod 2) edits, each longer one
//         one more than the one before where its byte is a multiple of 3;
//   byte: extra edges, mod 3; per edge: from and to, node ids mod the count.
struct CompletionCase {
  struct Query {
    std::uint32_t max_edits = 0;
    std::uint32_t completions = 0, terms = 0, videos = 0;
    bool first_exact = false;
    std::optional<bool> include_prefix_nodes;
    std::optional<double> min_score;
    std::vector<std::uint8_t> selectors;
    std::vector<std::uint32_t> schedule;  // empty, or one per prefix, never decreasing
  };
  std::vector<reference::CountedTerm> terms;  // as read: in any order, repeats possible
  std::uint32_t payload_seed = 0;
  Query query;
  std::vector<std::pair<std::uint8_t, std::uint8_t>> extra_edges;
};

// A count: mostly one of a few small values, so that ties are common;
// sometimes larger, or close to 2^32.
inline std::uint32_t term_count(std::uint8_t sel) {
  if (sel < 200) return sel % 8;
  return sel < 240 ? sel : UINT32_MAX - (255u - sel);
}

inline CompletionCase read_completion_case(ByteReader& in) {
  CompletionCase c;
  for (std::size_t n = in.u8() % 9; n-- > 0;) {
    std::u32string term;
    for (std::size_t length = in.u8() % 6; length-- > 0;) term.push_back(kAlphabet[in.u8() % std::size(kAlphabet)]);
    c.terms.push_back({std::move(term), term_count(in.u8())});
  }
  c.payload_seed = in.u32();
  CompletionCase::Query& q = c.query;
  const std::uint8_t edits = in.u8();
  q.max_edits = edits < 240 ? edits % 4 : 4u + (edits - 240u);
  q.completions = in.u8() % 12;
  q.terms = in.u8() % 8;
  q.videos = in.u8() % 8;
  const std::uint8_t flags = in.u8();
  q.first_exact = (flags & 1) != 0;
  if ((flags & 6) == 2) q.include_prefix_nodes = true;
  if ((flags & 6) == 4) q.include_prefix_nodes = false;
  if ((flags & 8) != 0) q.min_score = 0.0;
  for (std::size_t length = in.u8() % 8; length-- > 0;) q.selectors.push_back(in.u8());
  if (in.u8() % 2 == 1) {
    q.schedule.push_back(in.u8() % 2);
    for (std::size_t j = 0; j < q.selectors.size(); ++j) q.schedule.push_back(q.schedule.back() + (in.u8() % 3 == 0));
  }
  for (std::size_t n = in.u8() % 3; n-- > 0;) {
    const std::uint8_t from = in.u8();
    c.extra_edges.emplace_back(from, in.u8());
  }
  return c;
}

// The bytes that read back as `terms` (at most 8, of up to 5 letters given
// as positions in kAlphabet; counts below 200 taken mod 8), the payload seed
// and the query (edits below 4, the same most of every kind, prefix nodes
// absent, up to 7 letters, no schedule), without extra edges.
struct SeedQuery {
  std::uint8_t max_edits;
  std::uint8_t limit;
  bool first_exact;
  std::vector<std::uint8_t> letters;
};

inline Bytes write_completion_case(const std::vector<std::pair<std::vector<std::uint8_t>, std::uint8_t>>& terms,
                                   std::uint32_t payload_seed, const SeedQuery& q) {
  const auto cut = [](std::size_t size, std::size_t most) { return static_cast<std::uint8_t>(std::min(size, most)); };
  const std::size_t kept = std::min<std::size_t>(terms.size(), 8);
  Bytes out{static_cast<std::uint8_t>(kept)};
  for (std::size_t t = 0; t < kept; ++t) {
    const auto& [letters, count] = terms[t];
    out.push_back(cut(letters.size(), 5));
    out.insert(out.end(), letters.begin(), letters.begin() + cut(letters.size(), 5));
    out.push_back(count);
  }
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(payload_seed >> (8 * i)));
  out.insert(out.end(), {static_cast<std::uint8_t>(q.max_edits % 4), q.limit, q.limit, q.limit,
                         static_cast<std::uint8_t>(q.first_exact ? 1 : 0), cut(q.letters.size(), 7)});
  out.insert(out.end(), q.letters.begin(), q.letters.begin() + cut(q.letters.size(), 7));
  out.insert(out.end(), {0, 0});
  return out;
}

}  // namespace quillon::fuzz
