// A column of texts as two flat arrays: text i is bytes[offsets[i] ..
// offsets[i + 1]). One allocation per column, never one per text; read in
// place from a mapped file.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "../checked.hpp"

namespace quillon {

struct TextColumnView {
  std::span<const std::uint64_t> offsets;  // one more than the texts
  std::span<const std::uint8_t> bytes;

  std::size_t size() const { return offsets.empty() ? 0 : offsets.size() - 1; }
  // Text i. Checked: offsets that go back or run past the bytes throw
  // InternalError.
  std::string_view text(std::size_t i) const {
    const std::uint64_t begin = at(offsets, i), end = at(offsets, i + 1);
    const std::span<const std::uint8_t> run = at_run(bytes, begin, end);
    return {reinterpret_cast<const char*>(run.data()), run.size()};
  }
};

struct TextColumn {
  std::vector<std::uint64_t> offsets{0};
  std::vector<std::uint8_t> bytes;

  void push(std::string_view text) {
    bytes.insert(bytes.end(), text.begin(), text.end());
    offsets.push_back(bytes.size());
  }
  std::size_t size() const { return offsets.size() - 1; }
  TextColumnView view() const { return {offsets, bytes}; }
};

}  // namespace quillon
