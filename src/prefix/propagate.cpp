#include "propagate.hpp"

#include <algorithm>

#include "trie.hpp"

namespace quillon {

void propagate(Trie& trie, std::uint32_t top_n) {
  const std::size_t n = trie.node_count();
  const PayloadTable in = std::move(trie.payloads);
  // Absent input payloads read as empty ones.
  const auto input = [&](std::size_t node) {
    const auto view = in.get(node);
    return view ? *view : PayloadView{};
  };
  const ChildrenView children = trie.children();

  // Nodes are processed from n - 1 down to 0 and their results stored in
  // that order: node m's result is entry n - 1 - m until the table is
  // reversed at the end.
  PayloadTable out;
  out.reserve(n);
  PayloadMerger merger;
  for (std::size_t done = 0; done < n; ++done) {
    const std::size_t node = n - 1 - done;
    const PayloadView own = input(node);
    bool merged = false;
    const ChildRange range = children.of(node);
    for (std::size_t p = range.begin; p < range.end; ++p) {
      const std::uint32_t child = children.child(p);
      (void)in.present(child);  // checks the child id against the node count
      if (child == node) continue;  // its own slot is empty while it is processed
      // A child numbered above its parent is finished; one numbered below
      // still holds its input payload.
      const PayloadView child_payload = child > node ? *out.get(n - 1 - child) : input(child);
      if (!merged) merger.start(own);
      merged = true;
      merger.merge_from(child_payload);
    }
    if (merged) {
      const std::uint32_t total = merger.finish(top_n, out.ids(), out.counts());
      out.close_payload(total);
    } else {
      // No merge: the input lists keep their order and repeats, only cut.
      const std::size_t keep = std::min<std::size_t>(own.video_ids.size(), top_n);
      out.push({own.total_count, own.video_ids.first(keep), own.video_counts});
    }
  }
  out.reverse_nodes();
  trie.payloads = std::move(out);
}

}  // namespace quillon
