// decode on arbitrary bytes: a decode error, or a trie that passes the
// structural checks and survives a round trip; never a crash, a hang or more
// memory than the input can account for.
#include "fuzz_support.hpp"

using namespace quillon;
using namespace quillon::fuzz;

// Every element decoded from one input byte costs at most a few dozen bytes
// of arrays (a payload entry is the largest: offsets, totals, flags and room
// for its lists), and no room is reserved beyond what the remaining input
// can fill. 64 bytes per input byte, plus a fixed amount for error texts and
// empty arrays, is what an input can justify.
constexpr std::int64_t kHeapPerInputByte = 64;
constexpr std::int64_t kHeapFixed = 4096;

// What every reader of a trie relies on, checked here on its own rather than
// through structural_fault: per-node arrays as long as child_labels, every
// node's run of edges inside child_transitions, child ids below the node
// count, a payload list of counts as long as its list of ids.
void require_sound(const Trie& trie) {
  const std::size_t n = trie.child_labels.size();
  const std::size_t t = trie.child_transitions.size();
  require(trie.node_shifts.size() == n && trie.payloads.size() == n && trie.is_terminal.size() == n,
          "per-node arrays of different lengths");
  for (std::size_t node = 0; node < n; ++node) {
    require(trie.children().of(node).end <= t, "node " + std::to_string(node) + "'s edges run past the end");
    require(trie.is_terminal[node] <= 1, "a terminal flag that is not 0 or 1");
    if (const auto payload = trie.payloads.get(node))
      require(payload->video_ids.size() == payload->video_counts.size(), "payload lists of different lengths");
  }
  for (const std::uint32_t child : trie.child_transitions) require(child < n, "a child id out of range");
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  std::optional<Result<Trie>> decoded;
  {
    HeapWatch watch;
    decoded.emplace(decode(input));
    const std::int64_t allowed = kHeapPerInputByte * static_cast<std::int64_t>(size) + kHeapFixed;
    require(watch.peak_bytes() <= allowed,
            "decode held " + std::to_string(watch.peak_bytes()) + " bytes for " + std::to_string(size) +
                " input bytes");
  }
  Result<Trie>& trie = *decoded;
  if (!trie) {
    require(trie.error().type == ErrorType::ValueError &&
                std::string_view(trie.error().message).starts_with("decode error: "),
            "a refusal that is not a decode error: " + trie.error().message);
    return 0;
  }
  const auto fault = structural_fault(*trie);
  require(!fault, "decode accepted a trie with a fault: " + fault.value_or(""));
  require_sound(*trie);

  // The encoding of what was decoded decodes to the same trie and is a fixed
  // point of re-encoding; one byte short, it ends too early.
  const Bytes again = encoded(*trie);
  Result<Trie> second = decode(again);
  require(second && *second == *trie, "encode(decode(x)) does not decode to the same trie");
  require(encoded(*second) == again, "re-encoding is not stable");
  Result<Trie> cut = decode(std::span(again).first(again.size() - 1));
  require(!cut && cut.error().message == "decode error: UnexpectedEnd { additional: 1 }",
          "an encoding one byte short did not end with UnexpectedEnd");
  return 0;
}
