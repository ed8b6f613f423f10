// Building a trie from the host's flat arrays: the shape checks, the
// payloads (converted by the caller, one node at a time), the id table, then
// propagation and the search hints.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "../checked.hpp"
#include "../error.hpp"
#include "../payload.hpp"
#include "trie.hpp"

namespace quillon {

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

// The steps of build_trie that run before the payloads are converted: the
// shape checks of node_shifts, the payload count and child_transitions.
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
