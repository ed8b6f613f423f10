// The stored form of a Trie. Every unsigned value and count is a varint:
// 0..250 in one byte; otherwise a discriminant byte 251, 252 or 253 followed
// by 2, 4 or 8 little-endian bytes. A sequence is its count, then its
// elements; a character is its UTF-8 form; an optional value is a tag byte
// (0 absent, 1 present) and the value; a boolean is one byte.
#include "trie_codec.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <string>

#include "../little_endian.hpp"
#include "../utf8.hpp"
#include "search_hints.hpp"
#include "trie_view.hpp"
#include "validate.hpp"

namespace quillon {
namespace {

// ---------------------------------------------------------------- encoding

constexpr std::size_t varint_size(std::uint64_t value) {
  return value < 251 ? 1 : value <= 0xFFFF ? 3 : value <= 0xFFFFFFFF ? 5 : 9;
}

// Counts the bytes the encoder would write.
class SizeCounter {
 public:
  void byte(std::uint8_t) { ++size_; }
  void varint(std::uint64_t value) { size_ += varint_size(value); }
  void character(char32_t cp) {
    std::uint8_t bytes[4];
    size_ += cp < 0x80 ? 1 : utf8::encode(cp, bytes);
  }
  void raw(const std::uint8_t*, std::size_t count) { size_ += count; }
  std::size_t size() const { return size_; }

 private:
  std::size_t size_ = 0;
};

// Writes into a buffer sized by SizeCounter's pass. Every item checks that
// it fits before it is written: running past the end would mean the two
// passes disagree, an internal error rather than a write outside the buffer.
class BufferWriter {
 public:
  explicit BufferWriter(std::span<std::uint8_t> out) : next_(out.data()), end_(out.data() + out.size()) {}

  void byte(std::uint8_t b) {
    room(1);
    *next_++ = b;
  }
  void varint(std::uint64_t value) {
    const std::size_t size = varint_size(value);
    room(size);
    if (size == 1) {
      *next_++ = static_cast<std::uint8_t>(value);
      return;
    }
    if (size == 3) {
      *next_++ = 251;
      wide<2>(value);
    } else if (size == 5) {
      *next_++ = 252;
      wide<4>(value);
    } else {
      *next_++ = 253;
      wide<8>(value);
    }
  }
  void character(char32_t cp) {
    std::uint8_t bytes[4];
    raw(bytes, cp < 0x80 ? (bytes[0] = static_cast<std::uint8_t>(cp), 1) : utf8::encode(cp, bytes));
  }
  void raw(const std::uint8_t* data, std::size_t count) {
    room(count);
    next_ = std::copy_n(data, count, next_);
  }
  std::size_t left() const { return static_cast<std::size_t>(end_ - next_); }

 private:
  // The low kWidth bytes of `value` after a discriminant.
  template <std::size_t kWidth>
  void wide(std::uint64_t value) {
    store_little_endian<kWidth>(value, next_);
    next_ += kWidth;
  }

  void room(std::size_t count) const {
    if (left() < count) throw_out_of_bounds(left(), count);
  }

