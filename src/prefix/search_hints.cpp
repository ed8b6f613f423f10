#include "search_hints.hpp"

#include <algorithm>

#include "trie_view.hpp"

namespace quillon {
namespace {

// One step further from a node than `depth`: the cap stays a lower bound for
// a nearest terminal, and kNone stays kNone.
std::uint8_t nearest_one_down(std::uint8_t depth) {
  if (depth == SearchEdge::kNone) return depth;
  return static_cast<std::uint8_t>(std::min<unsigned>(depth + 1u, SearchEdge::kDepthCap));
}

// For a height, one step past the cap is unknown.
std::uint8_t height_one_down(std::uint8_t depth) {
  return depth >= SearchEdge::kDepthCap ? SearchEdge::kNone : static_cast<std::uint8_t>(depth + 1);
}

}  // namespace

// Three passes, the first and last in order: each node's own label and run
// of children; its reach, from the last node to the first, so that the
// children numbered above a node are final when it is reached (a child
// numbered at or below its parent, a cycle or an order the pass cannot
// follow, leaves the parent's reach unknown, and so everything that reaches
// that parent); then each edge as a copy of its child's. A node's entry is
// read once per edge into it, the one read out of order.
SearchHints derive_hints(const TrieView& trie) {
  const std::size_t n = trie.node_count();
  const ChildrenView children = trie.children();
  std::vector<SearchEdge> node_edge(n);  // what an edge into the node says
  for (std::size_t node = 0; node < n; ++node) {
    SearchEdge& own = node_edge[node];
    own.label = children.label(node);
    const ChildRange run = children.of(node);
    own.run_begin = static_cast<std::uint32_t>(run.begin);  // a node_shifts entry
    own.run_length = static_cast<std::uint16_t>(std::min<std::size_t>(run.end - run.begin, SearchEdge::kLongRun));
  }
  bool sorted = true;
  for (std::size_t node = n; node-- > 0;) {
    SearchEdge& own = node_edge[node];
    own.chars = own.label != 0 ? char_bit(own.label) : 0;
    own.nearest_terminal = at(trie.is_terminal, node) ? 0 : SearchEdge::kNone;
    own.height = 0;
    bool known = true;
    char32_t previous = 0;
    const ChildRange run = children.of(node);
    for (std::size_t p = run.begin; p < run.end; ++p) {
      const std::uint32_t child = children.child(p);
      const SearchEdge& below = at(node_edge, child);
      sorted = sorted && previous <= below.label;
      previous = below.label;
      if (below.label == 0 || !known) continue;  // never entered, or already unknown
      if (child <= node) {
        known = false;
        continue;
      }
      own.chars |= below.chars;
      own.nearest_terminal = std::min(own.nearest_terminal, nearest_one_down(below.nearest_terminal));
      own.height = std::max(own.height, height_one_down(below.height));
    }
    if (!known) {
      own.chars = ~std::uint32_t{0};
      own.nearest_terminal = std::min<std::uint8_t>(own.nearest_terminal, 1);
      own.height = SearchEdge::kNone;
    }
  }
  SearchHints hints;
  hints.children_sorted = sorted;
  hints.edges.resize(trie.child_transitions.size());
  for (std::size_t p = 0; p < hints.edges.size(); ++p) hints.edges[p] = at(node_edge, children.child(p));
  return hints;
}

void mark_hints(Trie& trie) { trie.hints = derive_hints(trie); }

}  // namespace quillon
