// Fuzzy search over a Trie: the stored terms (or nodes) within a Levenshtein
// distance of a query, over Unicode code points, in depth-first pre-order.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "trie_view.hpp"

namespace quillon {

// One hit of the term search.
struct MatchResult {
  std::string term;  // UTF-8, the labels from the root to `node`
  std::uint32_t node;
  std::uint32_t dist;

  bool operator==(const MatchResult&) const = default;
};

// One hit of the node search: a node and the distance of its term.
struct NodeHit {
  std::uint32_t node;
  std::uint32_t dist;

  bool operator==(const NodeHit&) const = default;
};

// How a search runs its walk. Every choice gives the same answer; the
// defaults are the fastest, and the tests and benchmarks compare the rest.
struct WalkChoice {
  // The kind of rows: the fastest for the bound (bands, or full rows where
  // a band would be no narrower than a row), or full rows throughout.
  enum class Rows : std::uint8_t { Fastest, Full };
  Rows rows = Rows::Fastest;
  // Read the children from the trie's search edges (search_hints.hpp).
  bool search_edges = true;
  // Leave alone the children whose reach rules out every hit; by default
  // where that pays: when only terminal nodes are hits (with every node a
  // hit, few subtrees hold none, and testing them costs more than it
  // saves).
  std::optional<bool> reach_bounds;
};

// The terminal nodes whose term lies within `max_dist` edits of `term`
// (UTF-8), in walk order: a node before the nodes below it, children in
// child_transitions order. With a limit, the first `limit` hits in that order
// (none for 0). A trie with no nodes has no hits.
std::vector<MatchResult> fuzzy_match(const TrieView& trie, std::string_view term,
                                     std::uint32_t max_dist,
                                     std::optional<std::uint32_t> limit, const WalkChoice& choice = {});

// The same walk answering with nodes: every node within `max_dist` (only
// terminal ones when `terminal_only`), in walk order, with the full distance.
std::vector<NodeHit> fuzzy_match_nodes(const TrieView& trie, std::string_view term,
                                       std::uint32_t max_dist, bool terminal_only,
                                       std::optional<std::uint32_t> limit, const WalkChoice& choice = {});

}  // namespace quillon