  std::uint8_t* next_;
  std::uint8_t* end_;
};

template <class Out>
void put_u32_sequence(Out& out, std::span<const std::uint32_t> values) {
  out.varint(values.size());
  for (const std::uint32_t v : values) out.varint(v);
}

template <class Out>
void put_trie(Out& out, const Trie& trie) {
  put_u32_sequence(out, trie.node_shifts);

  out.varint(trie.child_labels.size());
  for (const char32_t label : trie.child_labels) out.character(label);

  put_u32_sequence(out, trie.child_transitions);

  out.varint(trie.payloads.size());
  trie.payloads.for_each([&](const PayloadView* payload) {
    if (payload == nullptr) {
      out.byte(0);
      return;
    }
    out.byte(1);
    out.varint(payload->total_count);
    put_u32_sequence(out, payload->video_ids);
    put_u32_sequence(out, payload->video_counts);
  });

  out.varint(trie.video_uuids.size());
  for (const Uuid& id : trie.video_uuids) out.raw(id.data(), id.size());
  put_u32_sequence(out, trie.video_int_ids);
  out.varint(static_cast<std::uint32_t>(trie.id_mode));

  out.varint(trie.is_terminal.size());
  for (const std::uint8_t flag : trie.is_terminal) out.byte(flag ? 1 : 0);
}

// ---------------------------------------------------------------- decoding
//
// Every array is reserved once: for its count, or for what the rest of the
// input can hold when that is less, so that hostile counts cannot make
// decoding allocate more than the input accounts for, and then appended to
// without moving. Runs of elements are read eight input bytes (a window)
// at a time: the bytes at the front of a window that are whole elements on
// their own (a one-byte varint, an ASCII label, a flag) are taken together.
// Anything else goes through the reader of one element, the only place
// where a fault is found and worded.

std::string unexpected_end(std::size_t additional) {
  return "UnexpectedEnd { additional: " + std::to_string(additional) + " }";
}

std::string unexpected_variant(const char* type_name, std::uint64_t found) {
  return std::string("UnexpectedVariant { type_name: \"") + type_name +
         "\", allowed: Range { min: 0, max: 1 }, found: " + std::to_string(found) + " }";
}

constexpr std::size_t kWindow = 8;

// Each function below marks, with the top bit of its byte, every byte of a
// window that is not a whole element on its own.
constexpr std::uint64_t kEachByte = 0x0101010101010101;
constexpr std::uint64_t kTopBits = 0x80 * kEachByte;
// Discriminants of longer varints: 251 and above, i.e. the top bit set and
// the low seven bits at least 123.
constexpr std::uint64_t wide_varint_bytes(std::uint64_t window) {
  return window & ((window & ~kTopBits) + 5 * kEachByte) & kTopBits;
}
// Bytes that start a longer UTF-8 sequence, or none: 0x80 and above.
constexpr std::uint64_t non_ascii_bytes(std::uint64_t window) { return window & kTopBits; }
// Bytes above 1, which no flag holds: the top bit set, or the low seven
// bits at least 2.
constexpr std::uint64_t non_flag_bytes(std::uint64_t window) {
  return (window | ((window & ~kTopBits) + 0x7E * kEachByte)) & kTopBits;
}

// How many bytes at the front of a window the marks leave unmarked, 8 for
// none: the top bits below the lowest mark, summed by one multiplication
// (no branch, unlike counting trailing zeros of a value that may be 0).
constexpr std::size_t unmarked_front(std::uint64_t marks) {
  const std::uint64_t below = (marks - 1) & ~marks;
  return static_cast<std::size_t>((((below & kTopBits) >> 7) * kEachByte) >> 56);
}

// Appends the first `count` bytes of a window to `out`, one element each.
template <class T>
void append_bytes(std::uint64_t window, std::size_t count, std::vector<T>& out) {
  for (std::size_t k = 0; k < count; ++k) out.push_back(static_cast<T>((window >> (8 * k)) & 0xFF));
}

// Reads items from the input in place. Each read yields its item, or
// records the fault that ends decoding and yields nothing.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> in) : in_(in) {}

  std::size_t remaining() const { return in_.size() - pos_; }
  const std::string& fault() const { return fault_; }

  std::nullopt_t fail(std::string fault) {
    fault_ = std::move(fault);
    return std::nullopt;
  }

  std::optional<std::uint8_t> byte() {
    if (remaining() == 0) return fail(unexpected_end(1));
    return in_[pos_++];
  }

  // A varint holding an unsigned 32-bit value.
  std::optional<std::uint32_t> u32() {
    const auto value = varint(IntKind::U32);
    if (!value) return std::nullopt;
    return static_cast<std::uint32_t>(*value);
  }

