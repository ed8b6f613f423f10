#include "matcher.hpp"

#include <algorithm>
#include <span>
#include <type_traits>

#include "../utf8.hpp"

namespace quillon {
namespace {

// The walk never needs a bound above n + node_count: in a trie without
// cycles no term is longer than node_count - 1, so no distance or row minimum
// exceeds it and the answer is the same; in a trie with a cycle it keeps the
// walk finite. The bound stays below 2^32 - 1 so that bound + 1 fits a
// 32-bit cell.
std::uint32_t effective_bound(std::uint32_t max_dist, std::size_t query_len,
                              std::size_t node_count) {
  const std::uint64_t reachable = std::uint64_t{query_len} + node_count;
  return static_cast<std::uint32_t>(
      std::min<std::uint64_t>({max_dist, reachable, UINT32_MAX - 1}));
}

enum class Step { Entered, Finished, Stop };

// A node on the walk's stack with the positions of its children still to visit.
struct Frame {
  std::size_t pos;
  std::size_t end;
};

Frame frame_for(const Trie& trie, std::size_t node) {
  const ChildRange range = trie.children(node);
  return {range.begin, range.end};
}

// Depth-first walk from the root carrying one row of the edit-distance table
// per depth. Cells hold min(true distance, bound + 1): every value above the
// bound decides the same way, so Cell only needs to hold bound + 1.
//
// For each child c that is not pruned and whose distance is within the bound,
// calls on_child(c, dist, path, label), where path holds the labels from the
// root to c's parent; on_child returns true when it recorded a hit.
template <class Cell, class OnChild>
void walk(const Trie& trie, std::span<const char32_t> query, std::uint32_t bound,
          std::optional<std::uint32_t> limit, OnChild& on_child) {
  using Wide = std::conditional_t<sizeof(Cell) < 4, std::uint32_t, std::uint64_t>;
  const std::size_t n = query.size();
  const std::size_t width = n + 1;
  const Wide cap = Wide{bound} + 1;

  // Row d (the node at depth d) is rows[d * width .. (d + 1) * width); rows
  // are added only as the walk goes deeper.
  std::vector<Cell> rows(width);
  for (std::size_t j = 0; j <= n; ++j) rows[j] = static_cast<Cell>(std::min<Wide>(j, cap));

  std::vector<Frame> stack{frame_for(trie, 0)};
  std::vector<char32_t> path;  // label of each frame but the root's
  std::size_t hits = 0;

  // The per-node step: visits the top frame's remaining children until one
  // is entered (pushed), the frame is done (popped) or the limit is reached.
  const auto dfs = [&]() -> Step {
    const std::size_t depth = stack.size() - 1;
    while (stack.back().pos < stack.back().end) {
      const std::uint32_t child = trie.child_at(stack.back().pos++);
      const char32_t label = at(trie.child_labels, child);
      if (label == 0) continue;  // unlabelled: neither reported nor entered

      if (rows.size() < (depth + 2) * width) rows.resize((depth + 2) * width);
      const Cell* prev = rows.data() + depth * width;
      Cell* cur = rows.data() + (depth + 1) * width;
      Wide left = std::min<Wide>(depth + 1, cap);
      cur[0] = static_cast<Cell>(left);
      Wide row_min = left;
      for (std::size_t j = 1; j <= n; ++j) {
        Wide v = Wide{prev[j - 1]} + (query[j - 1] != label ? 1 : 0);
        v = std::min({v, Wide{prev[j]} + 1, left + 1, cap});
        cur[j] = static_cast<Cell>(v);
        left = v;
        row_min = std::min(row_min, v);
      }
      // No term below can come back within the bound.
      if (row_min > bound) continue;

      const Wide dist = cur[n];
      if (dist <= bound && on_child(child, static_cast<std::uint32_t>(dist), std::span(path), label)) {
        ++hits;
        if (limit && hits >= *limit) return Step::Stop;
      }
      const Frame entered = frame_for(trie, child);
      path.push_back(label);
      stack.push_back(entered);
      return Step::Entered;
    }
    stack.pop_back();
    if (!path.empty()) path.pop_back();
    return Step::Finished;
  };

  while (!stack.empty()) {
    if (dfs() == Step::Stop) return;
  }
}

template <class OnChild>
void run_walk(const Trie& trie, std::string_view term, std::uint32_t max_dist,
              std::optional<std::uint32_t> limit, OnChild& on_child) {
  if (trie.node_count() == 0) return;  // no root, no hits
  if (limit && *limit == 0) return;    // a result never exceeds its limit
  std::vector<char32_t> query;
  utf8::decode(term, query);
  const std::uint32_t bound = effective_bound(max_dist, query.size(), trie.node_count());
  if (bound < UINT16_MAX)
    walk<std::uint16_t>(trie, query, bound, limit, on_child);
  else
    walk<std::uint32_t>(trie, query, bound, limit, on_child);
}

}  // namespace

std::vector<MatchResult> fuzzy_match(const Trie& trie, std::string_view term,
                                     std::uint32_t max_dist,
                                     std::optional<std::uint32_t> limit) {
  std::vector<MatchResult> hits;
  auto on_child = [&](std::uint32_t child, std::uint32_t dist, std::span<const char32_t> path,
                      char32_t label) {
    if (!at(trie.is_terminal, child)) return false;
    std::string text;
    for (const char32_t cp : path) utf8::append(text, cp);
    utf8::append(text, label);
    hits.push_back({std::move(text), child, dist});
    return true;
  };
  run_walk(trie, term, max_dist, limit, on_child);
  return hits;
}

std::vector<NodeHit> fuzzy_match_nodes(const Trie& trie, std::string_view term,
                                       std::uint32_t max_dist, bool terminal_only,
                                       std::optional<std::uint32_t> limit) {
  std::vector<NodeHit> hits;
  auto on_child = [&](std::uint32_t child, std::uint32_t dist, std::span<const char32_t>, char32_t) {
    if (terminal_only && !at(trie.is_terminal, child)) return false;
    hits.push_back({child, dist});
    return true;
  };
  run_walk(trie, term, max_dist, limit, on_child);
  return hits;
}

}  // namespace quillon
