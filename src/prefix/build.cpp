#include "build.hpp"

#include <algorithm>

#include "../little_endian.hpp"
#include "propagate.hpp"
#include "validate.hpp"

namespace quillon {

std::optional<Error> check_shape(const FlatArrays& in, std::size_t payload_count) {
  if (auto fault = shape_fault(in.child_labels.size(),
                               {{"node_shifts", in.node_shifts.size()}, {"payloads", payload_count}},
                               in.child_transitions))
    return Error::value(std::move(*fault));
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
    for (std::size_t j = 0; j < m; ++j)
      trie.video_int_ids[j] = static_cast<std::uint32_t>(load_little_endian<4>(bytes + 4 * j));
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