  // A sequence count: a varint of up to 64 bits that must fit a size_t.
  std::optional<std::size_t> count() {
    const auto value = varint(IntKind::U64);
    if (!value) return std::nullopt;
    if constexpr (sizeof(std::size_t) < sizeof(std::uint64_t)) {
      if (*value > SIZE_MAX) return fail("OutsideUsizeRange(" + std::to_string(*value) + ")");
    }
    return static_cast<std::size_t>(*value);
  }

  std::optional<char32_t> character() {
    if (remaining() == 0) return fail(unexpected_end(1));
    const std::uint8_t first = in_[pos_];
    const std::size_t width = utf8::sequence_width(first);
    if (width == 0) return fail(invalid_char({first, 0, 0, 0}));
    if (remaining() < width) return fail(unexpected_end(width - remaining()));
    const auto sequence = in_.subspan(pos_, width);
    pos_ += width;
    const auto value = utf8::decode_sequence(sequence);
    if (!value) {
      std::array<std::uint8_t, 4> read{};
      std::copy(sequence.begin(), sequence.end(), read.begin());
      return fail(invalid_char(read));
    }
    return *value;
  }

  std::optional<std::uint8_t> flag() {
    const auto b = byte();
    if (!b) return std::nullopt;
    if (*b > 1) return fail("InvalidBooleanValue(" + std::to_string(*b) + ")");
    return *b;
  }

  std::optional<std::span<const std::uint8_t>> bytes(std::size_t count) {
    if (remaining() < count) return fail(unexpected_end(count - remaining()));
    const auto out = in_.subspan(pos_, count);
    pos_ += count;
    return out;
  }

  // Appends `count` 32-bit varints to `out`. A sequence of one-byte values
  // goes in a window at a time (a short one, like most payload lists, at
  // once). Otherwise each value is read from the window at its first byte:
  // the five-byte form, which node and child ids use throughout, behind a
  // branch that stays predicted; one byte or 251 and two, which video ids
  // mix at random, without a branch on which. The 8-byte form, every fault
  // and the last few bytes of the input go through u32().
  bool append_u32s(std::size_t count, std::vector<std::uint32_t>& out) {
    const std::uint8_t* const data = in_.data();
    const std::size_t size = in_.size();
    std::size_t pos = pos_;
    std::size_t left = count;
    if (left <= kWindow && size - pos >= kWindow) {
      const std::uint64_t window = load_little_endian<kWindow>(data + pos);
      if (unmarked_front(wide_varint_bytes(window)) >= left) {
        append_bytes(window, left, out);
        pos_ += left;
        return true;
      }
    }
    while (left > 0 && size - pos >= kWindow) {
      const std::uint64_t window = load_little_endian<kWindow>(data + pos);
      if (left >= kWindow && wide_varint_bytes(window) == 0) {
        append_bytes(window, kWindow, out);
        pos += kWindow;
        left -= kWindow;
        continue;
      }
      const unsigned first = window & 0xFF;
      if (first == 252) {
        out.push_back(static_cast<std::uint32_t>(window >> 8));
        pos += 5;
      } else if (first < 252) {
        const unsigned wide = first == 251;
        out.push_back(static_cast<std::uint32_t>((window >> (8 * wide)) & (0xFF | (0xFF00 * wide))));
        pos += 1 + 2 * wide;
      } else {
        break;
      }
      --left;
    }
    pos_ = pos;
    for (; left > 0; --left) {
      const auto value = u32();
      if (!value) return false;
      out.push_back(*value);
    }
    return true;
  }

  // Appends `count` labels to `out`: runs of ASCII eight at a time.
  bool append_characters(std::size_t count, std::vector<char32_t>& out) {
    return append_run(count, out, non_ascii_bytes, [this] { return character(); });
  }
  // Appends `count` flags to `out`, eight at a time.
  bool append_flags(std::size_t count, std::vector<std::uint8_t>& out) {
    return append_run(count, out, non_flag_bytes, [this] { return flag(); });
  }

