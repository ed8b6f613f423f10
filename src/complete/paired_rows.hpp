// Two kinds of rows carried by one walk: the Levenshtein rows of the term and
// video searches and the swap-aware rows of completions, so that a keystroke
// walks the trie once for everything it answers. Each kind keeps its own rows
// while they are within the bound and is left alone below a node where they
// are not; the walk goes on while either is within it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "../prefix/rows.hpp"

namespace quillon {

template <RowKind Edit, RowKind Swap>
class PairedRows {
 public:
  PairedRows(std::span<const char32_t> query, std::uint32_t bound, bool first_exact)
      : edit_(query, bound), swap_(query, bound, first_exact), bound_(bound), cap_(std::uint64_t{bound} + 1) {
    edit_alive_.assign(8, 0);
    swap_alive_.assign(8, 0);
    edit_alive_[0] = swap_alive_[0] = 1;
  }

  // Steps each kind that is alive at `depth`; a kind that is not, or whose
  // row leaves the bound, reads as the cap.
  RowSummary step(std::size_t depth, char32_t label) {
    edit_last_ = edit_alive_[depth] ? within(edit_.step(depth, label)) : RowSummary{cap_, cap_};
    swap_last_ = swap_alive_[depth] ? within(swap_.step(depth, label)) : RowSummary{cap_, cap_};
    return {std::min(edit_last_.min, swap_last_.min), std::min(edit_last_.last, swap_last_.last)};
  }

  void enter(std::size_t depth, std::uint64_t) {
    if (depth + 1 >= edit_alive_.size()) {
      edit_alive_.resize(2 * (depth + 1), 0);
      swap_alive_.resize(edit_alive_.size(), 0);
    }
    edit_alive_[depth] = edit_last_.min <= bound_;
    swap_alive_[depth] = swap_last_.min <= bound_;
    if (edit_alive_[depth]) edit_.enter(depth, edit_last_.min);
    if (swap_alive_[depth]) swap_.enter(depth, swap_last_.min);
  }

  bool may_pass(std::size_t depth, char32_t label) const {
    return (swap_alive_[depth] && swap_.may_pass(depth, label)) || (edit_alive_[depth] && edit_.may_pass(depth, label));
  }

  // The union of the kinds' ranges: a label either lets through passes.
  std::optional<std::pair<char32_t, char32_t>> passing_range(std::size_t depth) const {
    if (!swap_alive_[depth]) return edit_.passing_range(depth);
    if (!edit_alive_[depth]) return swap_.passing_range(depth);
    const auto swap = swap_.passing_range(depth), edit = edit_.passing_range(depth);
    if (!swap || !edit) return std::nullopt;
    return std::pair{std::min(swap->first, edit->first), std::max(swap->second, edit->second)};
  }

  // A swap-aware cell is never above its Levenshtein cell, so while the swap
  // rows are alive their cells within the bound include the others'.
  template <class Visit>
  bool for_each_cell_within(std::size_t depth, Visit&& visit) {
    if (swap_alive_[depth]) return swap_.for_each_cell_within(depth, visit);
    return edit_.for_each_cell_within(depth, visit);
  }

  // The last cells of the child stepped last: its term's distance by each
  // kind, or the cap.
  std::uint64_t edit_last() const { return edit_last_.last; }
  std::uint64_t swap_last() const { return swap_last_.last; }
  const Swap& swap_rows() const { return swap_; }

 private:
  RowSummary within(RowSummary row) const {
    return row.min > bound_ ? RowSummary{cap_, cap_} : RowSummary{row.min, std::min(row.last, cap_)};
  }

  Edit edit_;
  Swap swap_;
  std::uint64_t bound_;
  std::uint64_t cap_;
  RowSummary edit_last_{0, 0};
  RowSummary swap_last_{0, 0};
  std::vector<std::uint8_t> edit_alive_;  // per depth: the kind's row of the node entered there is within the bound
  std::vector<std::uint8_t> swap_alive_;
};

}  // namespace quillon
