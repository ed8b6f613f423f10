// The passing labels of a frontier row (banded_rows.hpp's glossary): which
// child labels can keep a row on the frontier, and through which slots.
// Shared by the kinds of rows that keep a frontier.
#pragma once

#include <algorithm>
#include <cstdint>

namespace quillon {

// A label that passes, and the slot bit of the row it sets.
struct Passing {
  char32_t label;
  std::uint64_t slot_bit;
};

// The passing labels as a bit set over ASCII, and their least and greatest;
// any other label is let through for the row's step to decide.
struct Sieve {
  bool active = false;
  std::uint64_t ascii[2] = {0, 0};
  char32_t least = 0xFFFFFFFF;
  char32_t greatest = 0;

  void add(char32_t label) {
    const std::uint64_t bit = std::uint64_t{1} << (label & 63);
    ascii[0] |= label < 64 ? bit : 0;
    ascii[1] |= label >= 64 && label < 128 ? bit : 0;
    least = std::min(least, label);
    greatest = std::max(greatest, label);
  }
  bool admits(char32_t label) const { return !active || label >= 128 || ((ascii[label >> 6] >> (label & 63)) & 1); }
};

}  // namespace quillon