  // Room to reserve for `count` elements of at least `min_size` bytes each:
  // never more than the rest of the input can hold, whatever the count says.
  std::size_t plausible(std::size_t count, std::size_t min_size) const {
    return std::min(count, remaining() / min_size);
  }

 private:
  // 32-bit items never use the 8-byte form; counts may.
  enum class IntKind { U32, U64 };

  // Appends `count` elements of one byte each in the common case: the
  // unmarked bytes at the front of each window go in together; a marked
  // byte, and every element near the end of the input, through read_one.
  template <class T, class Marks, class ReadOne>
  bool append_run(std::size_t count, std::vector<T>& out, Marks marks, ReadOne read_one) {
    std::size_t left = count;
    while (left > 0) {
      if (remaining() >= kWindow) {
        const std::uint64_t window = load_little_endian<kWindow>(in_.data() + pos_);
        const std::size_t plain = std::min(unmarked_front(marks(window)), left);
        append_bytes(window, plain, out);
        pos_ += plain;
        left -= plain;
        if (plain == kWindow || left == 0) continue;
      }
      const auto item = read_one();
      if (!item) return false;
      out.push_back(*item);
      --left;
    }
    return true;
  }

  std::optional<std::uint64_t> varint(IntKind kind) {
    if (remaining() > 0 && in_[pos_] < 251) return in_[pos_++];
    return long_varint(kind);
  }

  // A varint longer than one byte, or a fault.
  std::optional<std::uint64_t> long_varint(IntKind kind) {
    if (remaining() == 0) return fail(unexpected_end(1));
    const std::uint8_t discriminant = in_[pos_];
    std::size_t width;
    switch (discriminant) {
      case 251: width = 2; break;
      case 252: width = 4; break;
      case 253:
        if (kind == IntKind::U32) return fail(invalid_integer(kind, "U64"));
        width = 8;
        break;
      case 254: return fail(invalid_integer(kind, "U128"));
      case 255: return fail(invalid_integer(kind, "Reserved"));
      default: ++pos_; return discriminant;
    }
    const std::size_t total = 1 + width;
    if (remaining() < total) return fail(unexpected_end(total - remaining()));
    const std::uint8_t* bytes = in_.data() + pos_ + 1;
    const std::uint64_t value = width == 2   ? load_little_endian<2>(bytes)
                                : width == 4 ? load_little_endian<4>(bytes)
                                             : load_little_endian<8>(bytes);
    pos_ += total;
    return value;
  }

  static std::string invalid_integer(IntKind expected, const char* found) {
    return std::string("InvalidIntegerType { expected: ") + (expected == IntKind::U32 ? "U32" : "U64") +
           ", found: " + found + " }";
  }

  static std::string invalid_char(const std::array<std::uint8_t, 4>& b) {
    return "InvalidCharEncoding([" + std::to_string(b[0]) + ", " + std::to_string(b[1]) + ", " +
           std::to_string(b[2]) + ", " + std::to_string(b[3]) + "])";
  }

