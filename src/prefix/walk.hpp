// The walk: depth-first over the trie from the root, carrying one row of the
// edit-distance table per depth, made and kept by a kind of rows (rows.hpp).
// It decides the order of the answer (a node before the nodes below it,
// children in child_transitions order), the pruning and the limit; what
// counts as a hit is the caller's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "rows.hpp"
#include "trie.hpp"

namespace quillon {

// For each child c that is not pruned and whose distance is within `bound`,
// in walk order, calls on_child(c, dist, path, label), where path holds the
// labels from the root to c's parent; on_child returns true when it recorded
// a hit. Stops after `limit` hits. The stack lives on the heap and grows with
// the depth reached, so no trie's depth can overflow the call stack.
template <RowKind Rows, class OnChild>
void walk(const Trie& trie, Rows& rows, std::uint32_t bound, std::optional<std::uint32_t> limit,
          OnChild& on_child) {
  enum class Step { Entered, Finished, Stop };

  // A node on the walk's stack with the positions of its children still to
  // visit. When the children stand in label order and only labels up to
  // stop_above can pass, the first child labelled above it ends the visit.
  struct Frame {
    std::size_t pos;
    std::size_t end;
    char32_t stop_above = 0xFFFFFFFF;
  };

  // Runs of children longer than this are searched by bisection for the
  // first child that can pass; shorter ones are cheaper to scan.
  constexpr std::size_t kBisectAbove = 8;

  const ChildrenView children = trie.children();
  const auto frame_of = [&](std::size_t node) -> Frame {
    const ChildRange run = children.of(node);
    return {run.begin, run.end};
  };
  // In a trie whose children stand in label order, the first position of
  // `run` whose label is not below `label`.
  const bool sorted = trie.hints.children_sorted;
  const auto first_not_below = [&](Frame run, char32_t label) {
    std::size_t lo = run.pos, hi = run.end;
    while (lo < hi) {
      const std::size_t mid = lo + (hi - lo) / 2;
      if (children.label(children.child(mid)) < label) lo = mid + 1; else hi = mid;
    }
    return lo;
  };

  // stack[d] is the node at depth d, path[d] the label into the node at
  // depth d + 1. Both grow only as the walk goes deeper.
  std::vector<Frame> stack(64);
  std::vector<char32_t> path(stack.size());
  stack[0] = frame_of(0);
  std::size_t hits = 0;

  // A child that may pass: its row decides whether it is pruned, reported
  // and entered.
  const auto visit = [&](std::size_t depth, std::uint32_t child, char32_t label) -> Step {
    const RowSummary row = rows.step(depth, label);
    if (row.min > bound) return Step::Finished;  // no term below can come back within the bound

    if (row.last <= bound &&
        on_child(child, static_cast<std::uint32_t>(row.last), std::span(path.data(), depth), label)) {
      ++hits;
      if (limit && hits >= *limit) return Step::Stop;
    }
    Frame entered = frame_of(child);
    if (entered.pos >= entered.end) return Step::Finished;  // a leaf: nothing to enter
    rows.enter(depth + 1, row.min);
    // Only children with a passing label can stay within the bound: in
    // label order, skip those below the least (by bisection in a long run)
    // and stop after the greatest.
    if (sorted) {
      if (const auto passing = rows.passing_range(depth + 1)) {
        if (entered.end - entered.pos > kBisectAbove) entered.pos = first_not_below(entered, passing->first);
        entered.stop_above = passing->second;
      }
    }
    if (depth + 1 == stack.size()) {
      stack.resize(2 * stack.size());
      path.resize(stack.size());
    }
    path[depth] = label;
    stack[depth + 1] = entered;
    return Step::Entered;
  };

  // The per-node step: scans the remaining children of the node at `depth`
  // (the top frame) until one is entered (pushed), the frame is done
  // (popped) or the limit is reached.
  const auto dfs = [&](std::size_t depth) -> Step {
    while (stack[depth].pos < stack[depth].end) {
      const std::uint32_t child = children.child(stack[depth].pos++);
      const char32_t label = children.label(child);
      if (label > stack[depth].stop_above) break;  // no later child can pass
      // Unlabelled children are neither reported nor entered.
      if (label == 0 || !rows.may_pass(depth, label)) continue;
      const Step step = visit(depth, child, label);
      if (step != Step::Finished) return step;
    }
    return Step::Finished;
  };

  std::size_t depth = 0;
  while (true) {
    switch (dfs(depth)) {
      case Step::Entered: ++depth; break;
      case Step::Finished:
        if (depth == 0) return;
        --depth;
        break;
      case Step::Stop: return;
    }
  }
}

}  // namespace quillon
