#include "utf8.hpp"

#include <cstdint>

namespace quillon::utf8 {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one code point starting at text[i]; returns the number of bytes used
// (at least 1) and stores U+FFFD for an invalid sequence.
std::size_t decode_one(std::string_view text, std::size_t i, char32_t& cp) {
  const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(text[k]); };
  const std::uint8_t b0 = byte(i);
  std::size_t width;
  char32_t value;
  char32_t min_value;
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  } else if (b0 >= 0xC2 && b0 <= 0xDF) {
    width = 2, value = b0 & 0x1F, min_value = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    width = 3, value = b0 & 0x0F, min_value = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    width = 4, value = b0 & 0x07, min_value = 0x10000;
  } else {
    cp = kReplacement;
    return 1;
  }
  if (text.size() - i < width) {
    cp = kReplacement;
    return 1;
  }
  for (std::size_t k = 1; k < width; ++k) {
    const std::uint8_t b = byte(i + k);
    if ((b & 0xC0) != 0x80) {
      cp = kReplacement;
      return 1;
    }
    value = (value << 6) | (b & 0x3F);
  }
  if (value < min_value || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
    cp = kReplacement;
    return 1;
  }
  cp = value;
  return width;
}

}  // namespace

void decode(std::string_view text, std::vector<char32_t>& out) {
  out.reserve(out.size() + text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    char32_t cp;
    i += decode_one(text, i, cp);
    out.push_back(cp);
  }
}

void append(std::string& out, char32_t cp) {
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacement;
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

char32_t first_code_point(std::string_view text) {
  if (text.empty()) return 0;
  char32_t cp;
  decode_one(text, 0, cp);
  return cp;
}

}  // namespace quillon::utf8
