// build_trie on the host's arrays in native form, node_shifts that contradict
// child_transitions included: the first failing check's error, the internal
// error where a run of edges reaches past the end, or a trie that passes the
// structural checks, carries what it was given and whose every payload is
// the merge of what propagation had in hand for that node.
#include <map>

#include "fuzz_support.hpp"

using namespace quillon;
using namespace quillon::fuzz;

namespace {

using Entry = BuildCase::Entry;

// What the build must end with when it fails.
struct Failure {
  bool internal;  // an InternalError rather than an Error value
  ErrorType type;
  std::string message;
};

std::optional<Failure> expected_failure(const BuildCase& c) {
  const std::size_t n = c.child_labels.size();
  const auto value = [](std::string m) { return Failure{false, ErrorType::ValueError, std::move(m)}; };
  if (c.node_shifts.size() != n)
    return value("node_shifts len " + std::to_string(c.node_shifts.size()) + " != child_labels len " +
                 std::to_string(n));
  if (c.payloads.size() != n)
    return value("payloads len " + std::to_string(c.payloads.size()) + " != child_labels len " +
                 std::to_string(n));
  for (std::size_t i = 0; i < c.child_transitions.size(); ++i)
    if (c.child_transitions[i] >= n)
      return value("child_transitions[" + std::to_string(i) + "] = " + std::to_string(c.child_transitions[i]) +
                   " out of range [0.." + std::to_string(n) + ")");
  for (const Entry& e : c.payloads) {
    if (e.kind == Entry::Refused) return Failure{false, ErrorType::Pending, ""};
    if (e.kind == Entry::Present && e.ids.size() != e.counts.size())
      return value("video_ids and video_counts length mismatch");
  }
  if (!c.video_index.empty()) {
    const std::size_t width = c.video_index[0].size();
    const bool uniform = (width == 16 || width == 4) &&
                         std::all_of(c.video_index.begin(), c.video_index.end(),
                                     [&](const Bytes& id) { return id.size() == width; });
    if (!uniform) return value("video_index entries must be all 16 bytes (UUID) or all 4 bytes (int32)");
  }
  // Propagation takes the nodes from the last to the first and stops at the
  // first position past the end of child_transitions.
  const std::size_t t = c.child_transitions.size();
  const ChildrenView children(c.node_shifts, c.child_transitions, c.child_labels);
  for (std::size_t i = n; i-- > 0;) {
    const ChildRange run = children.of(i);
    if (run.end > t)
      return Failure{true, ErrorType::ValueError,
                     "index out of bounds: the len is " + std::to_string(t) + " but the index is " +
                         std::to_string(std::max(run.begin, t))};
  }
  return std::nullopt;
}

Result<Trie> run_build(const BuildCase& c) {
  FlatArrays in;
  in.node_shifts = c.node_shifts;
  in.child_labels = c.child_labels;
  in.child_transitions = c.child_transitions;
  for (const Bytes& id : c.video_index) {
    in.video_index.bytes.insert(in.video_index.bytes.end(), id.begin(), id.end());
    in.video_index.close_entry();
  }
  in.video_top_n = c.video_top_n;
  // The same steps as the host conversion of a payload entry.
  return build_trie(std::move(in), c.payloads.size(), [&](std::size_t i, PayloadTable& table) -> std::optional<Error> {
    const Entry& e = c.payloads.at(i);
    // The host sets the interpreter's error (a payload that is not a tuple).
    if (e.kind == Entry::Refused) return Error::pending();
    if (e.kind == Entry::Absent) {
      table.push_absent();
      return std::nullopt;
    }
    table.ids().insert(table.ids().end(), e.ids.begin(), e.ids.end());
    table.counts().insert(table.counts().end(), e.counts.begin(), e.counts.end());
    if (!table.close_payload(e.total_count)) return Error::value("video_ids and video_counts length mismatch");
    return std::nullopt;
  });
}

// Node `node`'s propagated payload against what propagation had in hand:
// its own input and, per edge, a child's result (children numbered above it)
// or input (numbered below it; an edge to itself is passed over).
void check_propagated(const BuildCase& c, const Trie& trie, std::size_t node) {
  const std::string where = "node " + std::to_string(node) + ": ";
  const PayloadView got = trie.payloads.get(node).value_or(PayloadView{});
  require(trie.payloads.present(node), where + "payload absent after propagation");
  const Entry& own = c.payloads[node];
  const std::uint32_t top_n = c.video_top_n;

  std::vector<PayloadView> merged{PayloadView{own.total_count, own.ids, own.counts}};
  const ChildRange run = trie.children().of(node);
  for (std::size_t p = run.begin; p < run.end; ++p) {
    const std::uint32_t child = trie.child_transitions[p];
    if (child == node) continue;
    if (child > node) {
      merged.push_back(*trie.payloads.get(child));
    } else {
      const Entry& e = c.payloads[child];
      merged.push_back({e.total_count, e.ids, e.counts});
    }
  }

  if (merged.size() == 1) {
    // Nothing merged: the node's own lists, in order, cut to top_n.
    const std::size_t keep = std::min<std::size_t>(own.ids.size(), top_n);
    require(got.total_count == own.total_count, where + "total changed without a merge");
    require(std::equal(got.video_ids.begin(), got.video_ids.end(), own.ids.begin(), own.ids.begin() + keep) &&
                got.video_ids.size() == keep,
            where + "ids changed without a merge");
    require(std::equal(got.video_counts.begin(), got.video_counts.end(), own.counts.begin(),
                       own.counts.begin() + keep) &&
                got.video_counts.size() == keep,
            where + "counts changed without a merge");
    return;
  }

  std::map<std::uint32_t, std::uint64_t> sums;
  std::uint64_t total = 0;
  for (const PayloadView& v : merged) {
    total += v.total_count;
    for (std::size_t i = 0; i < v.video_ids.size(); ++i) sums[v.video_ids[i]] += v.video_counts[i];
  }
  require(got.total_count == std::min<std::uint64_t>(total, UINT32_MAX), where + "merged total");
  require(got.video_ids.size() == std::min<std::size_t>(sums.size(), top_n), where + "merged list length");
  require(got.video_counts.size() == got.video_ids.size(), where + "merged lists of different lengths");
  std::uint64_t least_kept = UINT64_MAX;
  for (std::size_t i = 0; i < got.video_ids.size(); ++i) {
    const auto it = sums.find(got.video_ids[i]);
    require(it != sums.end(), where + "a merged id that no input had");
    require(got.video_counts[i] == std::min<std::uint64_t>(it->second, UINT32_MAX), where + "a merged count");
    require(it->second <= least_kept, where + "merged ids not in descending order of their sums");
    least_kept = it->second;
    sums.erase(it);  // also makes a repeated id fail the find above
  }
  for (const auto& [id, sum] : sums) require(sum <= least_kept, where + "a dropped id outweighs a kept one");
}

void check_built(const BuildCase& c, const Trie& trie) {
  const auto fault = structural_fault(trie);
  require(!fault, "a built trie with a fault: " + fault.value_or(""));
  require(trie.node_shifts == c.node_shifts && trie.child_labels == c.child_labels &&
              trie.child_transitions == c.child_transitions,
          "the arrays were not kept as given");
  for (std::size_t i = 0; i < trie.node_count(); ++i)
    require(trie.is_terminal[i] == (c.payloads[i].kind == Entry::Present ? 1 : 0), "is_terminal");
  if (c.video_index.empty() || c.video_index[0].size() == 16) {
    require(trie.id_mode == IdMode::Uuid && trie.video_int_ids.empty() &&
                trie.video_uuids.size() == c.video_index.size(),
            "uuid table");
    for (std::size_t j = 0; j < c.video_index.size(); ++j)
      require(std::equal(c.video_index[j].begin(), c.video_index[j].end(), trie.video_uuids[j].begin()), "uuid");
  } else {
    require(trie.id_mode == IdMode::Int32 && trie.video_uuids.empty() &&
                trie.video_int_ids.size() == c.video_index.size(),
            "int32 table");
    for (std::size_t j = 0; j < c.video_index.size(); ++j) {
      const Bytes& b = c.video_index[j];
      require(trie.video_int_ids[j] == load_little_endian<4>(b.data()), "int32 id");
    }
  }
  for (std::size_t i = 0; i < trie.node_count(); ++i) check_propagated(c, trie, i);

  Result<Trie> back = decode(encoded(trie));
  require(back && *back == trie, "a built trie does not survive the stored form");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ByteReader in({data, size});
  const BuildCase c = read_build_case(in);
  const std::optional<Failure> expected = expected_failure(c);

  std::optional<std::string> internal;
  std::optional<Result<Trie>> built;
  try {
    built.emplace(run_build(c));
  } catch (const InternalError& e) {
    internal = e.what();
  }

  if (expected && expected->internal) {
    require(internal == expected->message, "expected the internal error \"" + expected->message + "\", got " +
                                               internal.value_or(built && *built ? "a trie" : "an error value"));
    return 0;
  }
  require(!internal, "unexpected internal error: " + internal.value_or(""));
  Result<Trie>& trie = *built;
  if (expected) {
    require(!trie && trie.error().type == expected->type && trie.error().message == expected->message,
            "expected the error \"" + expected->message + "\", got " +
                (trie ? std::string("a trie") : "\"" + trie.error().message + "\""));
    return 0;
  }
  require(static_cast<bool>(trie), "a refusal of sound arrays: " + (trie ? "" : trie.error().message));
  check_built(c, *trie);
  return 0;
}
