// Fixed-width little-endian integers in byte buffers: the stored form's wide
// varints and the 4-byte video ids are written and read only through these.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quillon {

// The value of bytes[0 .. kWidth), least significant first. REQUIRES: the
// caller has checked that kWidth bytes are there.
template <std::size_t kWidth>
[[nodiscard]] inline std::uint64_t load_little_endian(const std::uint8_t* bytes) {
  static_assert(kWidth >= 1 && kWidth <= 8);
  std::uint64_t value = 0;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(&value, bytes, kWidth);
  } else {
    for (std::size_t i = 0; i < kWidth; ++i) value |= std::uint64_t{bytes[i]} << (8 * i);
  }
  return value;
}

// Writes the low kWidth bytes of `value` to out[0 .. kWidth), least
// significant first. REQUIRES: room for kWidth bytes.
template <std::size_t kWidth>
inline void store_little_endian(std::uint64_t value, std::uint8_t* out) {
  static_assert(kWidth >= 1 && kWidth <= 8);
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(out, &value, kWidth);
  } else {
    for (std::size_t i = 0; i < kWidth; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

}  // namespace quillon
