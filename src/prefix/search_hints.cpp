#include "search_hints.hpp"

#include "trie.hpp"

namespace quillon {

void mark_hints(Trie& trie) {
  const ChildrenView children = trie.children();
  bool sorted = true;
  for (std::size_t node = 0; sorted && node < trie.node_count(); ++node) {
    const ChildRange run = children.of(node);
    for (std::size_t p = run.begin; sorted && p + 1 < run.end; ++p)
      sorted = children.label(children.child(p)) <= children.label(children.child(p + 1));
  }
  trie.hints.children_sorted = sorted;
}

}  // namespace quillon
