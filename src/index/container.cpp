#include "container.hpp"

#include <algorithm>
#include <cstring>

#include "../checked.hpp"
#include "../little_endian.hpp"

namespace quillon::index_file {
namespace {

std::uint64_t u64_at(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return load_little_endian<8>(at_run(bytes, offset, offset + 8).data());
}
std::uint32_t u32_at(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return static_cast<std::uint32_t>(load_little_endian<4>(at_run(bytes, offset, offset + 4).data()));
}

// A NUL-padded ASCII name of `size` bytes, or nothing when it is empty, has
// a byte outside printable ASCII, or has anything after its padding.
std::optional<std::string> name_at(std::span<const std::uint8_t> bytes, std::size_t offset, std::size_t size) {
  const std::span<const std::uint8_t> field = at_run(bytes, offset, offset + size);
  std::string name;
  std::size_t i = 0;
  for (; i < size && field[i] != 0; ++i) {
    if (field[i] < 0x21 || field[i] > 0x7E) return std::nullopt;
    name.push_back(static_cast<char>(field[i]));
  }
  for (; i < size; ++i)
    if (field[i] != 0) return std::nullopt;
  if (name.empty()) return std::nullopt;
  return name;
}

void put_u64(std::span<std::uint8_t> out, std::size_t offset, std::uint64_t value) {
  (void)at_run(std::span<const std::uint8_t>(out), offset, offset + 8);
  store_little_endian<8>(value, out.data() + offset);
}
void put_u32(std::span<std::uint8_t> out, std::size_t offset, std::uint32_t value) {
  (void)at_run(std::span<const std::uint8_t>(out), offset, offset + 4);
  store_little_endian<4>(value, out.data() + offset);
}
void put_name(std::span<std::uint8_t> out, std::size_t offset, std::string_view name, std::size_t size) {
  (void)at_run(std::span<const std::uint8_t>(out), offset, offset + size);
  if (name.size() > size) throw_out_of_bounds(size, name.size());
  std::memset(out.data() + offset, 0, size);
  std::memcpy(out.data() + offset, name.data(), name.size());
}
void put_bytes(std::span<std::uint8_t> out, std::size_t offset, std::span<const std::uint8_t> bytes) {
  (void)at_run(std::span<const std::uint8_t>(out), offset, offset + bytes.size());
  if (!bytes.empty()) std::memcpy(out.data() + offset, bytes.data(), bytes.size());
}

std::uint64_t directory_size(std::size_t arrays) { return aligned(8 + kArrayEntrySize * arrays); }

std::string text(std::uint64_t value) { return std::to_string(value); }

}  // namespace

bool has_magic(std::span<const std::uint8_t> bytes) {
  return bytes.size() >= kMagic.size() && std::equal(kMagic.begin(), kMagic.end(), bytes.begin());
}

Result<std::vector<Section>> read_sections(std::span<const std::uint8_t> file) {
  if (!has_magic(file)) return Error::value("not a quillon index container (no QUILLON header)");
  if (file.size() < kHeaderSize) return Error::value("the header is cut short: " + text(file.size()) + " bytes");
  const std::uint32_t version = u32_at(file, 8);
  if (version != kFormatVersion)
    return Error::value("container format " + text(version) + "; this quillon reads format " + text(kFormatVersion));
  const std::uint32_t count = u32_at(file, 12);
  const std::uint64_t size = u64_at(file, 16);
  if (size != file.size())
    return Error::value("the header says " + text(size) + " bytes, the file has " + text(file.size()) +
                        " (cut short or appended to)");
  if (count == 0 || count > kMostEntries) return Error::value("a table of " + text(count) + " sections");
  const std::uint64_t table_end = kHeaderSize + std::uint64_t{count} * kSectionEntrySize;
  if (table_end > file.size()) return Error::value("the section table runs past the end of the file");

  std::vector<Section> sections;
  std::uint64_t previous_end = table_end;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::size_t entry = kHeaderSize + std::size_t{i} * kSectionEntrySize;
    const std::optional<std::string> name = name_at(file, entry, kSectionNameSize);
    if (!name) return Error::value("section " + text(i) + " has no readable name");
    const std::uint64_t offset = u64_at(file, entry + 16), length = u64_at(file, entry + 24);
    if (offset % kAlign != 0) return Error::value("section '" + *name + "' starts at " + text(offset) + ", not a multiple of 64");
    if (offset < previous_end) return Error::value("section '" + *name + "' overlaps what comes before it");
    if (offset > file.size() || length > file.size() - offset)
      return Error::value("section '" + *name + "' at [" + text(offset) + ".." + text(offset + length) +
                          ") runs past the end of the file (" + text(file.size()) + " bytes)");
    for (const Section& other : sections)
      if (other.name == *name) return Error::value("section '" + *name + "' appears twice");
    sections.push_back({*name, file.subspan(offset, length), offset});
    previous_end = offset + length;
  }
  return sections;
}

Result<Section> find_section(const std::vector<Section>& sections, std::string_view name) {
  for (const Section& section : sections)
    if (section.name == name) return section;
  return Error::value("no section '" + std::string(name) + "'");
}

