// The index file's container: a header, a table of named sections, and the
// sections themselves, each a run of bytes at an offset aligned to 64. A
// section of arrays opens with a directory of named, typed, aligned arrays,
// so that a reader maps the file and reads every array in place, with no
// decoding: the bytes are the arrays, little-endian.
//
//   header (64 bytes): magic "QUILLON\0", format version (u32), section
//     count (u32), file size (u64), zeros
//   section table: per section 32 bytes: name (16 bytes, NUL-padded ASCII),
//     offset (u64), length (u64)
//   sections, each at a multiple of 64, zeros between them
//
//   array directory, at the start of a section: array count (u32), zeros
//     (4 bytes), then per array 32 bytes: name (12 bytes, NUL-padded ASCII),
//     element width (u32), offset from the section's start (u64, a multiple
//     of 64), element count (u64)
//
// Reading treats the bytes as hostile: every offset, length and count is
// checked against what holds it before anything is read through it, and a
// fault is an Error naming what is wrong, never a read outside the bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "../error.hpp"

namespace quillon::index_file {

inline constexpr std::array<std::uint8_t, 8> kMagic = {'Q', 'U', 'I', 'L', 'L', 'O', 'N', 0};
inline constexpr std::uint32_t kFormatVersion = 2;
inline constexpr std::size_t kAlign = 64;
inline constexpr std::size_t kHeaderSize = 64;
inline constexpr std::size_t kSectionEntrySize = 32;
inline constexpr std::size_t kSectionNameSize = 16;
inline constexpr std::size_t kArrayEntrySize = 32;
inline constexpr std::size_t kArrayNameSize = 12;
// More sections or arrays than this is not a file this code wrote.
inline constexpr std::uint32_t kMostEntries = 64;

constexpr std::uint64_t aligned(std::uint64_t size) { return (size + kAlign - 1) / kAlign * kAlign; }

// Whether `bytes` begin as a container does (whatever its version).
bool has_magic(std::span<const std::uint8_t> bytes);

struct Section {
  std::string name;
  std::span<const std::uint8_t> bytes;
  std::uint64_t offset = 0;  // in the file
};

// The sections of a container file, in table order. Fails on a wrong magic
// or version, a size that is not the file's, a table or section outside the
// file, misaligned or overlapping sections, names repeated or not ASCII.
Result<std::vector<Section>> read_sections(std::span<const std::uint8_t> file);

// The section named `name`, or an Error naming it.
Result<Section> find_section(const std::vector<Section>& sections, std::string_view name);

struct Array {
  std::string name;
  std::uint32_t width = 0;
  std::uint64_t count = 0;
  std::span<const std::uint8_t> bytes;
};

// The arrays of a section of arrays, checked as read_sections checks
// sections.
class ArrayDirectory {
 public:
  static Result<ArrayDirectory> read(const Section& section);

  // The array `name` as elements of T (little-endian on disk, as on every
  // platform this runs on), which must be of width sizeof(T) and aligned.
  template <class T>
  Result<std::span<const T>> get(std::string_view name) const {
    const Array* array = find(name);
    if (array == nullptr) return missing(name);
    if (array->width != sizeof(T)) return wrong_width(*array, sizeof(T));
    return std::span<const T>(reinterpret_cast<const T*>(array->bytes.data()), array->count);
  }

 private:
  const Array* find(std::string_view name) const;
  Error missing(std::string_view name) const;
  Error wrong_width(const Array& array, std::size_t expected) const;

  std::string section_;
  std::vector<Array> arrays_;
};

// Writing: the writer is told each section (and each array of a section of
// arrays) with its bytes, lays them out, then fills a buffer of exactly
// file_size() bytes (a file mapped for writing).

struct ArrayPlan {
  std::string name;
  std::uint32_t width;
  std::uint64_t count;
  std::span<const std::uint8_t> bytes;  // count * width of them
};

class ContainerWriter {
 public:
  // A section of `size` raw bytes, which `fill` writes into the span it is
  // given (the module's stored trie, encoded straight into the file).
  void add_raw_section(std::string name, std::uint64_t size, std::function<void(std::span<std::uint8_t>)> fill);
  // A section of arrays, each given by its bytes.
  void add_array_section(std::string name, std::vector<ArrayPlan> arrays);

  std::uint64_t file_size() const;
  // Writes the file into `out`, which holds exactly file_size() bytes.
  void write(std::span<std::uint8_t> out) const;

  struct Placed {
    std::string name;
    std::uint64_t offset;
    std::uint64_t length;
  };
  // Where each section lies, in the order added.
  std::vector<Placed> layout() const;

 private:
  struct PlannedSection {
    std::string name;
    std::uint64_t raw_size;                             // a raw section
    std::function<void(std::span<std::uint8_t>)> fill;  // writes it
    std::vector<ArrayPlan> arrays;                      // a section of arrays
    bool is_raw;
    std::uint64_t length() const;
  };
  std::vector<PlannedSection> sections_;
};

// The bytes of a span of trivially copyable values, for an ArrayPlan.
template <class T>
std::span<const std::uint8_t> bytes_of(std::span<const T> values) {
  return {reinterpret_cast<const std::uint8_t*>(values.data()), values.size_bytes()};
}

}  // namespace quillon::index_file
