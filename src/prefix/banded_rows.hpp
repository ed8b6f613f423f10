// Banded rows: only the cells of each row near its diagonal, so that the
// work per node does not grow with the query's length; and, once a row has
// reached the bound, only which of its cells are at the bound.
//
// Words this file coins:
//   cap      bound + 1: what every cell above the bound holds.
//   band     the 2 * bound + 1 cells of a row around its diagonal: cell j of
//            row d with |j - d| <= bound. A cell outside the band is farther
//            than the bound and reads as the cap without being computed.
//   slot     a place in a row's stored band: slot s of row d holds cell
//            j = d - bound - 1 + s. Slot 0 and the last slot pad the band on
//            either side and always hold the cap.
//   frontier a row whose least cell is the bound itself, kept as a bit mask
//            of its slots at the bound instead of as cells.
//   passing label  a label with which a child of a frontier row can stay
//            within the bound: the query character that a slot at the bound
//            steps onto diagonally.
//   sieve    a quick test of a frontier row's passing labels (a bit set over
//            ASCII, and their least and greatest), asked before a child's
//            row is made.
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
#include "rows.hpp"
#include "sieve.hpp"

namespace quillon {

// Only the band of 2 * bound + 1 cells around the diagonal, so that the work
// per node does not grow with the query's length. Cell j of row d lies more
// than `bound` off the diagonal when |j - d| > bound, so its true distance
// exceeds the bound and it reads as bound + 1 without being computed.
//
// Row d keeps slots 0 .. 2 * bound + 2; slot s holds cell j = d - bound - 1 + s.
// Moving one row down shifts the band by one, so cell j of row d + 1 (slot s)
// needs the cells j - 1 and j of row d, which are slots s and s + 1 there:
//   cur[s] = min(prev[s] + cost, prev[s + 1] + 1, cur[s - 1] + 1).
// Every row computes all of slots 1 .. 2 * bound + 1, a fixed count that the
// compiler unrolls when kSlots is given (0: the bound is only known at run
// time). Slots with j < 0 come out as bound + 1 by themselves; slots with
// j > n hold distances to a longer query, which no cell with j <= n ever
// reads, so only the row's minimum and last cell need to leave them out.
// The first and last slots are never written and stay bound + 1.
//
// The frontier. Once a row's least cell is the bound itself, a child can stay
// within the bound only where a cell equal to the bound steps diagonally onto
// a matching query character (any other move adds 1), and its own least cell
// is the bound again. From there on a row is fully described by the set of
// its slots equal to the bound, a bit mask, and only the labels of those
// slots' query characters can pass.
//
// A node the walk enters has a cell within the bound, so its depth is at
// most n + bound. Per-depth state grows as the walk goes deeper, up to
// n + bound + 2 rows.
template <class Cell, std::size_t kSlots>
class BandedRows {
 public:
  using Wide = WideOf<Cell>;

  BandedRows(std::span<const char32_t> query, std::uint32_t bound)
      : n_(query.size()),
        bound_(bound),
        slots_(kSlots ? kSlots : 2 * std::size_t{bound} + 1),
        width_(slots_ + 2),
        rows_(n_ + bound_ + 2),
        cap_(static_cast<Cell>(Wide{bound} + 1)) {
    grow(2);
    // padded_[d + s] is the query character that cell j = d - bound + s
    // compares (query[j - 1]); positions off the query hold a value that no
    // label equals (labels are never above U+10FFFF).
    padded_.assign(rows_ + slots_ + 2, 0xFFFFFFFF);
    std::copy(query.begin(), query.end(), padded_.begin() + static_cast<std::ptrdiff_t>(bound_ + 1));
    // Row 0: cell j is j, for j in the band (j <= bound).
    for (std::size_t j = 0; j <= std::min<std::size_t>(n_, bound_); ++j)
      cells_[bound_ + 1 + j] = static_cast<Cell>(j);
  }

  // The row of a child at depth + 1 labelled `label`, from its parent's row
  // at `depth` (the node the walk entered last at that depth).
  [[gnu::always_inline]] RowSummary step(std::size_t depth, char32_t label) {
    const std::uint64_t at_bound = frontier_[depth];
    if (at_bound == 0) return compute(depth, label);
    std::uint64_t next = 0;
    const Passing* passing = passing_.data() + depth * slots_;
    for (std::size_t k = 0, count = passing_count_[depth]; k < count; ++k)
      next |= passing[k].label == label ? passing[k].slot_bit : 0;
    frontier_[depth + 1] = next;
    if (next == 0) return {cap_, cap_};
    return {bound_, (next >> n_slot(depth)) & 1 ? std::uint64_t{bound_} : std::uint64_t{cap_}};
  }

