// The structural checks that make arrays a trie every reader can follow
// safely, with the texts that report their faults. Construction makes the
// shape checks on the host's arrays before it converts any payload (its
// runs of edges are checked as propagation reads them); decoding makes all
// of them on what it read. Each check gives the first fault, or nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>

namespace quillon {

struct TrieView;

// An array that holds one entry per node, by name.
struct PerNodeArray {
  const char* name;
  std::size_t length;
};

// In order: each array in `per_node` as long as child_labels
// ("{name} len {length} != child_labels len {node_count}"), then every child
// id below the node count ("child_transitions[{i}] = {id} out of range
// [0..{node_count})").
std::optional<std::string> shape_fault(std::size_t node_count, std::initializer_list<PerNodeArray> per_node,
                                       std::span<const std::uint32_t> child_transitions);

// What queries rely on: the shape checks on node_shifts, payloads and
// is_terminal, then every node's non-empty run of edges inside
// child_transitions ("children of node {n} at [{begin}..{end}) out of range
// [0..{size})").
std::optional<std::string> structural_fault(const TrieView& trie);

}  // namespace quillon
