#include "validate.hpp"

#include "trie_view.hpp"

namespace quillon {

std::optional<std::string> shape_fault(std::size_t node_count, std::initializer_list<PerNodeArray> per_node,
                                       std::span<const std::uint32_t> child_transitions) {
  for (const PerNodeArray& array : per_node) {
    if (array.length != node_count)
      return std::string(array.name) + " len " + std::to_string(array.length) + " != child_labels len " +
             std::to_string(node_count);
  }
  for (std::size_t i = 0; i < child_transitions.size(); ++i) {
    const std::uint32_t child = child_transitions[i];
    if (child >= node_count)
      return "child_transitions[" + std::to_string(i) + "] = " + std::to_string(child) + " out of range [0.." +
             std::to_string(node_count) + ")";
  }
  return std::nullopt;
}

std::optional<std::string> structural_fault(const TrieView& trie) {
  const std::size_t n = trie.node_count();
  if (auto fault = shape_fault(n,
                               {{"node_shifts", trie.node_shifts.size()},
                                {"payloads", trie.payloads.total_counts.size()},
                                {"is_terminal", trie.is_terminal.size()}},
                               trie.child_transitions))
    return fault;
  const ChildrenView children = trie.children();
  const std::size_t size = trie.child_transitions.size();
  for (std::size_t node = 0; node < n; ++node) {
    const ChildRange run = children.of(node);
    if (run.end > size)
      return "children of node " + std::to_string(node) + " at [" + std::to_string(run.begin) + ".." +
             std::to_string(run.end) + ") out of range [0.." + std::to_string(size) + ")";
  }
  return std::nullopt;
}

}  // namespace quillon
