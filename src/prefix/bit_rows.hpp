// Bit rows: each row held as two bit vectors of the differences between
// neighbouring cells, stepped with the bit-parallel edit distance of Myers
// (in Hyyrö's form, for the distance of whole strings), so that a row costs a
// few word operations whatever the bound. For queries of at most 64 code
// points: one machine word per vector.
//
// Words this file coins:
//   up, down  the bit vectors of a row: bit j - 1 of `up` is set when cell j
//             is one more than cell j - 1, of `down` when one less (cells of
//             neighbouring positions never differ by more).
//   match     the positions of the query that hold a label, as a bit vector:
//             bit i when query[i] equals it.
//   frontier  a row whose least cell is the bound, as in banded_rows.hpp:
//             only the labels of the query characters after its cells at the
//             bound can pass (label_sieve.hpp).
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "../checked.hpp"
#include "label_sieve.hpp"
#include "rows.hpp"

namespace quillon {

// Cell 0 of the row at depth d is d, and cell j is cell 0 plus the
// differences up to it. Cells are exact (not capped at bound + 1). Since
// cell j of the row at depth d is at least |j - d|, only the band of
// 2 * bound + 1 cells around the diagonal, from cell max(0, d - bound), can
// be within the bound: the least cell is looked for there. Beside its
// vectors a row keeps its last cell and the first cell of its band, each
// made from the parent's with the differences across of the step.
class BitRows {
 public:
  static constexpr std::size_t kMaxQuery = 64;

  // REQUIRES: query.size() <= kMaxQuery.
  BitRows(std::span<const char32_t> query, std::uint32_t bound)
      : query_(query), n_(query.size()), bound_(bound), used_(n_ == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n_) - 1) {
    if (n_ > kMaxQuery) throw_out_of_bounds(kMaxQuery + 1, n_);
    for (std::size_t i = 0; i < n_; ++i) {
      const char32_t c = query[i];
      if (c < 128) {
        ascii_[c] |= std::uint64_t{1} << i;
        continue;
      }
      auto it = std::lower_bound(others_.begin(), others_.end(), c,
                                 [](const Other& o, char32_t v) { return o.label < v; });
      if (it == others_.end() || it->label != c) it = others_.insert(it, Other{c, 0});
      it->match |= std::uint64_t{1} << i;
    }
    grow(2);
    rows_[0] = {used_, 0, n_, 0};  // cell j of the root's row is j
  }

  [[gnu::always_inline]] RowSummary step(std::size_t depth, char32_t label) {
    const Row& prev = rows_[depth];
    Row& cur = rows_[depth + 1];
    const std::uint64_t match = match_of(label);
    const std::uint64_t x_down = match | prev.down;
    const std::uint64_t x_across = (((match & prev.up) + prev.up) ^ prev.up) | match;
    // Bit j - 1 of across_up (across_down) is set when cell j of the new
    // row is one more (less) than cell j of the parent's.
    std::uint64_t across_up = prev.down | ~(x_across | prev.up);
    std::uint64_t across_down = prev.up & x_across;
    const auto across = [&](std::size_t j) {  // new cell j minus parent's, for 1 <= j <= n
      return ((across_up >> (j - 1)) & 1) - ((across_down >> (j - 1)) & 1);
    };
    cur.last = n_ > 0 ? prev.last + across(n_) : depth + 1;
    // The band starts at cell 0 while depth + 1 <= bound, then one cell
    // further per depth: cell j of the parent's row, one step along it, one
    // step across.
    if (depth + 1 <= bound_) {
      cur.band_first = depth + 1;
    } else if (const std::size_t j = depth + 1 - bound_; j <= n_) {
      cur.band_first = prev.band_first + ((prev.up >> (j - 1)) & 1) - ((prev.down >> (j - 1)) & 1) + across(j);
    }
    // Cell 0 grows by one with every depth.
    across_up = (across_up << 1) | 1;
    across_down <<= 1;
    cur.up = (across_down | ~(x_down | across_up)) & used_;
    cur.down = across_up & x_down & used_;
    return {least_in_band(depth + 1), cur.last};
  }

  // On the frontier, lists the labels that can pass the entered row's
  // children: query[j] for each cell j < n at the bound.
  void enter(std::size_t depth, std::uint64_t row_min) {
    if (depth + 2 > rows_.size()) grow(2 * (depth + 2));
    LabelSieve& sieve = sieves_[depth];
    sieve = {};
    if (row_min != bound_) return;
    for_each_cell_within(depth, [&](std::size_t j, std::uint64_t value) {
      if (value == bound_ && j < n_) sieve.add(query_[j]);
      return false;
    });
  }

  [[gnu::always_inline]] bool may_pass(std::size_t depth, char32_t label) const {
    return sieves_[depth].admits(label);
  }

  std::optional<std::pair<char32_t, char32_t>> passing_range(std::size_t depth) const {
    return sieves_[depth].range();
  }

  template <class Visit>
  bool for_each_cell_within(std::size_t depth, Visit&& visit) const {
    const Row& row = rows_[depth];
    const std::size_t first = depth > bound_ ? depth - bound_ : 0;
    if (first > n_) return false;
    const std::size_t last = std::min<std::uint64_t>(n_, std::uint64_t{depth} + bound_);
    std::uint64_t value = row.band_first;
    for (std::size_t j = first;; ++j) {
      if (value <= bound_ && visit(j, value)) return true;
      if (j == last) return false;
      value = value + ((row.up >> j) & 1) - ((row.down >> j) & 1);
    }
  }

 private:
  struct Row {
    std::uint64_t up = 0;
    std::uint64_t down = 0;
    std::uint64_t last = 0;
    std::uint64_t band_first = 0;  // cell max(0, depth - bound), when it is at most n
  };
  struct Other {
    char32_t label;
    std::uint64_t match;
  };

  std::uint64_t match_of(char32_t label) const {
    if (label < 128) return ascii_[label];
    const auto it = std::lower_bound(others_.begin(), others_.end(), label,
                                     [](const Other& o, char32_t v) { return o.label < v; });
    return it != others_.end() && it->label == label ? it->match : 0;
  }

  // The least cell of the row at `depth` when it is within the bound,
  // otherwise a value above the bound.
  std::uint64_t least_in_band(std::size_t depth) const {
    std::uint64_t least = std::uint64_t{bound_} + 1;
    for_each_cell_within(depth, [&](std::size_t, std::uint64_t value) {
      least = std::min(least, value);
      return false;
    });
    return least;
  }

  void grow(std::size_t count) {
    rows_.resize(count);
    sieves_.resize(count);
  }

  std::span<const char32_t> query_;
  std::size_t n_;
  std::uint64_t bound_;
  std::uint64_t used_;  // the low n bits
  std::array<std::uint64_t, 128> ascii_{};
  std::vector<Other> others_;  // the query's other characters, in order
  std::vector<Row> rows_;      // per depth
  std::vector<LabelSieve> sieves_;
};

}  // namespace quillon
