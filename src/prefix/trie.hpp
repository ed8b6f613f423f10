// The character trie: flat per-node arrays indexed by 32-bit node ids, one
// optional payload per node and a table of video ids. Node 0 is the root.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "../checked.hpp"
#include "../error.hpp"
#include "../payload.hpp"

namespace quillon {

// Which video id table a trie uses; the values are the stored variant indexes.
enum class IdMode : std::uint8_t { Uuid = 0, Int32 = 1 };

using Uuid = std::array<std::uint8_t, 16>;

// Positions [begin, end) of a node's child edges in child_transitions; empty
// when begin >= end. The end may lie past the array: each position is checked
// when it is read (Trie::child_at).
struct ChildRange {
  std::size_t begin = 0;
  std::size_t end = 0;
};

// What a search may assume about a trie's arrays, worked out once when the
// trie is built or decoded (see mark_hints). Not part of the trie's value:
// tries with equal arrays compare equal whatever their hints, and the
// default hints assume nothing.
struct SearchHints {
  // Every node's children stand in order of their labels, so a search can
  // look a label up by bisection.
  bool children_sorted = false;

  bool operator==(const SearchHints&) const { return true; }
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
  SearchHints hints;

  std::size_t node_count() const { return child_labels.size(); }
  // Checked: `node` must index node_shifts.
  ChildRange children(std::size_t node) const;
  std::uint32_t child_at(std::size_t position) const { return at(child_transitions, position); }
  // Length of the id table that id_mode selects.
  std::size_t id_table_size() const {
    return id_mode == IdMode::Uuid ? video_uuids.size() : video_int_ids.size();
  }

  bool operator==(const Trie&) const = default;
};

// Inline: the walk asks for it at every node it enters.
inline ChildRange Trie::children(std::size_t node) const {
  const std::size_t begin = at(node_shifts, node);
  const std::size_t end =
      node + 1 < node_shifts.size() ? node_shifts[node + 1] : child_transitions.size();
  if (begin >= end) return {};
  return {begin, end};
}

// Works out the hints of a trie whose arrays are complete.
void mark_hints(Trie& trie);

// Pushes payloads up the trie so that each node covers its subtree: absent
// payloads become empty ones, then every node, from the highest id down,
// merges its children's payloads into its own and keeps its top_n most
// counted videos. Children numbered below their parent are read before their
// own subtree is merged in; a node listed as its own child is passed over.
void propagate(Trie& trie, std::uint32_t top_n);

// The stored form: the fields in declaration order, unsigned integers and
// counts as variable-length little-endian values, no header.
std::size_t encoded_size(const Trie& trie);
// Writes the stored form into `out`, which must hold exactly
// encoded_size(trie) bytes.
void encode(const Trie& trie, std::span<std::uint8_t> out);
// Decodes a trie from the start of `bytes` (bytes after it are ignored).
// Fails with ValueError "decode error: ..." on a fault in the bytes, or,
// once the bytes decoded, on arrays that contradict each other.
Result<Trie> decode(std::span<const std::uint8_t> bytes);
// What construction guarantees and queries rely on: per-node arrays as long
// as child_labels, child ids below the node count, non-empty child runs
// inside child_transitions. The first violation, or nothing.
std::optional<std::string> structural_fault(const Trie& trie);

// Video id table as received: entry i is bytes[starts[i] .. starts[i + 1]).
struct ByteStrings {
  std::vector<std::uint8_t> bytes;
  std::vector<std::size_t> starts{0};

  std::size_t size() const { return starts.size() - 1; }
  std::size_t length(std::size_t i) const { return at(starts, i + 1) - at(starts, i); }
  void close_entry() { starts.push_back(bytes.size()); }
};

// The host's flat arrays, converted; payloads come separately.
struct FlatArrays {
  std::vector<std::uint32_t> node_shifts;
  std::vector<char32_t> child_labels;  // first code point of each label, 0 for ""
  std::vector<std::uint32_t> child_transitions;
  ByteStrings video_index;
  std::uint32_t video_top_n = 0;
};

// Checks the arrays in their fixed order, takes node i's payload from
// `payload_source(i, table)` (which appends one present or absent payload to
// `table`, or returns the Error that ends the build), fills the id table and
// propagates. `payload_count` is the number of payload entries the host gave.
template <class PayloadSource>
Result<Trie> build_trie(FlatArrays&& in, std::size_t payload_count, PayloadSource&& payload_source);

// The steps of build_trie that run before the payloads are converted.
std::optional<Error> check_shape(const FlatArrays& in, std::size_t payload_count);
// The steps after: the id table, then propagation.
Result<Trie> finish_build(FlatArrays&& in, PayloadTable&& payloads);

template <class PayloadSource>
Result<Trie> build_trie(FlatArrays&& in, std::size_t payload_count, PayloadSource&& payload_source) {
  if (auto error = check_shape(in, payload_count)) return std::move(*error);
  PayloadTable payloads;
  payloads.reserve(payload_count);
  for (std::size_t i = 0; i < payload_count; ++i) {
    if (auto error = payload_source(i, payloads)) return std::move(*error);
  }
  return finish_build(std::move(in), std::move(payloads));
}

}  // namespace quillon
