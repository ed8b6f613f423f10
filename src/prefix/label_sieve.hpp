// The labels with which a child of a frontier row can stay within the bound
// (banded_rows.hpp, bit_rows.hpp): once a row's least cell is the bound,
// only a label equal to the query character that a cell at the bound steps
// onto diagonally can pass, so a kind of rows lists those labels when the
// walk enters such a row and turns the other children away unmade.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>

namespace quillon {

// A quick test of a frontier row's passing labels: a bit set over ASCII,
// and their least and greatest; any other label is let through for the
// kind's step to decide. An inactive sieve (a row off the frontier) lets
// every label through.
struct LabelSieve {
  bool active = false;
  std::uint64_t ascii[2] = {0, 0};
  char32_t least = 0xFFFFFFFF;
  char32_t greatest = 0;

  void add(char32_t label) {
    active = true;
    if (label < 128) ascii[label >> 6] |= std::uint64_t{1} << (label & 63);
    least = std::min(least, label);
    greatest = std::max(greatest, label);
  }
  bool admits(char32_t label) const {
    return !active || label >= 128 || ((ascii[label >> 6] >> (label & 63)) & 1);
  }
  // What RowKind::passing_range answers for the row.
  std::optional<std::pair<char32_t, char32_t>> range() const {
    if (!active) return std::nullopt;
    return std::pair{least, greatest};
  }
};

}  // namespace quillon
