// Full rows: the textbook rows of the walk, every cell of every row.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "rows.hpp"

namespace quillon {

// One full row of n + 1 cells per depth: cell j of row d is the distance
// between the first j query characters and the node's term at depth d.
// Chosen for a bound above 3 whose band would be no narrower than the row.
template <class Cell>
class FullRows {
 public:
  using Wide = WideOf<Cell>;

  FullRows(std::span<const char32_t> query, std::uint32_t bound)
      : query_(query), width_(query.size() + 1), cap_(Wide{bound} + 1), cells_(width_) {
    for (std::size_t j = 0; j < width_; ++j) cells_[j] = static_cast<Cell>(std::min<Wide>(j, cap_));
  }

  // Fills the row of a child at depth + 1 labelled `label` from the row of
  // its parent at `depth`.
  RowSummary step(std::size_t depth, char32_t label) {
    if (cells_.size() < (depth + 2) * width_) cells_.resize((depth + 2) * width_);
    const Cell* prev = cells_.data() + depth * width_;
    Cell* cur = cells_.data() + (depth + 1) * width_;
    Wide left = std::min<Wide>(depth + 1, cap_);
    cur[0] = static_cast<Cell>(left);
    Wide row_min = left;
    for (std::size_t j = 1; j < width_; ++j) {
      const Wide diagonal = Wide{prev[j - 1]} + (query_[j - 1] != label ? 1 : 0);
      const Wide step_in = std::min(Wide{prev[j]}, left) + 1;
      const Wide v = std::min(std::min(diagonal, step_in), cap_);
      cur[j] = static_cast<Cell>(v);
      left = v;
      row_min = std::min(row_min, v);
    }
    return {row_min, left};
  }

  void enter(std::size_t, std::uint64_t) {}
  bool may_pass(std::size_t, char32_t) const { return true; }
  std::optional<std::pair<char32_t, char32_t>> passing_range(std::size_t) const { return std::nullopt; }

  template <class Visit>
  bool for_each_cell_within(std::size_t depth, Visit&& visit) const {
    const Cell* row = cells_.data() + depth * width_;
    for (std::size_t j = 0; j < width_; ++j)
      if (Wide{row[j]} < cap_ && visit(j, Wide{row[j]})) return true;
    return false;
  }

 private:
  std::span<const char32_t> query_;
  std::size_t width_;
  Wide cap_;
  std::vector<Cell> cells_;  // row d at [d * width_, (d + 1) * width_)
};

}  // namespace quillon
