#include "completion_data.hpp"

#include <algorithm>
#include <string>

#include "../checked.hpp"

namespace quillon {

std::optional<std::string_view> CompletionView::display(std::uint32_t node) const {
  const auto found = std::lower_bound(display_nodes.begin(), display_nodes.end(), node);
  if (found == display_nodes.end() || *found != node) return std::nullopt;
  const auto i = static_cast<std::size_t>(found - display_nodes.begin());
  const std::uint64_t begin = at(display_offsets, i);
  const std::uint64_t end = at(display_offsets, i + 1);
  const std::span<const std::uint8_t> text = at_run(display_bytes, begin, end);
  return std::string_view(reinterpret_cast<const char*>(text.data()), text.size());
}

Result<std::vector<CompletionNode>> completion_nodes(const TrieView& trie, std::span<const std::uint32_t> counts) {
  const std::size_t n = trie.node_count();
  if (counts.size() != n)
    return Error::value("completion counts: " + std::to_string(counts.size()) + " counts for " + std::to_string(n) + " nodes");
  std::vector<CompletionNode> nodes(n);
  std::vector<std::uint8_t> reached(n, 0);
  std::vector<std::uint32_t> order;  // one node's children, reused
  const ChildrenView children = trie.children();
  // From the last node to the first: every child is final before its parent.
  for (std::size_t node = n; node-- > 0;) {
    CompletionNode& record = nodes[node];
    record.count = at(trie.is_terminal, node) ? at(counts, node) : 0;
    record.best = record.count;
    order.clear();
    const ChildRange run = children.of(node);
    for (std::size_t p = run.begin; p < run.end; ++p) {
      const std::uint32_t child = children.child(p);
      if (child <= node || at(reached, child))
        return Error::value("completion order: node " + std::to_string(child) + " is not a child of node " +
                            std::to_string(node) + " alone, numbered after it");
      reached[child] = 1;
      if (children.label(child) == 0) continue;  // never entered by a search
      order.push_back(child);
    }
    std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
      return nodes[a].best != nodes[b].best ? nodes[a].best > nodes[b].best : a < b;
    });
    for (std::size_t i = 0; i < order.size(); ++i)
      nodes[order[i]].next_sibling = i + 1 < order.size() ? order[i + 1] : CompletionNode::kNone;
    if (!order.empty()) {
      record.first_child = order.front();
      record.best = std::max(record.best, nodes[order.front()].best);
    }
  }
  return nodes;
}

void add_display(CompletionData& data, std::uint32_t node, std::string_view term, std::string_view display) {
  if (display == term) return;
  if (!data.display_nodes.empty() && data.display_nodes.back() >= node)
    throw_out_of_bounds(data.display_nodes.back(), node);  // out of order: a bug of the caller
  data.display_nodes.push_back(node);
  data.display_bytes.insert(data.display_bytes.end(), display.begin(), display.end());
  data.display_offsets.push_back(data.display_bytes.size());
}

}  // namespace quillon
