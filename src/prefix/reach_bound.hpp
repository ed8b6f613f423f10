// A lower bound on the distance between the query and every node a search
// would report in a child's reach (search_hints.hpp), from the row of the
// child's parent: the walk leaves a child alone, its row unmade, when the
// bound exceeds the most edits a hit may have.
//
// Every term through the child is the parent's term p followed by a suffix s
// read in the child's reach, and dist(q, p s) = min over j of
// row[j] + dist(q[j..n), s). With m = n - j query characters left, `absent`
// of them missing from the reach's signature and |s| = L, each absent
// character costs an edit and so does each character of length difference,
// in one of two ways:
//   dist(q[j..n), s) >= max(m - L, absent + max(0, L - m)),
// least for the L within the reach's lengths closest to m. Only the cells
// within the bound (the open cells) can give a bound within it.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "../checked.hpp"
#include "rows.hpp"
#include "search_hints.hpp"

namespace quillon {

class ReachBound {
 public:
  // `terminal_only`: the search reports terminal nodes only, so a reach
  // without one holds no hit and its nearest terminal bounds the length.
  ReachBound(std::span<const char32_t> query, std::uint32_t bound, bool terminal_only)
      : n_(query.size()),
        bound_(bound),
        terminal_only_(terminal_only),
        width_(std::min<std::uint64_t>({n_ + 1, 2 * std::uint64_t{bound} + 1, kMaxOpen})) {
    // Positions past 63 are left out: fewer absent characters counted is
    // still a lower bound.
    std::array<std::uint64_t, 32> at_bit{};  // per signature bit: the query positions with it
    for (std::size_t i = 0; i < std::min<std::size_t>(n_, 64); ++i) {
      query_chars_ |= char_bit(query[i]);
      at_bit[static_cast<std::size_t>(std::countr_zero(char_bit(query[i])))] |= std::uint64_t{1} << i;
    }
    // Only sets of the query's own bits are ever looked up, so only they
    // are written (the table is left uninitialised otherwise: the query
    // pays for its own bits, not for the table): each entry, in increasing
    // order, from the one without its lowest bit.
    for (std::size_t k = 0; k < 4; ++k) {
      const unsigned own = (query_chars_ >> (8 * k)) & 0xFF;
      positions_[k][0] = 0;
      for (unsigned v = (0u - own) & own; v != 0; v = (v - own) & own)
        positions_[k][v] = positions_[k][v & (v - 1)] | at_bit[8 * k + static_cast<std::size_t>(std::countr_zero(v))];
    }
  }

  // Notes the open cells of the row at `depth` (the root's, or that of the
  // node the walk entered last there), for its children to be tested.
  template <RowKind Rows>
  void prepare(Rows& rows, std::size_t depth) {
    if (counts_.size() <= depth) {
      counts_.resize(std::max<std::size_t>(2 * depth + 2, kFirstDepths));
      open_.resize(counts_.size() * width_);
    }
    Open* open = open_.data() + depth * width_;
    std::size_t count = 0;
    const bool all = !rows.for_each_cell_within(depth, [&](std::size_t j, std::uint64_t value) {
      if (value > bound_) return false;
      if (count == width_) return true;  // too many to note
      open[count++] = {j, n_ - j, bound_ - value};
      return false;
    });
    counts_[depth] = all ? static_cast<std::uint32_t>(count) : kUnnoted;
  }

  // False when no node of `edge`'s reach that the search reports can be
  // within the bound, given the row of the edge's parent at `depth`, which
  // prepare has noted.
  bool may_hold(std::size_t depth, const SearchEdge& edge) const {
    // Each term in the reach adds the child's label and the path below it.
    if (terminal_only_ && edge.nearest_terminal == SearchEdge::kNone) return false;
    const std::uint64_t shortest = 1 + (terminal_only_ ? edge.nearest_terminal : 0);
    const std::uint64_t longest = edge.height == SearchEdge::kNone ? UINT64_MAX : 1 + std::uint64_t{edge.height};
    const std::uint32_t count = at(counts_, depth);
    if (count == kUnnoted) return true;
    // The query positions whose character the reach lacks.
    const std::uint32_t absent_chars = query_chars_ & ~edge.chars;
    std::uint64_t absent_at = 0;
    if (absent_chars != 0)
      for (std::size_t k = 0; k < 4; ++k) absent_at |= positions_[k][(absent_chars >> (8 * k)) & 0xFF];
    const Open* open = open_.data() + depth * width_;
    for (std::uint32_t i = 0; i < count; ++i) {
      // The suffix must be long enough (longest + room >= left), and its
      // absent characters must fit in what the length difference leaves
      // of the room.
      const Open& cell = open[i];
      if (longest < cell.left && cell.left - longest > cell.room) continue;
      const std::uint64_t longer = shortest > cell.left ? shortest - cell.left : 0;
      if (longer > cell.room) continue;
      std::uint64_t absent = cell.j < 64 ? absent_at >> cell.j : 0;
      for (std::uint64_t spare = cell.room - longer; spare > 0 && absent != 0; --spare) absent &= absent - 1;
      if (absent == 0) return true;
    }
    return false;
  }

 private:
  // More open cells than this in a row are not noted: its children are not
  // tested (they may hold hits), which keeps the notes of a long query
  // with a large bound small.
  static constexpr std::uint64_t kMaxOpen = 32;
  static constexpr std::uint32_t kUnnoted = UINT32_MAX;
  // Depths noted at first, enough for most words; deeper walks double it.
  static constexpr std::size_t kFirstDepths = 32;

  // An open cell j: the query characters after it and the edits a suffix
  // may still take.
  struct Open {
    std::uint64_t j;
    std::uint64_t left;
    std::uint64_t room;
  };

  std::size_t n_;
  std::uint64_t bound_;
  bool terminal_only_;
  std::size_t width_;
  std::uint32_t query_chars_ = 0;               // signature of the query's first 64 characters
  // positions_[k][v]: the query positions whose signature bit is 8k + i
  // for a bit i set in v; written for the subsets v of the query's bits.
  std::array<std::array<std::uint64_t, 256>, 4> positions_;
  std::vector<Open> open_;                      // per depth, width_ notes
  std::vector<std::uint32_t> counts_;           // per depth: how many, or kUnnoted
};

}  // namespace quillon
