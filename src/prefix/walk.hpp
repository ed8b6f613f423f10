// The walk: depth-first over the trie from the root, carrying one row of the
// edit-distance table per depth, made and kept by a kind of rows (rows.hpp).
// It decides the order of the answer (a node before the nodes below it,
// children in child_transitions order), the pruning and the limit; what
// counts as a hit is the caller's.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "reach_bound.hpp"
#include "rows.hpp"
#include "trie_view.hpp"

namespace quillon {

// What the walk may use besides the trie's arrays, where the trie's hints
// hold its search edges. Each aid only saves work: the answer is the same
// with or without it.
struct WalkAids {
  // Read each child and its label from the search edges, one contiguous run
  // per node, instead of from child_transitions and then child_labels.
  bool search_edges = true;
  // Leave a child unmade when its reach rules out every hit (null: never).
  ReachBound* reach = nullptr;
};

// For each child c that is not pruned and whose distance is within `bound`,
// in walk order, calls on_child(c, dist, path, label), where path holds the
// labels from the root to c's parent; on_child returns true when it recorded
// a hit. Stops after `limit` hits. The stack lives on the heap and grows with
// the depth reached, so no trie's depth can overflow the call stack.
template <RowKind Rows, class OnChild>
void walk(const TrieView& trie, Rows& rows, std::uint32_t bound, std::optional<std::uint32_t> limit,
          OnChild& on_child, WalkAids aids = {}) {
  enum class Step { Entered, Finished, Stop };

  // A node on the walk's stack. Its children are sieved in groups of up to
  // kGroup in walk order: `passing` marks those of the last group that may
  // pass (bit i for position group + i); positions from `pos` to `end` are
  // not sieved yet. When the children stand in label order and only labels
  // up to stop_above can pass, the first child labelled above it ends the
  // visit.
  struct Frame {
    std::size_t pos;
    std::size_t end;
    char32_t stop_above = 0xFFFFFFFF;
    std::size_t group = 0;
    std::uint64_t passing = 0;
    bool noted = false;  // the reach bound has noted the node's row
  };
  constexpr std::size_t kGroup = 64;

  // Runs of children longer than this are searched by bisection for the
  // first child that can pass; shorter ones are cheaper to scan.
  constexpr std::size_t kBisectAbove = 8;

  const ChildrenView children = trie.children();
  // Search edges that were derived from these arrays, or none.
  const std::span<const SearchEdge> edges = trie.search_edges();
  const bool read_edges = aids.search_edges && !edges.empty();
  ReachBound* const reach = edges.empty() ? nullptr : aids.reach;
  const auto label_at = [&](std::size_t pos) {
    return read_edges ? at(edges, pos).label : children.label(children.child(pos));
  };
  // The children of the child at `pos`, from its search edge where it says.
  const auto run_below = [&](std::size_t pos) -> Frame {
    if (read_edges) {
      const SearchEdge& edge = at(edges, pos);
      if (edge.run_length != SearchEdge::kLongRun) return {edge.run_begin, std::size_t{edge.run_begin} + edge.run_length};
    }
    const ChildRange run = children.of(children.child(pos));
    return {run.begin, run.end};
  };
  // In a trie whose children stand in label order, the first position of
  // `run` whose label is not below `label`.
  const bool sorted = trie.children_sorted;
  const auto first_not_below = [&](Frame run, char32_t label) {
    std::size_t lo = run.pos, hi = run.end;
    while (lo < hi) {
      const std::size_t mid = lo + (hi - lo) / 2;
      if (label_at(mid) < label) lo = mid + 1; else hi = mid;
    }
    return lo;
  };

  // stack[d] is the node at depth d, path[d] the label into the node at
  // depth d + 1. Both grow only as the walk goes deeper.
  std::vector<Frame> stack(64);
  std::vector<char32_t> path(stack.size());
  {
    const ChildRange root = children.of(0);
    stack[0] = {root.begin, root.end};
  }
  std::size_t hits = 0;

  // Marks the children of the next group of the node at `depth` that may
  // pass: labelled, let through by the kind of rows and by their reach. The
  // row they are tested against stays as it is while the node is on the
  // stack. With search edges, the runs of the marked children start loading
  // now, each while the walk is busy with its elder siblings.
  const auto sieve = [&](std::size_t depth) {
    Frame& frame = stack[depth];
    const std::size_t group_end = std::min(frame.end, frame.pos + kGroup);
    const std::span<const SearchEdge> group =
        edges.empty() ? edges : at_run(edges, frame.pos, group_end);  // checked once for the loop
    std::uint64_t passing = 0;
    std::size_t i = 0;
    for (; i < group_end - frame.pos; ++i) {
      const char32_t label = read_edges ? group[i].label : label_at(frame.pos + i);
      if (label > frame.stop_above) {  // no later child can pass
        frame.end = frame.pos + i;
        break;
      }
      // Unlabelled children are neither reported nor entered.
      if (label == 0 || !rows.may_pass(depth, label)) continue;
      if (reach) {
        if (!frame.noted) reach->prepare(rows, depth);  // once, for the first child tested
        frame.noted = true;
        if (!reach->may_hold(depth, group[i])) continue;
      }
      passing |= std::uint64_t{1} << i;
      if (read_edges && group[i].run_begin < edges.size()) __builtin_prefetch(&edges[group[i].run_begin]);
    }
    frame.group = frame.pos;
    frame.passing = passing;
    frame.pos += i;
  };

  // A child that may pass: its row decides whether it is pruned, reported
  // and entered.
  const auto visit = [&](std::size_t depth, std::size_t pos) -> Step {
    const char32_t label = label_at(pos);
    const RowSummary row = rows.step(depth, label);
    if (row.min > bound) return Step::Finished;  // no term below can come back within the bound

    if (row.last <= bound &&
        on_child(children.child(pos), static_cast<std::uint32_t>(row.last), std::span(path.data(), depth), label)) {
      ++hits;
      if (limit && hits >= *limit) return Step::Stop;
    }
    Frame entered = run_below(pos);
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

  // The per-node step: visits the passing children of the node at `depth`
  // (the top frame), sieving group after group, until one is entered
  // (pushed), the frame is done (popped) or the limit is reached.
  const auto dfs = [&](std::size_t depth) -> Step {
    while (true) {
      Frame& frame = stack[depth];
      if (frame.passing == 0) {
        if (frame.pos >= frame.end) return Step::Finished;
        sieve(depth);
        continue;
      }
      const std::size_t pos = frame.group + static_cast<std::size_t>(std::countr_zero(frame.passing));
      frame.passing &= frame.passing - 1;
      const Step step = visit(depth, pos);  // may grow the stack: `frame` is not used after it
      if (step != Step::Finished) return step;
    }
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
