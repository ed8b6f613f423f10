// What the completion search keeps per trie node besides the trie itself:
// the popularity of the term that ends there, the best popularity below it,
// and its children in order of that best (a score-decomposed trie, after
// Hsu and Ottaviano, "Space-efficient data structures for top-k
// completion", 2013), so that the most popular completions below a node are
// found without visiting the others. And the display texts: the spelling
// users typed most often, where it differs from the stored term.
//
// Flat arrays of fixed-width records: built once with the index, then read
// through spans, from memory or from a mapped index file alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "../error.hpp"
#include "../prefix/trie_view.hpp"

namespace quillon {

// One node's completion record. 16 bytes.
struct CompletionNode {
  static constexpr std::uint32_t kNone = 0xFFFFFFFF;

  // The greatest `count` of a term in the node's subtree, the node's own
  // included; 0 where no term ends below (or only terms counted 0).
  std::uint32_t best = 0;
  // How often the term that ends at the node was searched (0 elsewhere).
  std::uint32_t count = 0;
  // The child whose subtree holds the best term, or kNone; ties go to the
  // lower node id.
  std::uint32_t first_child = kNone;
  // The next sibling in the parent's order: best descending, then node id.
  std::uint32_t next_sibling = kNone;

  bool operator==(const CompletionNode&) const = default;
};
static_assert(sizeof(CompletionNode) == 16);

// The completion data of a trie, as spans.
struct CompletionView {
  std::span<const CompletionNode> nodes;  // one per trie node
  // The display texts that differ from their terms: display_nodes in
  // increasing order, node display_nodes[i]'s text is
  // display_bytes[display_offsets[i] .. display_offsets[i + 1]).
  std::span<const std::uint32_t> display_nodes;
  std::span<const std::uint64_t> display_offsets;
  std::span<const std::uint8_t> display_bytes;

  // The display text of the term at `node`, or nothing where it is the
  // term itself. Checked.
  std::optional<std::string_view> display(std::uint32_t node) const;
};

// Owned completion data, as the build makes it.
struct CompletionData {
  std::vector<CompletionNode> nodes;
  std::vector<std::uint32_t> display_nodes;
  std::vector<std::uint64_t> display_offsets{0};
  std::vector<std::uint8_t> display_bytes;

  CompletionView view() const { return {nodes, display_nodes, display_offsets, display_bytes}; }
};

// The records of every node of `trie`, from each node's own count
// (`counts[n]` for node n; only terminal nodes' counts are used). Needs a
// tree numbered parent before child (every child id above its parent's and
// reached once), which the build makes: anything else is an Error naming
// the first edge that breaks it. Unlabelled children are left out, as the
// searches leave them out.
Result<std::vector<CompletionNode>> completion_nodes(const TrieView& trie, std::span<const std::uint32_t> counts);

// Adds the display text of `node` when it differs from `term`; nodes must
// come in increasing order.
void add_display(CompletionData& data, std::uint32_t node, std::string_view term, std::string_view display);

}  // namespace quillon
