#include "search_hints.hpp"

#include <algorithm>

#include "trie.hpp"

namespace quillon {
namespace {

bool children_in_label_order(const Trie& trie) {
  const ChildrenView children = trie.children();
  for (std::size_t node = 0; node < trie.node_count(); ++node) {
    const ChildRange run = children.of(node);
    for (std::size_t p = run.begin; p + 1 < run.end; ++p)
      if (children.label(children.child(p)) > children.label(children.child(p + 1))) return false;
  }
  return true;
}

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

// The reach of every node, in one pass from the last node to the first: a
// node's children numbered above it are final when it is reached. A child
// numbered at or below its parent (a cycle, or an order the pass cannot
// follow) leaves the parent's reach unknown, and so everything that reaches
// that parent.
void mark_edges(Trie& trie) {
  const std::size_t n = trie.node_count();
  const ChildrenView children = trie.children();
  std::vector<SearchEdge> reach(n);  // the reach fields only
  for (std::size_t node = n; node-- > 0;) {
    SearchEdge own;
    const char32_t label = children.label(node);
    own.chars = label != 0 ? char_bit(label) : 0;
    own.nearest_terminal = at(trie.is_terminal, node) ? 0 : SearchEdge::kNone;
    own.height = 0;
    const ChildRange run = children.of(node);
    for (std::size_t p = run.begin; p < run.end; ++p) {
      const std::uint32_t child = children.child(p);
      if (children.label(child) == 0) continue;  // never entered
      if (child <= node) {
        own = SearchEdge{};  // unknown
        break;
      }
      const SearchEdge& below = reach[child];
      own.chars |= below.chars;
      own.nearest_terminal = std::min(own.nearest_terminal, nearest_one_down(below.nearest_terminal));
      own.height = std::max(own.height, height_one_down(below.height));
    }
    reach[node] = own;
  }
  std::vector<SearchEdge>& edges = trie.hints.edges;
  edges.resize(trie.child_transitions.size());
  for (std::size_t p = 0; p < edges.size(); ++p) {
    const std::uint32_t child = children.child(p);
    SearchEdge& edge = edges[p];
    edge = at(reach, child);
    edge.label = children.label(child);
    const ChildRange run = children.of(child);
    edge.run_begin = static_cast<std::uint32_t>(run.begin);  // a node_shifts entry
    edge.run_length = static_cast<std::uint16_t>(std::min<std::size_t>(run.end - run.begin, SearchEdge::kLongRun));
  }
}

}  // namespace

void mark_hints(Trie& trie) {
  trie.hints = {};
  trie.hints.children_sorted = children_in_label_order(trie);
  mark_edges(trie);
}

}  // namespace quillon