  std::span<const std::uint8_t> in_;
  std::size_t pos_ = 0;
  std::string fault_;
};

// A sequence of the elements that `append` (a Reader's run) reads, into
// the empty `out`, reserved once.
template <class T>
bool read_sequence(Reader& in, std::vector<T>& out, bool (Reader::*append)(std::size_t, std::vector<T>&)) {
  const auto count = in.count();
  if (!count) return false;
  out.reserve(in.plausible(*count, 1));
  return (in.*append)(*count, out);
}

// Reads the payloads into `table`; `mismatch` receives the first node whose
// lists differ in length (refused once the whole input has decoded). Such a
// node keeps empty lists.
bool read_payloads(Reader& in, PayloadTable& table, std::optional<std::size_t>& mismatch) {
  const auto count = in.count();
  if (!count) return false;
  // Each payload takes at least its tag byte, so the nodes that the input
  // holds fit; an input that announces more fails before it fills them.
  const std::size_t nodes = in.plausible(*count, 1);
  PayloadTable::Arrays arrays;
  arrays.offsets.resize(nodes + 1);
  arrays.total_counts.resize(nodes);
  arrays.present.resize(nodes);
  // In an input that decodes, every entry of the lists is an id and a count
  // (two bytes at least) besides the tag bytes: room for that many entries
  // holds them all without moving (pages never written cost address space,
  // not memory). Lists of unequal lengths, refused in the end, may grow past.
  const std::size_t entries = (in.remaining() - nodes) / 2;
  std::vector<std::uint32_t>& ids = arrays.video_ids;
  std::vector<std::uint32_t>& counts = arrays.video_counts;
  ids.reserve(entries);
  counts.reserve(entries);
  for (std::size_t i = 0; i < *count; ++i) {
    const auto tag = in.byte();
    if (!tag) return false;
    if (*tag == 1) {
      const auto total_count = in.u32();
      if (!total_count) return false;
      const auto id_count = in.count();
      if (!id_count || !in.append_u32s(*id_count, ids)) return false;
      const auto count_count = in.count();
      if (!count_count || !in.append_u32s(*count_count, counts)) return false;
      if (ids.size() != counts.size()) {
        if (!mismatch) mismatch = i;
        ids.resize(at(arrays.offsets, i));
        counts.resize(ids.size());
      }
      at(arrays.total_counts, i) = *total_count;
      at(arrays.present, i) = 1;
    } else if (*tag > 1) {
      in.fail(unexpected_variant("core::option::Option<quillon::payload::Payload>", *tag));
      return false;
    }
    at(arrays.offsets, i + 1) = ids.size();
  }
  table = PayloadTable::adopt(std::move(arrays));
  return true;
}

bool read_trie(Reader& in, Trie& trie, std::optional<std::size_t>& mismatch) {
  if (!read_sequence(in, trie.node_shifts, &Reader::append_u32s) ||
      !read_sequence(in, trie.child_labels, &Reader::append_characters) ||
      !read_sequence(in, trie.child_transitions, &Reader::append_u32s) ||
      !read_payloads(in, trie.payloads, mismatch))
    return false;

  const auto uuids = in.count();
  if (!uuids) return false;
  trie.video_uuids.reserve(in.plausible(*uuids, 16));
  for (std::size_t i = 0; i < *uuids; ++i) {
    const auto id = in.bytes(16);
    if (!id) return false;
    std::copy(id->begin(), id->end(), trie.video_uuids.emplace_back().begin());
  }

  if (!read_sequence(in, trie.video_int_ids, &Reader::append_u32s)) return false;

  const auto mode = in.u32();
  if (!mode) return false;
  if (*mode > 1) return in.fail(unexpected_variant("IdMode", *mode)), false;
  trie.id_mode = static_cast<IdMode>(*mode);

  return read_sequence(in, trie.is_terminal, &Reader::append_flags);
}

}  // namespace

std::size_t encoded_size(const Trie& trie) {
  SizeCounter counter;
  put_trie(counter, trie);
  return counter.size();
}

void encode(const Trie& trie, std::span<std::uint8_t> out) {
  BufferWriter writer(out);
  put_trie(writer, trie);
  if (writer.left() != 0) throw_out_of_bounds(out.size(), out.size() - writer.left());
}

Result<Trie> decode(std::span<const std::uint8_t> bytes) {
  Reader in(bytes);
  Trie trie;
  std::optional<std::size_t> mismatch;
  if (!read_trie(in, trie, mismatch)) return Error::value("decode error: " + in.fault());
  if (auto fault = structural_fault(trie)) return Error::value("decode error: " + *fault);
  if (mismatch)
    return Error::value("decode error: video_ids and video_counts length mismatch (payloads[" +
                        std::to_string(*mismatch) + "])");
  mark_hints(trie);
  return trie;
}

}  // namespace quillon
