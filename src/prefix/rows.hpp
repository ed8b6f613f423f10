// What a kind of rows offers the walk (walk.hpp). A row is one row of the
// edit-distance table between the query and the term of a trie node: cell j
// is the distance between the query's first j code points and the node's
// term. The walk carries one row per depth of its path from the root; a kind
// of rows decides how those rows are stored and computed (full_rows.hpp,
// banded_rows.hpp) and may tell the walk which children cannot pass.
//
// Every kind works against a bound, the most edits a hit may have: cells only
// need to be exact up to the bound, and any value above it says the same.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <type_traits>
#include <utility>

namespace quillon {

// What a child's row tells the walk: the least cell (a subtree whose least
// cell exceeds the bound holds no hit) and the last cell (the distance of the
// child's own term).
struct RowSummary {
  std::uint64_t min;
  std::uint64_t last;
};

// Cells hold min(true distance, bound + 1): every value above the bound
// decides the same way, so a cell only needs to hold bound + 1 and 16 bits
// do for every bound below 65535. Arithmetic on cells is done in WideOf<Cell>
// so that bound + 1 plus an edit never wraps.
template <class Cell>
using WideOf = std::conditional_t<sizeof(Cell) < 4, std::uint32_t, std::uint64_t>;

// The contract of a kind of rows. `depth` is the depth of a node on the
// walk's path (the root is at 0); the walk steps the children of the node it
// entered last at a depth, and enters at most one of them at a time.
//
// For each operation, what a wrong answer costs. Costing time means the walk
// does needless work and still answers exactly; a bug means a wrong answer.
template <class Rows>
concept RowKind = requires(Rows& rows, const Rows& const_rows, std::size_t depth, char32_t label,
                           std::uint64_t row_min, bool (*visit)(std::size_t, std::uint64_t)) {
  // step(depth, label): makes the row of a child labelled `label` of the node
  // entered at `depth` (the row at depth + 1) from that node's row, and
  // summarises it. The last cell must be exact whenever it is within the
  // bound, and above the bound whenever the true one is: otherwise a hit is
  // lost, invented or given a wrong distance (a bug). The least cell may read
  // lower than the truth (the walk then searches a subtree without hits:
  // costs time), never above the bound while the truth is within it (the walk
  // would prune hits: a bug). Stepping a sibling replaces the row at
  // depth + 1; the rows at depth and above stay as they are.
  { rows.step(depth, label) } -> std::same_as<RowSummary>;

  // enter(depth, row_min): the walk enters the node whose row the last step
  // at depth - 1 made, with that row's least cell as step gave it; its
  // children are stepped next. The kind may prepare what helps to step them
  // (state per depth, made here once instead of once per child) and may keep
  // the row in another form, but what the row says must not change.
  // Preparing something wrong is a bug wherever it changes a later answer.
  rows.enter(depth, row_min);

  // may_pass(depth, label): false only when a child labelled `label` of the
  // node entered at `depth` is sure to exceed the bound, it and everything
  // below it, so its row need not be made. True too often costs time (step
  // then turns the child away); false for a child that can stay within the
  // bound is a bug (its hits are lost).
  { const_rows.may_pass(depth, label) } -> std::same_as<bool>;

  // passing_range(depth): the least and greatest label that a child of the
  // node entered at `depth` can have and stay within the bound, or nothing
  // when any label can. Where the children stand in label order the walk
  // skips those outside the range. A range wider than the truth costs time;
  // one that leaves out a label that can pass is a bug.
  { const_rows.passing_range(depth) } -> std::same_as<std::optional<std::pair<char32_t, char32_t>>>;

  // for_each_cell_within(depth, visit): calls visit(j, value) for the cells
  // j of the row at `depth` (the root's, or the one the last step at
  // depth - 1 made) whose value is within the bound, each once, in any
  // order, until visit returns true; returns whether it did. A subtree is
  // ruled out from these cells alone (reach_bound.hpp): a cell within the
  // bound left out, or given above its value, is a bug (hits lost); a value
  // given below the truth, or a cell above the bound given, costs time.
  { rows.for_each_cell_within(depth, visit) } -> std::same_as<bool>;
};

}  // namespace quillon
