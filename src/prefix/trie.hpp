// The character trie: flat per-node arrays indexed by 32-bit node ids, one
// optional payload per node and a table of video ids. Node 0 is the root.
//
// Everything that follows edges reads them through ChildrenView, the one
// place that knows how node_shifts delimits a node's children.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "../checked.hpp"
#include "../payload.hpp"
#include "search_hints.hpp"

namespace quillon {

// Which video id table a trie uses; the values are the stored variant indexes.
enum class IdMode : std::uint8_t { Uuid = 0, Int32 = 1 };

using Uuid = std::array<std::uint8_t, 16>;

// Positions [begin, end) of a node's child edges in child_transitions; empty
// when begin >= end. The end may lie past the array: each position is checked
// when it is read (ChildrenView::child).
struct ChildRange {
  std::size_t begin = 0;
  std::size_t end = 0;
};

// A trie's edges, every read checked. Cheap to make (three spans); a hot
// loop keeps one in a local so that the arrays' lengths stay in registers.
class ChildrenView {
 public:
  ChildrenView(std::span<const std::uint32_t> node_shifts, std::span<const std::uint32_t> child_transitions,
               std::span<const char32_t> child_labels)
      : shifts_(node_shifts), transitions_(child_transitions), labels_(child_labels) {}

  // The edges of `node`: from node_shifts[node] up to the next node's start,
  // or to the end of child_transitions for the last node. Checked: `node`
  // must index node_shifts.
  ChildRange of(std::size_t node) const {
    const std::size_t begin = at(shifts_, node);
    const std::size_t end = node + 1 < shifts_.size() ? shifts_[node + 1] : transitions_.size();
    if (begin >= end) return {};
    return {begin, end};
  }
  // The node at a position of child_transitions.
  std::uint32_t child(std::size_t position) const { return at(transitions_, position); }
  // The character on the edge into `node`; 0 means unlabelled.
  char32_t label(std::size_t node) const { return at(labels_, node); }

 private:
  std::span<const std::uint32_t> shifts_;
  std::span<const std::uint32_t> transitions_;
  std::span<const char32_t> labels_;
};

struct Trie {
  // node_shifts[n]: position in child_transitions of node n's first edge.
  std::vector<std::uint32_t> node_shifts;
  // child_labels[n]: the character on the edge into n; 0 means unlabelled.
  std::vector<char32_t> child_labels;
  // Child node ids, parent by parent.
  std::vector<std::uint32_t> child_transitions;
  PayloadTable payloads;
  std::vector<Uuid> video_uuids;
  std::vector<std::uint32_t> video_int_ids;
  IdMode id_mode = IdMode::Uuid;
  // 1 where a stored term ends.
  std::vector<std::uint8_t> is_terminal;
  // Derived from the arrays above when the trie is built or decoded.
  SearchHints hints;

  std::size_t node_count() const { return child_labels.size(); }
  ChildrenView children() const { return {node_shifts, child_transitions, child_labels}; }
  // Length of the id table that id_mode selects.
  std::size_t id_table_size() const {
    return id_mode == IdMode::Uuid ? video_uuids.size() : video_int_ids.size();
  }

  bool operator==(const Trie&) const = default;
};

}  // namespace quillon
