// The stored form of a Trie. Every unsigned value and count is a varint:
// 0..250 in one byte; otherwise a discriminant byte 251, 252 or 253 followed
// by 2, 4 or 8 little-endian bytes. A sequence is its count, then its
// elements; a character is its UTF-8 form; an optional value is a tag byte
// (0 absent, 1 present) and the value; a boolean is one byte.
#include "trie_codec.hpp"

#include <algorithm>
#include <string>

#include "../grow.hpp"
#include "../little_endian.hpp"
#include "../utf8.hpp"
#include "search_hints.hpp"
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

std::string unexpected_end(std::size_t additional) {
  return "UnexpectedEnd { additional: " + std::to_string(additional) + " }";
}

std::string unexpected_variant(const char* type_name, std::uint64_t found) {
  return std::string("UnexpectedVariant { type_name: \"") + type_name +
         "\", allowed: Range { min: 0, max: 1 }, found: " + std::to_string(found) + " }";
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

  // The next byte when there is one and it is below `limit`, consumed: the
  // common one-byte case of an item. Otherwise nothing is consumed and the
  // caller reads the item in full.
  bool take_below(std::uint8_t limit, std::uint8_t& out) {
    if (pos_ == in_.size() || in_[pos_] >= limit) return false;
    out = in_[pos_++];
    return true;
  }

  std::optional<std::uint8_t> byte() {
    if (remaining() == 0) return fail(unexpected_end(1));
    return in_[pos_++];
  }

  // Reads `count` 32-bit varints into out[0 ..), where out has room for
  // plausible(count, 1) of them (enough: each takes at least one byte).
  // The common one-, three- and five-byte forms are read straight from the
  // buffer; anything else, and every failure, through u32().
  bool u32_run(std::size_t count, std::span<std::uint32_t> out) {
    const std::uint8_t* data = in_.data();
    const std::size_t size = in_.size();
    std::size_t pos = pos_;
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t left = size - pos;
      if (left >= 1 && data[pos] < 251) {
        at(out, i) = data[pos];
        pos += 1;
      } else if (left >= 5 && data[pos] == 252) {
        at(out, i) = static_cast<std::uint32_t>(load_little_endian<4>(data + pos + 1));
        pos += 5;
      } else if (left >= 3 && data[pos] == 251) {
        at(out, i) = static_cast<std::uint32_t>(load_little_endian<2>(data + pos + 1));
        pos += 3;
      } else {
        pos_ = pos;
        const auto value = u32();
        if (!value) return false;
        at(out, i) = *value;
        pos = pos_;
      }
    }
    pos_ = pos;
    return true;
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

  std::optional<bool> boolean() {
    const auto b = byte();
    if (!b) return std::nullopt;
    if (*b > 1) return fail("InvalidBooleanValue(" + std::to_string(*b) + ")");
    return *b == 1;
  }

  std::optional<std::span<const std::uint8_t>> bytes(std::size_t count) {
    if (remaining() < count) return fail(unexpected_end(count - remaining()));
    const auto out = in_.subspan(pos_, count);
    pos_ += count;
    return out;
  }

  // Room to reserve for `count` elements of at least `min_size` bytes each:
  // never more than the rest of the input can hold, whatever the count says.
  std::size_t plausible(std::size_t count, std::size_t min_size) const {
    return std::min(count, remaining() / min_size);
  }

 private:
  // 32-bit items never use the 8-byte form; counts may.
  enum class IntKind { U32, U64 };

  std::optional<std::uint64_t> varint(IntKind kind) {
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

bool read_u32_sequence(Reader& in, std::vector<std::uint32_t>& out) {
  std::uint8_t small;
  std::size_t count;
  if (in.take_below(251, small)) {
    count = small;
  } else {
    const auto full = in.count();
    if (!full) return false;
    count = *full;
  }
  if (count == 0) return true;
  // Room for what the rest of the input can hold, filled in place.
  const std::size_t base = out.size();
  const std::size_t room = in.plausible(count, 1);
  if (out.capacity() - base < room) reserve_more(out, room);
  out.resize(base + room);
  // Reading all of them succeeds only when the input holds them, so then
  // room == count.
  return in.u32_run(count, std::span(out).subspan(base));
}

// Reads the payloads into `table`; `mismatch` receives the first node whose
// lists differ in length (refused once the whole input has decoded).
bool read_payloads(Reader& in, PayloadTable& table, std::optional<std::size_t>& mismatch) {
  const auto count = in.count();
  if (!count) return false;
  table.reserve(in.plausible(*count, 1));
  for (std::size_t i = 0; i < *count; ++i) {
    const auto tag = in.byte();
    if (!tag) return false;
    if (*tag == 0) {
      table.push_absent();
      continue;
    }
    if (*tag > 1) {
      in.fail(unexpected_variant("core::option::Option<quillon::payload::Payload>", *tag));
      return false;
    }
    const auto total_count = in.u32();
    if (!total_count || !read_u32_sequence(in, table.ids()) || !read_u32_sequence(in, table.counts()))
      return false;
    if (!table.close_payload(*total_count) && !mismatch) mismatch = i;
  }
  return true;
}

bool read_trie(Reader& in, Trie& trie, std::optional<std::size_t>& mismatch) {
  if (!read_u32_sequence(in, trie.node_shifts)) return false;

  const auto labels = in.count();
  if (!labels) return false;
  trie.child_labels.reserve(in.plausible(*labels, 1));
  for (std::size_t i = 0; i < *labels; ++i) {
    std::uint8_t ascii;
    if (in.take_below(0x80, ascii)) {
      trie.child_labels.push_back(ascii);
      continue;
    }
    const auto label = in.character();
    if (!label) return false;
    trie.child_labels.push_back(*label);
  }

  if (!read_u32_sequence(in, trie.child_transitions)) return false;
  if (!read_payloads(in, trie.payloads, mismatch)) return false;

  const auto uuids = in.count();
  if (!uuids) return false;
  trie.video_uuids.reserve(in.plausible(*uuids, 16));
  for (std::size_t i = 0; i < *uuids; ++i) {
    const auto id = in.bytes(16);
    if (!id) return false;
    std::copy(id->begin(), id->end(), trie.video_uuids.emplace_back().begin());
  }

  if (!read_u32_sequence(in, trie.video_int_ids)) return false;

  const auto mode = in.u32();
  if (!mode) return false;
  if (*mode > 1) return in.fail(unexpected_variant("IdMode", *mode)), false;
  trie.id_mode = static_cast<IdMode>(*mode);

  const auto flags = in.count();
  if (!flags) return false;
  trie.is_terminal.reserve(in.plausible(*flags, 1));
  for (std::size_t i = 0; i < *flags; ++i) {
    std::uint8_t flag;
    if (in.take_below(2, flag)) {
      trie.is_terminal.push_back(flag);
      continue;
    }
    if (!in.boolean()) return false;  // a byte above 1 or none at all
  }
  return true;
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
