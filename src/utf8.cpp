#include "utf8.hpp"

#include <algorithm>

namespace quillon::utf8 {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes the sequence at text[i]; returns the bytes used (at least 1),
// storing U+FFFD for an invalid or cut-off sequence.
std::size_t decode_at(std::string_view text, std::size_t i, char32_t& cp) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t width = sequence_width(bytes[i]);
  if (width == 0 || text.size() - i < width) {
    cp = kReplacement;
    return 1;
  }
  const auto value = decode_sequence({bytes + i, width});
  cp = value.value_or(kReplacement);
  return value ? width : 1;
}

}  // namespace

std::size_t sequence_width(std::uint8_t first) {
  if (first <= 0x7F) return 1;
  if (first >= 0xC2 && first <= 0xDF) return 2;
  if (first >= 0xE0 && first <= 0xEF) return 3;
  if (first >= 0xF0 && first <= 0xF4) return 4;
  return 0;
}

std::optional<char32_t> decode_sequence(std::span<const std::uint8_t> sequence) {
  if (sequence.empty() || sequence.size() != sequence_width(sequence[0])) return std::nullopt;
  static constexpr std::uint8_t kLeadMask[5] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  static constexpr char32_t kMinValue[5] = {0, 0, 0x80, 0x800, 0x10000};
  const std::size_t width = sequence.size();
  char32_t value = sequence[0] & kLeadMask[width];
  for (std::size_t k = 1; k < width; ++k) {
    if ((sequence[k] & 0xC0) != 0x80) return std::nullopt;
    value = (value << 6) | (sequence[k] & 0x3F);
  }
  if (value < kMinValue[width] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
    return std::nullopt;
  return value;
}

void decode(std::string_view text, std::vector<char32_t>& out) {
  out.reserve(out.size() + text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    char32_t cp;
    i += decode_at(text, i, cp);
    out.push_back(cp);
  }
}

std::size_t encode(char32_t cp, std::uint8_t out[4]) {
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacement;
  if (cp < 0x80) {
    out[0] = static_cast<std::uint8_t>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<std::uint8_t>(0xC0 | (cp >> 6));
    out[1] = static_cast<std::uint8_t>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<std::uint8_t>(0xE0 | (cp >> 12));
    out[1] = static_cast<std::uint8_t>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<std::uint8_t>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<std::uint8_t>(0xF0 | (cp >> 18));
  out[1] = static_cast<std::uint8_t>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<std::uint8_t>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<std::uint8_t>(0x80 | (cp & 0x3F));
  return 4;
}

void append(std::string& out, char32_t cp) {
  std::uint8_t bytes[4];
  out.append(reinterpret_cast<const char*>(bytes), encode(cp, bytes));
}

char32_t first_code_point(std::string_view text) {
  if (text.empty()) return 0;
  char32_t cp;
  decode_at(text, 0, cp);
  return cp;
}

std::size_t code_point_count(std::string_view text) {
  return static_cast<std::size_t>(std::count_if(
      text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

}  // namespace quillon::utf8
