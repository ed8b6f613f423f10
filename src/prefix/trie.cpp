#include "trie.hpp"

#include <algorithm>
#include <string>

namespace quillon {

void mark_hints(Trie& trie) {
  bool sorted = true;
  for (std::size_t node = 0; sorted && node < trie.node_count(); ++node) {
    const ChildRange run = trie.children(node);
    for (std::size_t p = run.begin; sorted && p + 1 < run.end; ++p)
      sorted = at(trie.child_labels, trie.child_at(p)) <= at(trie.child_labels, trie.child_at(p + 1));
  }
  trie.hints.children_sorted = sorted;
}

void propagate(Trie& trie, std::uint32_t top_n) {
  const std::size_t n = trie.node_count();
  const PayloadTable in = std::move(trie.payloads);
  // Absent input payloads read as empty ones.
  const auto input = [&](std::size_t node) {
    const auto view = in.get(node);
    return view ? *view : PayloadView{};
  };

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
    const ChildRange range = trie.children(node);
    for (std::size_t p = range.begin; p < range.end; ++p) {
      const std::uint32_t child = trie.child_at(p);
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

std::optional<Error> check_shape(const FlatArrays& in, std::size_t payload_count) {
  const std::size_t n = in.child_labels.size();
  if (in.node_shifts.size() != n)
    return Error::value("node_shifts len " + std::to_string(in.node_shifts.size()) +
                        " != child_labels len " + std::to_string(n));
  if (payload_count != n)
    return Error::value("payloads len " + std::to_string(payload_count) + " != child_labels len " +
                        std::to_string(n));
  for (std::size_t i = 0; i < in.child_transitions.size(); ++i) {
    const std::uint32_t child = in.child_transitions[i];
    if (child >= n)
      return Error::value("child_transitions[" + std::to_string(i) + "] = " + std::to_string(child) +
                          " out of range [0.." + std::to_string(n) + ")");
  }
  return std::nullopt;
}

namespace {

// Fills the id table from the host's byte strings: all 16 bytes long (UUIDs)
// or all 4 bytes long (little-endian 32-bit ids). Lengths are classified
// before anything is copied.
std::optional<Error> fill_id_table(const ByteStrings& index, Trie& trie) {
  const std::size_t m = index.size();
  trie.id_mode = IdMode::Uuid;
  if (m == 0) return std::nullopt;
  const std::size_t width = index.length(0);
  bool uniform = width == 16 || width == 4;
  for (std::size_t j = 1; uniform && j < m; ++j) uniform = index.length(j) == width;
  if (!uniform)
    return Error::value("video_index entries must be all 16 bytes (UUID) or all 4 bytes (int32)");
  const std::uint8_t* bytes = index.bytes.data();
  if (width == 16) {
    trie.video_uuids.resize(m);
    for (std::size_t j = 0; j < m; ++j)
      std::copy_n(bytes + 16 * j, 16, trie.video_uuids[j].begin());
  } else {
    trie.id_mode = IdMode::Int32;
    trie.video_int_ids.resize(m);
    for (std::size_t j = 0; j < m; ++j) {
      const std::uint8_t* b = bytes + 4 * j;
      trie.video_int_ids[j] = std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 |
                              std::uint32_t{b[2]} << 16 | std::uint32_t{b[3]} << 24;
    }
  }
  return std::nullopt;
}

}  // namespace

Result<Trie> finish_build(FlatArrays&& in, PayloadTable&& payloads) {
  Trie trie;
  if (auto error = fill_id_table(in.video_index, trie)) return std::move(*error);
  const std::size_t n = payloads.size();
  trie.is_terminal.resize(n);
  for (std::size_t i = 0; i < n; ++i) trie.is_terminal[i] = payloads.present(i) ? 1 : 0;
  trie.node_shifts = std::move(in.node_shifts);
  trie.child_labels = std::move(in.child_labels);
  trie.child_transitions = std::move(in.child_transitions);
  trie.payloads = std::move(payloads);
  propagate(trie, in.video_top_n);
  mark_hints(trie);
  return trie;
}

}  // namespace quillon