  // Called when the walk enters the node whose row `depth` step just made.
  // The row stays as it is while the node's children are visited.
  void enter(std::size_t depth, std::uint64_t row_min) {
    if (depth + 1 >= rows_) throw_out_of_bounds(rows_, depth + 1);  // pruning keeps depth <= n + bound
    if (depth + 2 > frontier_.size()) grow(std::min(2 * (depth + 2), rows_));
    if (frontier_[depth] == 0 && row_min == bound_ && slots() < 64) {
      const Cell* row = cells_.data() + depth * width_;
      // Only cells with j <= n are distances to the query.
      const std::size_t end = std::min(n_ + bound_ + 1 - depth, slots());
      std::uint64_t at_bound = 0;
      for (std::size_t s = 1; s <= end; ++s)
        if (row[s] == bound_) at_bound |= std::uint64_t{1} << s;
      frontier_[depth] = at_bound;
    }
    // The label each slot at the bound lets through: slot s of this row
    // steps onto the query character padded_[depth + s].
    Sieve& sieve = sieves_[depth];
    if (frontier_[depth] == 0) {
      sieve.active = false;
      return;
    }
    Passing* passing = passing_.data() + depth * slots_;
    std::uint8_t count = 0;
    // Built in a local and stored once: adding to the stored sieve right
    // after clearing it reads back what was just written, which stalls.
    Sieve built;
    for (std::uint64_t rest = frontier_[depth]; rest != 0; rest &= rest - 1) {
      const auto s = static_cast<std::size_t>(std::countr_zero(rest));
      const char32_t label = padded_[depth + s];
      passing[count++] = {label, std::uint64_t{1} << s};
      built.add(label);
    }
    built.active = count > 0;
    sieve = built;
    passing_count_[depth] = count;
  }

  // False when a child labelled `label` of the node entered at `depth` is
  // sure not to pass (its row need not be made); a quick test that lets
  // some such children through, for step to turn away.
  [[gnu::always_inline]] bool may_pass(std::size_t depth, char32_t label) const {
    return sieves_[depth].admits(label);
  }

  // The least and greatest label that can pass the children of the node
  // entered at `depth`, or nothing when any label can (it is not on the
  // frontier).
  std::optional<std::pair<char32_t, char32_t>> passing_range(std::size_t depth) const {
    const Sieve& sieve = sieves_[depth];
    if (!sieve.active) return std::nullopt;
    return std::pair{sieve.least, sieve.greatest};
  }

  // A frontier row's cells within the bound are its slots at the bound;
  // any other row's are among its computed slots with j <= n.
  template <class Visit>
  bool for_each_cell_within(std::size_t depth, Visit&& visit) const {
    const auto cell_of = [&](std::size_t s) { return depth + s - bound_ - 1; };
    if (const std::uint64_t at_bound = frontier_[depth]; at_bound != 0) {
      for (std::uint64_t rest = at_bound; rest != 0; rest &= rest - 1)
        if (visit(cell_of(static_cast<std::size_t>(std::countr_zero(rest))), bound_)) return true;
      return false;
    }
    const Cell* row = cells_.data() + depth * width_;
    const std::size_t end = std::min(n_ + bound_ + 1 - depth, slots());  // pruning keeps depth <= n + bound
    for (std::size_t s = 1; s <= end; ++s)
      if (row[s] <= bound_ && visit(cell_of(s), row[s])) return true;
    return false;
  }

 private:
  constexpr std::size_t slots() const { return kSlots ? kSlots : slots_; }

  // Room for rows 0 .. count - 1.
  void grow(std::size_t count) {
    cells_.resize(count * width_, cap_);
    frontier_.resize(count, 0);
    passing_count_.resize(count, 0);
    sieves_.resize(count);
    if (slots() < 64) passing_.resize(count * slots_);  // only frontier rows list labels
  }

  // Slot of cell j = n in the row at depth + 1, or 0 (which always holds
  // bound + 1) when j = n lies left of the band.
  std::size_t n_slot(std::size_t depth) const {
    return n_ + bound_ > depth ? std::min(n_ + bound_ - depth, slots_ + 1) : 0;
  }

  // The cells of the row of a child at depth + 1 whose parent is not on the
  // frontier.
  [[gnu::noinline]] RowSummary compute(std::size_t depth, char32_t label) {
    frontier_[depth + 1] = 0;
    const Cell* prev = cells_.data() + depth * width_;
    Cell* cur = cells_.data() + (depth + 1) * width_;
    const char32_t* q = padded_.data() + depth;
    const std::size_t last = n_slot(depth);
    const Wide cap = cap_;
    Wide left = cap;
    Wide row_min = cap;
    for (std::size_t s = 1; s <= slots(); ++s) {
      const Wide diagonal = Wide{prev[s]} + (q[s] != label ? 1 : 0);
      const Wide step_in = std::min(Wide{prev[s + 1]}, left) + 1;
      const Wide v = std::min(std::min(diagonal, step_in), cap);
      cur[s] = static_cast<Cell>(v);
      left = v;
      row_min = s <= last ? std::min(row_min, v) : row_min;
    }
    return {row_min, Wide{cur[last]}};
  }

  std::size_t n_;
  std::size_t bound_;
  std::size_t slots_;  // 2 * bound + 1
  std::size_t width_;  // slots plus the two that stay bound + 1
  std::size_t rows_;   // n + bound + 2
  Cell cap_;
  std::vector<char32_t> padded_;
  std::vector<Cell> cells_;  // row d at [d * width_, (d + 1) * width_)
  // Per depth: the slots equal to the bound when the row is on the frontier
  // (it then has no cells), 0 otherwise.
  std::vector<std::uint64_t> frontier_;
  // Per depth, for a frontier row: which label passes through which slot.
  std::vector<Passing> passing_;
  std::vector<std::uint8_t> passing_count_;
  std::vector<Sieve> sieves_;
};

}  // namespace quillon
