// Propagation: after it, each node's payload covers the terms of its subtree.
#pragma once

#include <cstdint>

namespace quillon {

struct Trie;

// Pushes payloads up the trie: absent payloads become empty ones, then every
// node, from the highest id down, merges its children's payloads into its own
// and keeps its top_n most counted videos. Children numbered below their
// parent are read before their own subtree is merged in; a node listed as its
// own child is passed over. A run of edges that reaches past the end of
// child_transitions is an internal error.
void propagate(Trie& trie, std::uint32_t top_n);

}  // namespace quillon