Result<ArrayDirectory> ArrayDirectory::read(const Section& section) {
  const std::span<const std::uint8_t> bytes = section.bytes;
  const std::string where = "section '" + section.name + "'";
  if (bytes.size() < 8) return Error::value(where + " is too short for its array directory");
  const std::uint32_t count = u32_at(bytes, 0);
  if (count > kMostEntries) return Error::value(where + " lists " + text(count) + " arrays");
  const std::uint64_t directory_end = 8 + std::uint64_t{count} * kArrayEntrySize;
  if (directory_end > bytes.size()) return Error::value(where + ": its array directory runs past its end");
  ArrayDirectory directory;
  directory.section_ = section.name;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::size_t entry = 8 + std::size_t{i} * kArrayEntrySize;
    const std::optional<std::string> name = name_at(bytes, entry, kArrayNameSize);
    if (!name) return Error::value(where + ": array " + text(i) + " has no readable name");
    const std::uint32_t width = u32_at(bytes, entry + 12);
    const std::uint64_t offset = u64_at(bytes, entry + 16), elements = u64_at(bytes, entry + 24);
    const std::string array = where + ", array '" + *name + "'";
    if (width == 0 || width > 64) return Error::value(array + ": elements of " + text(width) + " bytes");
    if (offset % kAlign != 0 || offset < directory_end)
      return Error::value(array + " starts at " + text(offset) + ", not an aligned place after the directory");
    if (offset > bytes.size() || elements > (bytes.size() - offset) / width)
      return Error::value(array + ": " + text(elements) + " elements of " + text(width) + " bytes at " + text(offset) +
                          " run past the section's " + text(bytes.size()) + " bytes");
    for (const Array& other : directory.arrays_)
      if (other.name == *name) return Error::value(array + " appears twice");
    // Section offsets are multiples of 64 and so are array offsets within
    // them: a mapping that starts on a page keeps every array aligned.
    if (reinterpret_cast<std::uintptr_t>(bytes.data() + offset) % kAlign != 0)
      return Error::value(array + " is not aligned in memory; map or load the file at an aligned address");
    directory.arrays_.push_back({*name, width, elements, bytes.subspan(offset, elements * width)});
  }
  return directory;
}

const Array* ArrayDirectory::find(std::string_view name) const {
  for (const Array& array : arrays_)
    if (array.name == name) return &array;
  return nullptr;
}

Error ArrayDirectory::missing(std::string_view name) const {
  return Error::value("section '" + section_ + "' has no array '" + std::string(name) + "'");
}

Error ArrayDirectory::wrong_width(const Array& array, std::size_t expected) const {
  return Error::value("section '" + section_ + "', array '" + array.name + "': elements of " + text(array.width) +
                      " bytes, not " + text(expected));
}

void ContainerWriter::add_raw_section(std::string name, std::uint64_t size,
                                      std::function<void(std::span<std::uint8_t>)> fill) {
  sections_.push_back({std::move(name), size, std::move(fill), {}, true});
}

void ContainerWriter::add_array_section(std::string name, std::vector<ArrayPlan> arrays) {
  sections_.push_back({std::move(name), 0, {}, std::move(arrays), false});
}

std::uint64_t ContainerWriter::PlannedSection::length() const {
  if (is_raw) return raw_size;
  std::uint64_t end = directory_size(arrays.size());
  for (const ArrayPlan& array : arrays) end = aligned(end) + array.count * array.width;
  return end;
}

std::vector<ContainerWriter::Placed> ContainerWriter::layout() const {
  std::vector<Placed> placed;
  std::uint64_t end = kHeaderSize + sections_.size() * kSectionEntrySize;
  for (const PlannedSection& section : sections_) {
    const std::uint64_t offset = aligned(end);
    placed.push_back({section.name, offset, section.length()});
    end = offset + section.length();
  }
  return placed;
}

std::uint64_t ContainerWriter::file_size() const {
  const std::vector<Placed> placed = layout();
  return placed.empty() ? kHeaderSize : placed.back().offset + placed.back().length;
}

void ContainerWriter::write(std::span<std::uint8_t> out) const {
  const std::uint64_t size = file_size();
  if (out.size() != size) throw_out_of_bounds(out.size(), size);
  std::memset(out.data(), 0, out.size());
  put_bytes(out, 0, kMagic);
  put_u32(out, 8, kFormatVersion);
  put_u32(out, 12, static_cast<std::uint32_t>(sections_.size()));
  put_u64(out, 16, size);
  const std::vector<Placed> placed = layout();
  for (std::size_t i = 0; i < sections_.size(); ++i) {
    const std::size_t entry = kHeaderSize + i * kSectionEntrySize;
    put_name(out, entry, placed[i].name, kSectionNameSize);
    put_u64(out, entry + 16, placed[i].offset);
    put_u64(out, entry + 24, placed[i].length);
    const PlannedSection& section = sections_[i];
    const std::uint64_t base = placed[i].offset;
    if (section.is_raw) {
      (void)at_run(std::span<const std::uint8_t>(out), base, base + section.raw_size);
      section.fill(out.subspan(base, section.raw_size));
      continue;
    }
    put_u32(out, base, static_cast<std::uint32_t>(section.arrays.size()));
    std::uint64_t end = directory_size(section.arrays.size());
    for (std::size_t a = 0; a < section.arrays.size(); ++a) {
      const ArrayPlan& array = section.arrays[a];
      if (array.bytes.size() != array.count * array.width) throw_out_of_bounds(array.bytes.size(), array.count * array.width);
      const std::uint64_t offset = aligned(end);
      const std::size_t entry_at = base + 8 + a * kArrayEntrySize;
      put_name(out, entry_at, array.name, kArrayNameSize);
      put_u32(out, entry_at + 12, array.width);
      put_u64(out, entry_at + 16, offset);
      put_u64(out, entry_at + 24, array.count);
      put_bytes(out, base + offset, array.bytes);
      end = offset + array.bytes.size();
    }
  }
}

}  // namespace quillon::index_file
