#include "payload.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <map>
#include <random>
#include <vector>

#include "reference/trie_builder.hpp"

namespace quillon {
namespace {

using testing::internal_error_of;
using testing::OptPayload;
using testing::Payload;
using testing::payload_at;
using testing::payloads_of;
using testing::table_of;

constexpr std::uint32_t kMax = UINT32_MAX;

// Merges `other` into `self` in place, through PayloadMerger.
void merge_from(Payload& self, PayloadView other) {
  PayloadMerger merger;
  merger.start(self.view());
  merger.merge_from(other);
  std::vector<std::uint32_t> ids;
  std::vector<std::uint32_t> counts;
  self.total_count = merger.finish(UINT32_MAX, ids, counts);
  self.video_ids = std::move(ids);
  self.video_counts = std::move(counts);
}

// Entries over all payloads of a table.
std::size_t entry_count(const PayloadTable& table) {
  std::size_t entries = 0;
  for (std::size_t node = 0; node < table.size(); ++node)
    if (const auto payload = table.get(node)) entries += payload->video_ids.size();
  return entries;
}

// id -> count of a payload whose ids are distinct.
std::map<std::uint32_t, std::uint32_t> as_map(const Payload& p) {
  std::map<std::uint32_t, std::uint32_t> m;
  for (std::size_t i = 0; i < p.video_ids.size(); ++i) {
    EXPECT_TRUE(m.emplace(p.video_ids[i], p.video_counts.at(i)).second)
        << "id " << p.video_ids[i] << " listed twice";
  }
  return m;
}

// ---------------------------------------------------------------- merge_from

TEST(MergeFrom, SumsSharedIdsAndOrdersByCount) {
  Payload self{2, {7, 3}, {5, 1}};
  const Payload other{1, {3, 9, 3}, {4, 2, 1}};
  merge_from(self, other.view());
  EXPECT_EQ(self, (Payload{3, {3, 7, 9}, {6, 5, 2}}));
  EXPECT_EQ(other, (Payload{1, {3, 9, 3}, {4, 2, 1}}));
}

TEST(MergeFrom, TwoEmptyPayloadsGiveAnEmptyOneWithTheSummedTotal) {
  Payload self{3, {}, {}};
  merge_from(self, Payload{4, {}, {}}.view());
  EXPECT_EQ(self, (Payload{7, {}, {}}));
}

TEST(MergeFrom, EmptyOtherStillFoldsDuplicatesAndSorts) {
  Payload self{1, {5, 2, 8, 5}, {1, 3, 2, 4}};
  merge_from(self, Payload{}.view());
  EXPECT_EQ(self, (Payload{1, {5, 2, 8}, {5, 3, 2}}));
}

TEST(MergeFrom, EmptySelfTakesOtherFoldedAndSorted) {
  Payload self{};
  merge_from(self, Payload{6, {1, 2, 1}, {1, 5, 9}}.view());
  EXPECT_EQ(self, (Payload{6, {1, 2}, {10, 5}}));
}

struct TotalCase {
  std::uint32_t self;
  std::uint32_t other;
  std::uint32_t expected;
};
void PrintTo(const TotalCase& c, std::ostream* os) {
  *os << c.self << " + " << c.other << " -> " << c.expected;
}

class MergeFromTotal : public ::testing::TestWithParam<TotalCase> {};

TEST_P(MergeFromTotal, AddsTotalCountsSaturating) {
  const TotalCase& c = GetParam();
  Payload self{c.self, {1}, {1}};
  merge_from(self, Payload{c.other, {}, {}}.view());
  EXPECT_EQ(self.total_count, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Totals, MergeFromTotal,
                         ::testing::Values(TotalCase{0, 0, 0}, TotalCase{2, 3, 5},
                                           TotalCase{kMax - 1, 1, kMax}, TotalCase{kMax, 1, kMax},
                                           TotalCase{1, kMax, kMax},
                                           TotalCase{2147483648u, 2147483648u, kMax},
                                           TotalCase{kMax, kMax, kMax}),
                         [](const ::testing::TestParamInfo<TotalCase>& info) {
                           return std::to_string(info.param.self) + "Plus" +
                                  std::to_string(info.param.other);
                         });

TEST(MergeFrom, EqualSumsMayComeInAnyOrder) {
  Payload self{0, {1, 2}, {5, 5}};
  merge_from(self, Payload{0, {3, 4}, {5, 9}}.view());
  ASSERT_EQ(self.video_ids.size(), 4u);
  EXPECT_EQ(self.video_ids[0], 4u);
  EXPECT_EQ(self.video_counts[0], 9u);
  EXPECT_EQ(as_map(self), (std::map<std::uint32_t, std::uint32_t>{{1, 5}, {2, 5}, {3, 5}, {4, 9}}));
  EXPECT_TRUE(std::is_sorted(self.video_counts.rbegin(), self.video_counts.rend()));
}

// A per-video sum beyond 32 bits is stored as 4294967295 (never wrapped to its
// low bits) while the order follows the full sum.
struct WideSumCase {
  const char* name;
  Payload self;
  Payload other;
  Payload expected;
};
void PrintTo(const WideSumCase& c, std::ostream* os) { *os << c.name; }

class MergeFromWideSum : public ::testing::TestWithParam<WideSumCase> {};

TEST_P(MergeFromWideSum, SaturatesCountButOrdersByFullSum) {
  Payload self = GetParam().self;
  merge_from(self, GetParam().other.view());
  EXPECT_EQ(self, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Sums, MergeFromWideSum,
    ::testing::Values(
        // 2^32 would wrap to 0 and sort last; it is the largest sum.
        WideSumCase{"TwoToThe32IsLargest", {0, {1, 2}, {kMax, 7}}, {0, {1}, {1}}, {0, {1, 2}, {kMax, 7}}},
        // Both saturate; the larger full sum comes first whichever input it is in.
        WideSumCase{"BothSaturateSelfFirst", {0, {2, 1}, {kMax, 3000000000u}},
                    {0, {1, 2}, {3000000000u, 1}},
                    {0, {1, 2}, {kMax, kMax}}},
        WideSumCase{"BothSaturateOtherFirst", {0, {1, 2}, {3000000000u, kMax}},
                    {0, {2, 1}, {kMax, 3000000000u}},
                    {0, {2, 1}, {kMax, kMax}}},
        // Exactly 4294967295 is kept as is and sorts after a larger sum.
        WideSumCase{"ExactMaxAfterLarger", {5, {4, 5}, {kMax - 1, 2147483648u}},
                    {5, {4, 5}, {1, 2147483648u}},
                    {10, {5, 4}, {kMax, kMax}}},
        // Repeats inside one input also sum in 64 bits.
        WideSumCase{"RepeatsInOneInput", {0, {9, 9, 9, 8}, {kMax, kMax, kMax, 100}},
                    {},
                    {0, {9, 8}, {kMax, 100}}}),
    [](const ::testing::TestParamInfo<WideSumCase>& info) { return info.param.name; });

TEST(MergeFrom, CountsBeyondTheIdsAreIgnored) {
  Payload self{0, {1}, {2}};
  merge_from(self, Payload{0, {3}, {4, 1000}}.view());
  EXPECT_EQ(self, (Payload{0, {3, 1}, {4, 2}}));
}

TEST(MergeFrom, MissingCountIsAnInternalError) {
  Payload self{0, {1}, {2}};
  const Payload other{0, {3, 4}, {4}};
  EXPECT_EQ(internal_error_of([&] { merge_from(self, other.view()); }),
            "index out of bounds: the len is 1 but the index is 1");
  Payload short_self{0, {1, 2, 3}, {1}};
  EXPECT_EQ(internal_error_of([&] { merge_from(short_self, Payload{}.view()); }),
            "index out of bounds: the len is 1 but the index is 1");
}

TEST(MergeFrom, ManyRepeatedMergesAgreeWithATally) {
  std::mt19937 rng(7);
  for (int round = 0; round < 50; ++round) {
    Payload acc;
    std::map<std::uint32_t, std::uint64_t> tally;
    std::uint64_t total = 0;
    const int merges = 1 + static_cast<int>(rng() % 6);
    for (int m = 0; m < merges; ++m) {
      Payload other;
      other.total_count = rng() % 1000;
      total += other.total_count;
      const int entries = static_cast<int>(rng() % 8);
      for (int e = 0; e < entries; ++e) {
        const std::uint32_t id = rng() % 6;
        const std::uint32_t count = rng() % 50;
        other.video_ids.push_back(id);
        other.video_counts.push_back(count);
        tally[id] += count;
      }
      merge_from(acc, other.view());
    }
    EXPECT_EQ(acc.total_count, total);
    std::map<std::uint32_t, std::uint32_t> expected;
    for (const auto& [id, sum] : tally) expected[id] = static_cast<std::uint32_t>(sum);
    EXPECT_EQ(as_map(acc), expected);
    EXPECT_TRUE(std::is_sorted(acc.video_counts.rbegin(), acc.video_counts.rend()));
  }
}

// ------------------------------------------------------------- PayloadMerger

TEST(PayloadMerger, FinishCutsToTopNAndAppendsAfterExistingEntries) {
  PayloadMerger merger;
  const Payload a{1, {1, 2, 3}, {10, 30, 20}};
  const Payload b{2, {4, 1}, {5, 25}};
  merger.start(a.view());
  merger.merge_from(b.view());
  std::vector<std::uint32_t> ids{77};
  std::vector<std::uint32_t> counts{88};
  EXPECT_EQ(merger.finish(2, ids, counts), 3u);
  EXPECT_EQ(ids, (std::vector<std::uint32_t>{77, 1, 2}));
  EXPECT_EQ(counts, (std::vector<std::uint32_t>{88, 35, 30}));
}

TEST(PayloadMerger, StartForgetsThePreviousMerge) {
  PayloadMerger merger;
  merger.start(Payload{5, {1, 2}, {3, 4}}.view());
  merger.merge_from(Payload{6, {2}, {1}}.view());
  std::vector<std::uint32_t> ids, counts;
  EXPECT_EQ(merger.finish(kMax, ids, counts), 11u);

  merger.start(Payload{1, {9}, {2}}.view());
  std::vector<std::uint32_t> ids2, counts2;
  EXPECT_EQ(merger.finish(kMax, ids2, counts2), 1u);
  EXPECT_EQ(ids2, (std::vector<std::uint32_t>{9}));
  EXPECT_EQ(counts2, (std::vector<std::uint32_t>{2}));
}

TEST(PayloadMerger, TopNZeroKeepsOnlyTheTotal) {
  PayloadMerger merger;
  merger.start(Payload{4, {1, 2}, {3, 4}}.view());
  std::vector<std::uint32_t> ids, counts;
  EXPECT_EQ(merger.finish(0, ids, counts), 4u);
  EXPECT_TRUE(ids.empty());
  EXPECT_TRUE(counts.empty());
}

TEST(PayloadMerger, TopNCutKeepsTheLargestSums) {
  std::mt19937 rng(11);
  for (int round = 0; round < 100; ++round) {
    // Distinct counts, so the kept set is defined.
    std::vector<std::uint32_t> pool(40);
    for (std::size_t i = 0; i < pool.size(); ++i) pool[i] = static_cast<std::uint32_t>(i * 3 + 1);
    std::shuffle(pool.begin(), pool.end(), rng);
    Payload p;
    const std::size_t n = 1 + rng() % 20;
    for (std::size_t i = 0; i < n; ++i) {
      p.video_ids.push_back(static_cast<std::uint32_t>(i));
      p.video_counts.push_back(pool[i]);
    }
    const std::uint32_t top_n = rng() % 25;
    PayloadMerger merger;
    merger.start(p.view());
    std::vector<std::uint32_t> ids, counts;
    merger.finish(top_n, ids, counts);
    std::vector<std::uint32_t> expected = p.video_counts;
    std::sort(expected.rbegin(), expected.rend());
    expected.resize(std::min<std::size_t>(n, top_n));
    EXPECT_EQ(counts, expected);
    for (std::size_t i = 0; i < ids.size(); ++i) EXPECT_EQ(p.video_counts[ids[i]], counts[i]);
  }
}

// -------------------------------------------------------------- PayloadTable

TEST(PayloadTable, PushAndGetKeepPresentAbsentAndEmptyApart) {
  PayloadTable table;
  table.push(Payload{3, {1, 2}, {4, 5}}.view());
  table.push_absent();
  table.push(Payload{0, {}, {}}.view());
  table.push(Payload{9, {7, 7, 1}, {1, 2, 3}}.view());
  ASSERT_EQ(table.size(), 4u);
  EXPECT_EQ(entry_count(table), 5u);
  EXPECT_EQ(payloads_of(table), (std::vector<OptPayload>{Payload{3, {1, 2}, {4, 5}}, std::nullopt,
                                                         Payload{0, {}, {}},
                                                         Payload{9, {7, 7, 1}, {1, 2, 3}}}));
  EXPECT_TRUE(table.present(0));
  EXPECT_FALSE(table.present(1));
  EXPECT_TRUE(table.present(2));
}

TEST(PayloadTable, PushIgnoresCountsBeyondTheIds) {
  PayloadTable table;
  table.push(Payload{1, {4}, {5, 6, 7}}.view());
  table.push(Payload{2, {8}, {9}}.view());
  EXPECT_EQ(payloads_of(table),
            (std::vector<OptPayload>{Payload{1, {4}, {5}}, Payload{2, {8}, {9}}}));
}

TEST(PayloadTable, ClosePayloadReportsEqualLists) {
  PayloadTable table;
  table.ids().insert(table.ids().end(), {1, 2});
  table.counts().insert(table.counts().end(), {3, 4});
  EXPECT_TRUE(table.close_payload(6));
  EXPECT_EQ(payload_at(table, 0), (Payload{6, {1, 2}, {3, 4}}));
}

TEST(PayloadTable, ClosePayloadWithUnequalListsStoresEmptyListsAndReturnsFalse) {
  PayloadTable table;
  table.push(Payload{1, {10}, {11}}.view());
  table.ids().insert(table.ids().end(), {1, 2, 3});
  table.counts().insert(table.counts().end(), {4});
  EXPECT_FALSE(table.close_payload(7));
  table.counts().push_back(5);  // more counts than ids this time
  EXPECT_FALSE(table.close_payload(8));
  table.push(Payload{2, {20}, {21}}.view());
  EXPECT_EQ(payloads_of(table),
            (std::vector<OptPayload>{Payload{1, {10}, {11}}, Payload{7, {}, {}}, Payload{8, {}, {}},
                                     Payload{2, {20}, {21}}}));
  EXPECT_EQ(entry_count(table), 2u);
}

TEST(PayloadTable, ReverseNodesReversesOrderAndKeepsContents) {
  const std::vector<OptPayload> payloads{Payload{1, {1, 2, 3}, {4, 5, 6}}, std::nullopt,
                                         Payload{0, {}, {}}, Payload{2, {9}, {8}},
                                         Payload{3, {5, 5}, {1, 2}}};
  PayloadTable table = table_of(payloads);
  table.reverse_nodes();
  std::vector<OptPayload> expected(payloads.rbegin(), payloads.rend());
  EXPECT_EQ(payloads_of(table), expected);
  table.reverse_nodes();
  EXPECT_EQ(table, table_of(payloads));
}

TEST(PayloadTable, ReverseNodesOnRandomTables) {
  std::mt19937 rng(3);
  for (int round = 0; round < 200; ++round) {
    std::vector<OptPayload> payloads;
    const std::size_t n = rng() % 8;
    for (std::size_t i = 0; i < n; ++i) {
      if (rng() % 4 == 0) {
        payloads.push_back(std::nullopt);
        continue;
      }
      Payload p{static_cast<std::uint32_t>(rng() % 100), {}, {}};
      const std::size_t len = rng() % 5;
      for (std::size_t k = 0; k < len; ++k) {
        p.video_ids.push_back(rng() % 10);
        p.video_counts.push_back(rng() % 10);
      }
      payloads.push_back(p);
    }
    PayloadTable table = table_of(payloads);
    table.reverse_nodes();
    EXPECT_EQ(payloads_of(table), std::vector<OptPayload>(payloads.rbegin(), payloads.rend()));
    // Still a well-formed table: appending works on top of it.
    table.push(Payload{42, {1}, {2}}.view());
    EXPECT_EQ(payload_at(table, n), (Payload{42, {1}, {2}}));
  }
}

TEST(PayloadTable, ReverseNodesOfAnEmptyTable) {
  PayloadTable table;
  table.reverse_nodes();
  EXPECT_EQ(table.size(), 0u);
  table.push(Payload{1, {2}, {3}}.view());
  EXPECT_EQ(payload_at(table, 0), (Payload{1, {2}, {3}}));
}

TEST(PayloadTable, OutOfRangeAccessIsAnInternalError) {
  PayloadTable empty;
  EXPECT_EQ(internal_error_of([&] { (void)empty.get(0); }),
            "index out of bounds: the len is 0 but the index is 0");
  const PayloadTable table = table_of({Payload{1, {1}, {1}}, std::nullopt});
  EXPECT_EQ(internal_error_of([&] { (void)table.get(2); }),
            "index out of bounds: the len is 2 but the index is 2");
  EXPECT_EQ(internal_error_of([&] { (void)table.present(5); }),
            "index out of bounds: the len is 2 but the index is 5");
}

TEST(PayloadTable, PushWithMissingCountIsAnInternalError) {
  PayloadTable table;
  const Payload bad{1, {1, 2}, {3}};
  EXPECT_EQ(internal_error_of([&] { table.push(bad.view()); }),
            "index out of bounds: the len is 1 but the index is 1");
}

}  // namespace
}  // namespace quillon
