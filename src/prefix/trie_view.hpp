// A read-only view of a trie: the arrays the searches and the ranking read,
// as spans. The same search code serves a trie the module decoded into its
// own vectors (Trie) and a trie used straight from a memory-mapped index
// file, whose arrays never become vectors. Every read stays checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "../checked.hpp"
#include "../payload.hpp"
#include "search_hints.hpp"
#include "trie.hpp"

namespace quillon {

struct TrieView {
  std::span<const std::uint32_t> node_shifts;
  std::span<const char32_t> child_labels;
  std::span<const std::uint32_t> child_transitions;
  std::span<const std::uint8_t> is_terminal;
  PayloadsView payloads;
  IdMode id_mode = IdMode::Uuid;
  std::span<const Uuid> video_uuids;
  std::span<const std::uint32_t> video_int_ids;
  // The search edges (search_hints.hpp): one per child_transitions entry,
  // or none.
  std::span<const SearchEdge> edges;
  bool children_sorted = false;

  TrieView() = default;
  // A view of a trie the caller keeps alive for as long as the view is used.
  TrieView(const Trie& trie)  // NOLINT: implicit, so that every search takes a Trie as it is
      : node_shifts(trie.node_shifts),
        child_labels(trie.child_labels),
        child_transitions(trie.child_transitions),
        is_terminal(trie.is_terminal),
        payloads(trie.payloads.view()),
        id_mode(trie.id_mode),
        video_uuids(trie.video_uuids),
        video_int_ids(trie.video_int_ids),
        edges(trie.hints.edges),
        children_sorted(trie.hints.children_sorted) {}

  std::size_t node_count() const { return child_labels.size(); }
  ChildrenView children() const { return {node_shifts, child_transitions, child_labels}; }
  std::size_t id_table_size() const { return id_mode == IdMode::Uuid ? video_uuids.size() : video_int_ids.size(); }
  // Search edges that describe every child_transitions entry, or none.
  std::span<const SearchEdge> search_edges() const {
    return edges.size() == child_transitions.size() ? edges : std::span<const SearchEdge>();
  }
};

}  // namespace quillon
