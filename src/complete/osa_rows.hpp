// Rows of the optimal string alignment distance (Levenshtein plus the swap of
// two adjacent characters as one edit) between the query and the term of a
// trie node, banded as prefix/banded_rows.hpp bands them, for completions.
//
// A stored term completes the query with e edits when e is the least
// distance between the query and a prefix of the term: the least last cell
// on the term's path. So besides each row the kind keeps, per depth, the
// least last cell of the rows above it on the walk's path.
//
// Words this file coins (the others are banded_rows.hpp's):
//   swap     the transposition step: cell j of row d + 1 may come from cell
//            j - 2 of row d - 1 plus one, when the node's label is query
//            character j - 1 and its parent's label is query character j.
//   path best  the least last cell of the rows from the root down to a
//            depth: the fewest edits with which the query matches a prefix
//            of the node's term.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "../checked.hpp"
#include "../prefix/rows.hpp"

namespace quillon {

// Cell j of row d depends on cells of rows d and d - 1 (as in Levenshtein)
// and, through a swap, on cell j - 2 of row d - 2. Slot s of row d holds
// cell j = d - bound - 1 + s, so cell j - 2 of row d - 2 is slot s of that
// row: a swap stays on its diagonal. Cells outside the band read as the cap
// (bound + 1), exactly as for Levenshtein: a swap costs one edit and moves
// two characters on each side, so it never brings a cell nearer the diagonal.
//
// Pruning on a row's least cell stays exact: a swap from row d - 1 gives at
// least cell j - 1 of row d, which is at most one more than cell j - 2 of
// row d - 1 by substitution, so a row whose least cell exceeds the bound has
// no descendant within it.
template <class Cell, std::size_t kSlots>
class OsaRows {
 public:
  using Wide = WideOf<Cell>;

  // `first_exact`: a term whose first character differs from the query's
  // first character is never within the bound (its subtree is pruned at
  // depth 1). An empty query has no first character to hold to.
  OsaRows(std::span<const char32_t> query, std::uint32_t bound, bool first_exact = false)
      : n_(query.size()),
        bound_(bound),
        slots_(kSlots ? kSlots : 2 * std::size_t{bound} + 1),
        width_(slots_ + 2),
        rows_(n_ + bound_ + 2),
        cap_(static_cast<Cell>(Wide{bound} + 1)),
        first_(first_exact && !query.empty() ? query[0] : 0) {
    grow(2);
    padded_.assign(rows_ + slots_ + 2, 0xFFFFFFFF);
    std::copy(query.begin(), query.end(), padded_.begin() + static_cast<std::ptrdiff_t>(bound_ + 1));
    for (std::size_t j = 0; j <= std::min<std::size_t>(n_, bound_); ++j) cells_[bound_ + 1 + j] = static_cast<Cell>(j);
    path_best_[0] = std::min<std::uint64_t>(n_, cap_);
  }

  // The row of a child labelled `label` of the node entered at `depth`.
  RowSummary step(std::size_t depth, char32_t label) {
    labels_[depth + 1] = label;
    if (depth == 0 && first_ != 0 && label != first_) {
      // Held to the query's first character: nothing below can be a hit.
      std::fill_n(cells_.data() + width_, width_, cap_);
      path_best_[1] = cap_;
      return {cap_, cap_};
    }
    const Cell* prev = cells_.data() + depth * width_;
    const Cell* before = depth > 0 ? cells_.data() + (depth - 1) * width_ : nullptr;
    Cell* cur = cells_.data() + (depth + 1) * width_;
    const char32_t* q = padded_.data() + depth;
    const char32_t parent = labels_[depth];
    const std::size_t last = n_slot(depth);
    const Wide cap = cap_;
    Wide left = cap;
    Wide row_min = cap;
    for (std::size_t s = 1; s <= slots(); ++s) {
      const Wide diagonal = Wide{prev[s]} + (q[s] != label ? 1 : 0);
      const Wide step_in = std::min(Wide{prev[s + 1]}, left) + 1;
      Wide v = std::min(diagonal, step_in);
      // A swap: this label is query character j - 1 and the parent's is
      // query character j (q[s - 1] and q[s]).
      if (before != nullptr && q[s - 1] == label && q[s] == parent) v = std::min(v, Wide{before[s]} + 1);
      v = std::min(v, cap);
      cur[s] = static_cast<Cell>(v);
      left = v;
      row_min = s <= last ? std::min(row_min, v) : row_min;
    }
    const Wide last_cell = cur[last];
    path_best_[depth + 1] = std::min<std::uint64_t>(path_best_[depth], last_cell);
    return {row_min, last_cell};
  }

  void enter(std::size_t depth, std::uint64_t) {
    if (depth + 1 >= rows_) throw_out_of_bounds(rows_, depth + 1);  // pruning keeps depth <= n + bound
    if (depth + 2 > labels_.size()) grow(std::min(2 * (depth + 2), rows_));
  }

  bool may_pass(std::size_t, char32_t) const { return true; }
  std::optional<std::pair<char32_t, char32_t>> passing_range(std::size_t) const { return std::nullopt; }

  template <class Visit>
  bool for_each_cell_within(std::size_t depth, Visit&& visit) const {
    const Cell* row = cells_.data() + depth * width_;
    const std::size_t end = std::min(n_ + bound_ + 1 - depth, slots());
    for (std::size_t s = 1; s <= end; ++s)
      if (row[s] <= bound_ && visit(depth + s - bound_ - 1, row[s])) return true;
    return false;
  }

  // The path best of the node at `depth` on the walk's path (the root's is
  // the query's length): the least last cell from the root down to it,
  // capped at bound + 1.
  std::uint64_t path_best(std::size_t depth) const { return path_best_[depth]; }

 private:
  constexpr std::size_t slots() const { return kSlots ? kSlots : slots_; }

  void grow(std::size_t count) {
    cells_.resize(count * width_, cap_);
    labels_.resize(count, 0);
    path_best_.resize(count, cap_);
  }

  std::size_t n_slot(std::size_t depth) const {
    return n_ + bound_ > depth ? std::min(n_ + bound_ - depth, slots_ + 1) : 0;
  }

  std::size_t n_;
  std::size_t bound_;
  std::size_t slots_;
  std::size_t width_;
  std::size_t rows_;
  Cell cap_;
  char32_t first_;  // 0: any first character
  std::vector<char32_t> padded_;
  std::vector<Cell> cells_;
  std::vector<char32_t> labels_;           // labels_[d]: the label into the node at depth d
  std::vector<std::uint64_t> path_best_;   // per depth
};

}  // namespace quillon
