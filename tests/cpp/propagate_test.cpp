#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <map>
#include <random>
#include <vector>

#include "prefix/propagate.hpp"
#include "reference/random_trie.hpp"

namespace quillon {
namespace {

using testing::Children;
using testing::internal_error_of;
using testing::make_payload_trie;
using testing::OptPayload;
using testing::Payload;
using testing::payload_at;
using testing::payloads_of;

constexpr std::uint32_t kMax = UINT32_MAX;

std::vector<OptPayload> propagated(const Children& children, const std::vector<OptPayload>& input,
                                   std::uint32_t top_n) {
  Trie trie = make_payload_trie(children, input);
  propagate(trie, top_n);
  return payloads_of(trie.payloads);
}

// ------------------------------------------------------------- fixed cases

struct PropagateCase {
  const char* name;
  Children children;
  std::vector<OptPayload> input;
  std::uint32_t top_n;
  std::vector<OptPayload> expected;
};
void PrintTo(const PropagateCase& c, std::ostream* os) { *os << c.name; }

class PropagateFixed : public ::testing::TestWithParam<PropagateCase> {};

TEST_P(PropagateFixed, GivesTheExpectedPayloads) {
  const PropagateCase& c = GetParam();
  EXPECT_EQ(propagated(c.children, c.input, c.top_n), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PropagateFixed,
    ::testing::Values(
        PropagateCase{"SingleNodeCutUnsorted",
                      {{}},
                      {Payload{5, {3, 1, 3, 2}, {1, 9, 4, 7}}},
                      2,
                      {Payload{5, {3, 1}, {1, 9}}}},
        PropagateCase{"SingleNodeKeepsOrderAndRepeatsWhenNotCut",
                      {{}},
                      {Payload{5, {3, 1, 3}, {1, 9, 4}}},
                      kMax,
                      {Payload{5, {3, 1, 3}, {1, 9, 4}}}},
        PropagateCase{"SingleAbsentNodeBecomesEmpty", {{}}, {std::nullopt}, 3, {Payload{0, {}, {}}}},
        PropagateCase{"TwoLeavesShareAVideo",
                      {{1, 2}, {}, {}},
                      {std::nullopt, Payload{1, {20, 10}, {5, 3}}, Payload{2, {10, 30}, {4, 1}}},
                      10,
                      {Payload{3, {10, 20, 30}, {7, 5, 1}}, Payload{1, {20, 10}, {5, 3}},
                       Payload{2, {10, 30}, {4, 1}}}},
        PropagateCase{"TopNZeroKeepsOnlyTotals",
                      {{1, 2}, {}, {}},
                      {Payload{4, {1}, {1}}, Payload{1, {2, 3}, {5, 3}}, Payload{2, {3}, {4}}},
                      0,
                      {Payload{7, {}, {}}, Payload{1, {}, {}}, Payload{2, {}, {}}}},
        PropagateCase{"LeafRepeatedIdKeptParentSeesSum",
                      {{1}, {}},
                      {std::nullopt, Payload{1, {4, 6, 4}, {2, 4, 3}}},
                      10,
                      {Payload{1, {4, 6}, {5, 4}}, Payload{1, {4, 6, 4}, {2, 4, 3}}}},
        // 0 -> 2 -> 1 -> 3: node 1 is numbered below its parent 2, so 2 (and
        // through it the root) sees only 1's input, never video 3; node 1
        // itself still collects video 3 from its own child.
        PropagateCase{"ChildNumberedBelowParentGivesItsInputOnly",
                      {{2}, {3}, {1}, {}},
                      {std::nullopt, Payload{1, {1}, {1}}, Payload{1, {2}, {2}},
                       Payload{1, {3}, {3}}},
                      10,
                      {Payload{2, {2, 1}, {2, 1}}, Payload{2, {3, 1}, {3, 1}},
                       Payload{2, {2, 1}, {2, 1}}, Payload{1, {3}, {3}}}},
        PropagateCase{"ChildListedTwiceIsMergedTwice",
                      {{1, 1}, {}},
                      {Payload{1, {6}, {1}}, Payload{2, {5}, {3}}},
                      10,
                      {Payload{5, {5, 6}, {6, 1}}, Payload{2, {5}, {3}}}},
        PropagateCase{"OnlyItselfAsChildMeansNoMerge",
                      {{0}},
                      {Payload{3, {2, 1, 2}, {1, 5, 1}}},
                      10,
                      {Payload{3, {2, 1, 2}, {1, 5, 1}}}},
        PropagateCase{"ItselfAsChildIsPassedOverAmongOthers",
                      {{0, 1, 0}, {}},
                      {Payload{3, {2, 1, 2}, {1, 5, 1}}, Payload{4, {2}, {1}}},
                      10,
                      {Payload{7, {1, 2}, {5, 3}}, Payload{4, {2}, {1}}}},
        PropagateCase{"TotalCountSaturates",
                      {{1, 2}, {}, {}},
                      {Payload{kMax - 5, {}, {}}, Payload{5, {}, {}}, Payload{10, {}, {}}},
                      10,
                      {Payload{kMax, {}, {}}, Payload{5, {}, {}}, Payload{10, {}, {}}}},
        // Video 1 sums to 2^33 - 2 at the root, video 2 to exactly 2^32 - 1:
        // both are stored saturated and the larger full sum survives the cut.
        PropagateCase{"VideoCountSaturatesAndOrderFollowsFullSum",
                      {{1, 2, 3}, {}, {}, {}},
                      {std::nullopt, Payload{1, {2}, {kMax}}, Payload{1, {1}, {kMax}},
                       Payload{1, {1}, {kMax}}},
                      1,
                      {Payload{3, {1}, {kMax}}, Payload{1, {2}, {kMax}}, Payload{1, {1}, {kMax}},
                       Payload{1, {1}, {kMax}}}},
        // The root reads node 1 after it was cut to one video, so video 7
        // (dropped by node 1) cannot come back at the root.
        PropagateCase{"ParentSeesTheCutListsOfItsChildren",
                      {{1, 4}, {2, 3}, {}, {}, {}},
                      {std::nullopt, std::nullopt, Payload{1, {5, 7}, {10, 6}},
                       Payload{1, {7, 8}, {3, 1}}, Payload{1, {8}, {20}}},
                      1,
                      {Payload{3, {8}, {20}}, Payload{2, {5}, {10}}, Payload{1, {5}, {10}},
                       Payload{1, {7}, {3}}, Payload{1, {8}, {20}}}},
        PropagateCase{"NoNodes", {}, {}, 5, {}}),
    [](const ::testing::TestParamInfo<PropagateCase>& info) { return info.param.name; });

TEST(Propagate, TiedSumsAtTopNOneKeepEitherVideo) {
  const auto out = propagated({{1, 2}, {}, {}},
                              {std::nullopt, Payload{1, {4}, {5}}, Payload{1, {9}, {5}}}, 1);
  ASSERT_TRUE(out[0]);
  EXPECT_EQ(out[0]->total_count, 2u);
  ASSERT_EQ(out[0]->video_ids.size(), 1u);
  EXPECT_TRUE(out[0]->video_ids[0] == 4 || out[0]->video_ids[0] == 9) << out[0]->video_ids[0];
  EXPECT_EQ(out[0]->video_counts, (std::vector<std::uint32_t>{5}));
}

TEST(Propagate, LeavesNonPayloadFieldsAlone) {
  Trie trie = make_payload_trie({{1}, {}}, {std::nullopt, Payload{1, {2}, {3}}});
  trie.video_int_ids = {5, 6, 7};
  trie.id_mode = IdMode::Int32;
  Trie before = trie;
  propagate(trie, 4);
  before.payloads = trie.payloads;
  EXPECT_EQ(trie, before);
}

// ---------------------------------------------------------- internal errors

TEST(Propagate, RunPastTheEndOfChildTransitionsIsAnInternalError) {
  Trie trie = make_payload_trie({{}, {}, {}}, {std::nullopt, std::nullopt, std::nullopt});
  trie.child_transitions = {1, 2};
  trie.node_shifts = {0, 3, 3};
  EXPECT_EQ(internal_error_of([&] { propagate(trie, 5); }),
            "index out of bounds: the len is 2 but the index is 2");
}

TEST(Propagate, RunsWhoseStartIsNotBelowTheirEndAreEmptyWhereverTheyLie) {
  // Node 0's run is [200, 100), node 1's [100, 2), node 2's (the last) [2, 2):
  // no node has children, although the starts lie past the end.
  Trie trie = make_payload_trie({{}, {}, {}}, {Payload{2, {5, 1, 5}, {1, 3, 1}}, Payload{1, {1}, {1}},
                                               std::nullopt});
  trie.child_transitions = {1, 2};
  trie.node_shifts = {200, 100, 2};
  propagate(trie, 5);
  EXPECT_EQ(payloads_of(trie.payloads),
            (std::vector<OptPayload>{Payload{2, {5, 1, 5}, {1, 3, 1}}, Payload{1, {1}, {1}},
                                     Payload{0, {}, {}}}));
}

TEST(Propagate, ChildIdBeyondThePayloadsIsAnInternalError) {
  Trie trie = make_payload_trie({{1}, {}}, {std::nullopt, std::nullopt});
  trie.child_transitions = {9};
  EXPECT_EQ(internal_error_of([&] { propagate(trie, 5); }),
            "index out of bounds: the len is 2 but the index is 9");
}

TEST(Propagate, MissingNodeShiftIsAnInternalError) {
  Trie trie = make_payload_trie({{}, {}}, {std::nullopt, std::nullopt});
  trie.node_shifts = {0};
  EXPECT_EQ(internal_error_of([&] { propagate(trie, 5); }),
            "index out of bounds: the len is 1 but the index is 1");
}

// ---------------------------------------------------------- property test

// A random tree with every child numbered above its parent, children stored in
// random order, and random input payloads.
struct PayloadTree {
  Children children;
  std::vector<OptPayload> input;
  std::uint32_t videos = 0;  // ids are below this
};

// Regime `distinct_counts`: every input entry gets its own power of two, so
// every per-video sum at every node differs and the order is fully defined.
// Otherwise counts are small (many ties) or occasionally near 2^32.
PayloadTree random_payload_tree(std::mt19937& rng, bool distinct_counts) {
  PayloadTree t;
  t.children = testing::random_trie(rng, {.nodes = distinct_counts ? 10u : 30u,
                                          .child_order = testing::ChildOrder::Shuffled})
                   .children;
  const std::size_t n = t.children.size();
  const std::uint32_t videos = 1 + rng() % 6;
  t.videos = videos;
  int next_bit = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (rng() % 4 == 0) {
      t.input.push_back(std::nullopt);
      continue;
    }
    Payload p;
    const std::uint32_t big = rng() % 8 == 0 ? 2000000000u : 0u;
    p.total_count = big + rng() % 100;
    const std::size_t entries = rng() % 4;
    for (std::size_t k = 0; k < entries; ++k) {
      std::uint32_t count;
      if (distinct_counts) {
        if (next_bit > 31) break;
        count = std::uint32_t{1} << next_bit++;
      } else {
        count = rng() % 10 == 0 ? kMax - rng() % 3 : rng() % 5;
      }
      p.video_ids.push_back(rng() % videos);
      p.video_counts.push_back(count);
    }
    t.input.push_back(p);
  }
  return t;
}

// Bottom-up reference: a node's result is its own entries plus its
// children's finished lists, summed per video in 64 bits, ordered by sum
// (largest first), stored saturated and cut to top_n. A node without
// children keeps its input lists, only cut. `merged` records which nodes
// went through a merge.
struct Reference {
  std::vector<Payload> out;
  std::vector<bool> merged;
};

void reference_node(const PayloadTree& t, std::uint32_t top_n, std::size_t node, Reference& ref) {
  for (const std::uint32_t c : t.children[node]) reference_node(t, top_n, c, ref);
  const Payload own = t.input[node].value_or(Payload{});
  Payload& result = ref.out[node];
  if (t.children[node].empty()) {
    result = own;
    const std::size_t keep = std::min<std::size_t>(own.video_ids.size(), top_n);
    result.video_ids.resize(keep);
    result.video_counts.resize(keep);
    return;
  }
  ref.merged[node] = true;
  std::uint64_t total = own.total_count;
  std::map<std::uint32_t, std::uint64_t> sums;
  for (std::size_t i = 0; i < own.video_ids.size(); ++i) sums[own.video_ids[i]] += own.video_counts[i];
  for (const std::uint32_t c : t.children[node]) {
    const Payload& child = ref.out[c];
    total += child.total_count;
    for (std::size_t i = 0; i < child.video_ids.size(); ++i)
      sums[child.video_ids[i]] += child.video_counts[i];
  }
  std::vector<std::pair<std::uint64_t, std::uint32_t>> by_sum;
  for (const auto& [id, sum] : sums) by_sum.emplace_back(sum, id);
  std::stable_sort(by_sum.begin(), by_sum.end(),
                   [](const auto& a, const auto& b) { return a.first > b.first; });
  if (by_sum.size() > top_n) by_sum.resize(top_n);
  result.total_count = static_cast<std::uint32_t>(std::min<std::uint64_t>(total, kMax));
  result.video_ids.clear();
  result.video_counts.clear();
  for (const auto& [sum, id] : by_sum) {
    result.video_ids.push_back(id);
    result.video_counts.push_back(static_cast<std::uint32_t>(std::min<std::uint64_t>(sum, kMax)));
  }
}

Reference reference(const PayloadTree& t, std::uint32_t top_n) {
  Reference ref{std::vector<Payload>(t.children.size()), std::vector<bool>(t.children.size())};
  reference_node(t, top_n, 0, ref);
  return ref;
}

std::map<std::uint32_t, std::uint32_t> as_map(const Payload& p) {
  std::map<std::uint32_t, std::uint32_t> m;
  for (std::size_t i = 0; i < p.video_ids.size(); ++i) m[p.video_ids[i]] = p.video_counts[i];
  return m;
}

TEST(PropagateProperty, DistinctSumsMatchTheReferenceExactly) {
  std::mt19937 rng(20240601);
  for (int round = 0; round < 500; ++round) {
    const PayloadTree t = random_payload_tree(rng, /*distinct_counts=*/true);
    const std::uint32_t top_n = rng() % 5;
    const Reference ref = reference(t, top_n);
    const auto out = propagated(t.children, t.input, top_n);
    ASSERT_EQ(out.size(), ref.out.size());
    for (std::size_t node = 0; node < out.size(); ++node) {
      ASSERT_TRUE(out[node]) << "round " << round << " node " << node;
      EXPECT_EQ(*out[node], ref.out[node]) << "round " << round << " node " << node;
    }
  }
}

TEST(PropagateProperty, TiesMatchTheReferenceAsSetsWhenNothingIsCut) {
  std::mt19937 rng(977);
  for (int round = 0; round < 500; ++round) {
    const PayloadTree t = random_payload_tree(rng, /*distinct_counts=*/false);
    // At least the number of distinct videos, so no merged list is ever cut
    // and the kept set is defined whatever the order of ties (a leaf may still
    // be cut, but it keeps its input order).
    const std::uint32_t top_n = rng() % 2 == 0 ? kMax : t.videos + rng() % 3;
    const Reference ref = reference(t, top_n);
    const auto out = propagated(t.children, t.input, top_n);
    ASSERT_EQ(out.size(), ref.out.size());
    for (std::size_t node = 0; node < out.size(); ++node) {
      ASSERT_TRUE(out[node]);
      const Payload& got = *out[node];
      const Payload& want = ref.out[node];
      EXPECT_EQ(got.total_count, want.total_count) << "round " << round << " node " << node;
      if (!ref.merged[node]) {
        EXPECT_EQ(got, want) << "round " << round << " leaf " << node;
        continue;
      }
      ASSERT_EQ(got.video_ids.size(), got.video_counts.size());
      EXPECT_EQ(got.video_ids.size(), want.video_ids.size()) << "round " << round << " node " << node;
      EXPECT_EQ(as_map(got), as_map(want)) << "round " << round << " node " << node;
      EXPECT_TRUE(std::is_sorted(got.video_counts.rbegin(), got.video_counts.rend()))
          << "round " << round << " node " << node;
    }
  }
}

}  // namespace
}  // namespace quillon
