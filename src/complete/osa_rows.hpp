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
//   schedule the edits each prefix of the query may have: cell j counts
//            only when it is within the edits its first j characters allow
//            (the budget of a text of j characters), and reads as the cap
//            beyond. Typos then count against the length at which they were
//            typed: what a keystroke could complete, the next still can.
//
// The frontier. As with Levenshtein rows, once a row's least cell is the
// bound only a diagonal match from a slot at the bound keeps a child within
// it; and a swap, from a slot one below the bound two rows up. A row's least
// cell never decreases down a path, so only the first frontier row of a path
// has such slots above it: its passing labels are the diagonal ones and the
// swaps' (the query character before the slot, where the row's own label is
// the slot's query character); every frontier row below passes diagonally
// alone, exactly as a Levenshtein frontier row does.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "../checked.hpp"
#include "../prefix/rows.hpp"
#include "../prefix/sieve.hpp"

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
  // `schedule`: the edits allowed for the query's first j characters, j = 0
  // .. n, never decreasing (empty: the bound for every j).
  OsaRows(std::span<const char32_t> query, std::uint32_t bound, bool first_exact = false,
          std::span<const std::uint32_t> schedule = {})
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
    // limits_[depth + s]: the edits cell j of the row at depth + 1 (slot s)
    // may hold, j = depth + s - bound; past the query, the query's own.
    limits_.assign(padded_.size(), bound_);
    if (!schedule.empty()) {
      for (std::size_t i = bound_; i < limits_.size(); ++i)
        limits_[i] = std::min<std::uint32_t>(bound_, at(schedule, std::min(i - bound_, schedule.size() - 1)));
    }
    for (std::size_t j = 0; j <= std::min<std::size_t>(n_, bound_); ++j)
      cells_[bound_ + 1 + j] = static_cast<Cell>(j <= limits_[bound_ + j] ? j : bound_ + 1);
    path_best_[0] = std::min<std::uint64_t>(n_, cap_);
    if (first_ != 0) {
      // Only the root's child labelled with the first character passes: the
      // walk looks it up rather than stepping its siblings.
      sieves_[0].add(first_);
      sieves_[0].active = true;
    }
  }

  // The row of a child labelled `label` of the node entered at `depth`.
  RowSummary step(std::size_t depth, char32_t label) {
    labels_[depth + 1] = label;
    if (depth == 0 && first_ != 0 && label != first_) {
      // Held to the query's first character: nothing below can be a hit.
      frontier_[1] = 0;
      std::fill_n(cells_.data() + width_, width_, cap_);
      path_best_[1] = cap_;
      return {cap_, cap_};
    }
    if (const std::uint64_t at_bound = frontier_[depth]; at_bound != 0) {
      std::uint64_t next = 0;
      const Passing* passing = passing_.data() + depth * 2 * slots_;
      for (std::size_t k = 0, count = passing_count_[depth]; k < count; ++k)
        next |= passing[k].label == label ? passing[k].slot_bit : 0;
      frontier_[depth + 1] = next;
      const std::uint64_t last = (next >> n_slot(depth)) & 1 ? std::uint64_t{bound_} : std::uint64_t{cap_};
      path_best_[depth + 1] = std::min(path_best_[depth], last);
      if (next == 0) return {cap_, cap_};
      return {bound_, last};
    }
    frontier_[depth + 1] = 0;
    const Cell* prev = cells_.data() + depth * width_;
    const Cell* before = depth > 0 ? cells_.data() + (depth - 1) * width_ : nullptr;
    Cell* cur = cells_.data() + (depth + 1) * width_;
    const char32_t* q = padded_.data() + depth;
    const std::uint32_t* limit = limits_.data() + depth;
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
      // A swap counts where it begins, at cell j - 1: what it skips must be
      // within the schedule there too, or the row before could be pruned
      // under it.
      if (before != nullptr && q[s - 1] == label && q[s] == parent && Wide{before[s]} + 1 <= limit[s - 1])
        v = std::min(v, Wide{before[s]} + 1);
      v = v > limit[s] ? cap : v;
      cur[s] = static_cast<Cell>(v);
      left = v;
      row_min = s <= last ? std::min(row_min, v) : row_min;
    }
    const Wide last_cell = cur[last];
    path_best_[depth + 1] = std::min<std::uint64_t>(path_best_[depth], last_cell);
    return {row_min, last_cell};
  }

  // Called when the walk enters the node whose row `depth` step just made.
  void enter(std::size_t depth, std::uint64_t row_min) {
    if (depth + 1 >= rows_) throw_out_of_bounds(rows_, depth + 1);  // pruning keeps depth <= n + bound
    if (depth + 2 > labels_.size()) grow(std::min(2 * (depth + 2), rows_));
    Passing* passing = passing_.data() + depth * 2 * slots_;
    std::uint8_t count = 0;
    Sieve built;
    if (frontier_[depth] == 0 && row_min == bound_ && slots() < 64) {
      // The first frontier row of its path: its slots at the bound pass
      // diagonally, and the row two up (never on the frontier) may hold
      // slots one below the bound that pass by a swap.
      const Cell* row = cells_.data() + depth * width_;
      const Cell* before = depth > 0 ? cells_.data() + (depth - 1) * width_ : nullptr;
      const std::size_t end = std::min(n_ + bound_ + 1 - depth, slots());
      std::uint64_t at_bound = 0;
      for (std::size_t s = 1; s <= end; ++s) {
        if (row[s] == bound_) at_bound |= std::uint64_t{1} << s;
        if (before != nullptr && bound_ > 0 && before[s] + std::size_t{1} == bound_ && padded_[depth + s] == labels_[depth] &&
            limits_[depth + s - 1] >= bound_) {  // (limits never decrease: slot s's is at least slot s - 1's)
          const char32_t label = padded_[depth + s - 1];
          passing[count++] = {label, std::uint64_t{1} << s};
          built.add(label);
        }
      }
      frontier_[depth] = at_bound;  // not empty: the row's least cell is at the bound
    }
    if (frontier_[depth] == 0 && count == 0) {
      sieves_[depth].active = false;
      return;
    }
    for (std::uint64_t rest = frontier_[depth]; rest != 0; rest &= rest - 1) {
      const auto s = static_cast<std::size_t>(std::countr_zero(rest));
      const char32_t label = padded_[depth + s];
      passing[count++] = {label, std::uint64_t{1} << s};
      built.add(label);
    }
    built.active = count > 0;
    sieves_[depth] = built;
    passing_count_[depth] = count;
  }

  bool may_pass(std::size_t depth, char32_t label) const { return sieves_[depth].admits(label); }

  std::optional<std::pair<char32_t, char32_t>> passing_range(std::size_t depth) const {
    const Sieve& sieve = sieves_[depth];
    if (!sieve.active) return std::nullopt;
    return std::pair{sieve.least, sieve.greatest};
  }

  template <class Visit>
  bool for_each_cell_within(std::size_t depth, Visit&& visit) const {
    const auto cell_of = [&](std::size_t s) { return depth + s - bound_ - 1; };
    if (const std::uint64_t at_bound = frontier_[depth]; at_bound != 0) {
      for (std::uint64_t rest = at_bound; rest != 0; rest &= rest - 1)
        if (visit(cell_of(static_cast<std::size_t>(std::countr_zero(rest))), bound_)) return true;
      return false;
    }
    const Cell* row = cells_.data() + depth * width_;
    const std::size_t end = std::min(n_ + bound_ + 1 - depth, slots());
    for (std::size_t s = 1; s <= end; ++s)
      if (row[s] <= bound_ && visit(cell_of(s), row[s])) return true;
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
    frontier_.resize(count, 0);
    passing_count_.resize(count, 0);
    sieves_.resize(count);
    if (slots() < 64) passing_.resize(count * 2 * slots_);  // only frontier rows list labels
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
  std::vector<std::uint32_t> limits_;  // per cell, aligned as padded_: the schedule's edits
  std::vector<Cell> cells_;
  std::vector<char32_t> labels_;           // labels_[d]: the label into the node at depth d
  std::vector<std::uint64_t> path_best_;   // per depth
  // Per depth: the slots at the bound of a frontier row (it then has no
  // cells), 0 otherwise; its passing labels, diagonal and by swap.
  std::vector<std::uint64_t> frontier_;
  std::vector<Passing> passing_;
  std::vector<std::uint8_t> passing_count_;
  std::vector<Sieve> sieves_;
};

// Runs walk_with(rows) with the rows for `bound`: a band of a fixed size for
// the usual bounds, one known at run time beyond.
template <class Cell, class Walk>
void with_osa_rows(std::span<const char32_t> query, std::uint32_t bound, bool first_exact,
                   std::span<const std::uint32_t> schedule, Walk& walk_with) {
  const auto banded = [&]<std::size_t kSlots>() {
    OsaRows<Cell, kSlots> rows(query, bound, first_exact, schedule);
    walk_with(rows);
  };
  switch (bound) {
    case 0: return banded.template operator()<1>();
    case 1: return banded.template operator()<3>();
    case 2: return banded.template operator()<5>();
    case 3: return banded.template operator()<7>();
    default: return banded.template operator()<0>();
  }
}

}  // namespace quillon
