// The video ranking against its hash-map twin on random tries, sums kept
// densely and (for indices beyond the dense bound) by sorting, and the edge
// cases of the limit, the threshold and the id table.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "reference/random_trie.hpp"
#include "reference/ranking.hpp"

namespace quillon {

// Readable failure output.
void PrintTo(const RankedVideo& r, std::ostream* os) { *os << "{" << r.video << ", " << r.score << "}"; }

namespace {

using testing::kLetters;
using testing::random_word;
using testing::to_utf8;

TEST(RankingTwin, MatchesTheHashMapRankingBitForBit) {
  std::mt19937 rng(31);
  const std::optional<bool> prefix_modes[] = {std::nullopt, true, false};
  const std::optional<double> min_scores[] = {std::nullopt, 0.0, -1.0, 0.05, NAN};
  for (int round = 0; round < 2000; ++round) {
    const bool graph = round % 4 == 3;
    Trie trie = testing::random_trie(rng, {.words = 40,
                                           .word_length = 8,
                                           .terminal = 0.4,
                                           .unlabelled = 1.0 / 40,
                                           .extra_edges = graph ? 3u : 0u,
                                           .cycles = true})
                    .trie();
    // Every other round some indices lie beyond any dense bound, so the
    // sorted sums run there, on the same thread as the dense ones.
    testing::give_random_payloads(rng, trie, {.anywhere = round % 2 == 1 ? 0.05 : 0.0});
    const std::string term = to_utf8(random_word(rng, kLetters, 6));
    RankingQuery q{term, static_cast<std::uint32_t>(rng() % (graph ? 2 : 4)), std::nullopt, prefix_modes[rng() % 3],
                   min_scores[rng() % 5]};
    if (rng() % 3 == 0) q.limit = rng() % 6;
    ASSERT_EQ(ranking_nodes(trie, q), reference::ranking_nodes(trie, q)) << "round " << round;
    const std::vector<RankedVideo> fast = rank_videos(trie, q), twin = reference::rank_videos(trie, q);
    ASSERT_TRUE(reference::identical(fast, twin)) << "round " << round << "\n"
                                                  << ::testing::PrintToString(fast) << "\n"
                                                  << ::testing::PrintToString(twin);
    // A minimum score equal to a video's score keeps that video.
    if (twin.empty()) continue;
    q.min_score = twin[rng() % twin.size()].score;
    ASSERT_TRUE(reference::identical(rank_videos(trie, q), reference::rank_videos(trie, q))) << "round " << round;
  }
}

// One node "v" (exact match, qlen 1) with the given lists, id table of
// `table` entries.
Trie one_node(std::vector<std::uint32_t> ids, std::vector<std::uint32_t> counts, std::uint32_t total,
              std::size_t table) {
  Trie trie = testing::make_payload_trie({{1}, {}}, {std::nullopt, testing::Payload{total, ids, counts}});
  trie.child_labels[1] = U'v';
  trie.id_mode = IdMode::Int32;
  trie.video_int_ids.assign(table, 7);
  return trie;
}

std::vector<RankedVideo> rank(const Trie& trie, std::optional<std::uint32_t> limit,
                              std::optional<double> min_score = std::nullopt) {
  return rank_videos(trie, {"v", 0, limit, std::nullopt, min_score});
}

// Long lists whose largest index lies just inside or just past the dense
// bound of their length: both ways agree with the twin.
TEST(RankingSums, LargeIndicesEitherSideOfTheDenseBound) {
  for (const std::uint32_t spacing : {15u, 17u}) {
    std::vector<std::uint32_t> ids, counts;
    for (std::uint32_t i = 1; i <= 20000; ++i) {
      ids.push_back(i * spacing);  // rising: the array grows step by step, or gives up near the end
      counts.push_back(1 + i % 7);
    }
    const Trie trie = one_node(ids, counts, 80000, 400000);
    EXPECT_EQ(spacing == 15, ids.back() < dense_video_bound(ids.size())) << "bound moved: revisit the spacings";
    const RankingQuery q{"v", 0, 50, std::nullopt, 0.0};
    EXPECT_TRUE(reference::identical(rank_videos(trie, q), reference::rank_videos(trie, q))) << spacing;
  }
}

TEST(RankingSums, IndexPastTheBoundMidwayFallsBackAndLeavesNoTrace) {
  const std::uint32_t far = 4000000000u;
  const Trie sparse = one_node({1, 2, far, 1}, {3, 4, 5, 2}, 20, 3);
  EXPECT_EQ(rank(sparse, std::nullopt), (std::vector<RankedVideo>{{1, 0.25}, {2, 0.2}}));
  // The next call, on the same thread, starts from empty sums.
  EXPECT_EQ(rank(one_node({2, 1}, {1, 3}, 4, 3), std::nullopt), (std::vector<RankedVideo>{{1, 0.75}, {2, 0.25}}));
}

TEST(RankingLimit, ZeroAndMoreThanTheCandidates) {
  const Trie trie = one_node({4, 0, 2}, {1, 5, 4}, 10, 5);
  EXPECT_EQ(rank(trie, 0), std::vector<RankedVideo>{});
  const std::vector<RankedVideo> all{{0, 0.5}, {2, 0.4}, {4, 0.1}};
  EXPECT_EQ(rank(trie, 3), all);
  EXPECT_EQ(rank(trie, 4294967295u), all);
  EXPECT_EQ(rank(trie, 2), std::vector<RankedVideo>(all.begin(), all.begin() + 2));
}

TEST(RankingSums, EqualScoresComeOutAlikeWhicheverWayTheSumsWereKept) {
  // The same sums, once densely and once sorted (forced by a far index that
  // counts nothing, so never a candidate): the same answer, ties included.
  const std::vector<std::uint32_t> ids{9, 3, 6, 1, 3, 8, 5}, counts{2, 1, 2, 1, 1, 2, 2};
  std::vector<std::uint32_t> far_ids = ids, far_counts = counts;
  far_ids.push_back(4000000000u), far_counts.push_back(0);
  const Trie dense = one_node(ids, counts, 10, 10), sparse = one_node(far_ids, far_counts, 10, 10);
  ASSERT_GE(far_ids.back(), dense_video_bound(far_ids.size()));
  for (const std::optional<std::uint32_t> limit : {std::optional<std::uint32_t>(), std::optional(2u), std::optional(4u)})
    EXPECT_EQ(rank(dense, limit), rank(sparse, limit)) << (limit ? *limit : -1);
  EXPECT_EQ(rank(dense, 4).size(), 4u);
}

TEST(RankingThreshold, NegativeKeepsEveryVideoMetAndNaNNone) {
  const Trie trie = one_node({0, 1}, {4, 0}, 4, 2);
  EXPECT_EQ(rank(trie, std::nullopt, -0.5), (std::vector<RankedVideo>{{0, 1.0}, {1, 0.0}}));
  EXPECT_EQ(rank(trie, std::nullopt, NAN), std::vector<RankedVideo>{});
}

TEST(RankingIdTable, IndicesOutsideAreLeftOutAfterTheLimit) {
  const Trie trie = one_node({5, 0, 1}, {5, 3, 2}, 10, 2);  // index 5 scores best, outside the table
  EXPECT_EQ(rank(trie, 1), std::vector<RankedVideo>{});
  EXPECT_EQ(rank(trie, 2), (std::vector<RankedVideo>{{0, 0.3}}));
  EXPECT_EQ(rank(trie, std::nullopt), (std::vector<RankedVideo>{{0, 0.3}, {1, 0.2}}));
}

TEST(RankingSums, VideoReachedThroughSeveralNodesSumsInWalkOrder) {
  // Terms ab, abc, abd, ac: "ab" with prefix nodes matches a (1 edit, not
  // terminal), ab (exact), abc and abd (1 edit), ac (1 edit), in that order.
  testing::TermTrie terms = testing::trie_from_terms({U"ab", U"abc", U"abd", U"ac"});
  std::vector<testing::OptPayload> payloads(terms.trie.node_count());
  const auto give = [&](const std::u32string& term, std::uint32_t count) {
    payloads[terms.node_of.at(term)] = testing::Payload{10, {0}, {count}};
  };
  give(U"a", 3), give(U"ab", 1), give(U"abc", 7), give(U"abd", 9), give(U"ac", 5);
  Trie& trie = terms.trie;
  trie.payloads = testing::table_of(payloads);
  trie.video_int_ids = {42};
  trie.id_mode = IdMode::Int32;

  const double near = (1.0 - 1.0 / 2.0) * 0.05;
  const double walk_order = ((((0.0 + 3 * near * 0.85) + 1.0) + 7 * near) + 9 * near) + 5 * near;
  const double reversed = ((((0.0 + 5 * near) + 9 * near) + 7 * near) + 1.0) + 3 * near * 0.85;
  ASSERT_NE(walk_order, reversed) << "the counts no longer tell the orders apart";
  const double total = (((0.0 + 10 * near * 0.85) + 10) + 10 * near) + 10 * near + 10 * near;
  const RankingQuery q{"ab", 1, std::nullopt, true, std::nullopt};
  EXPECT_EQ(rank_videos(trie, q), (std::vector<RankedVideo>{{0, walk_order / total}}));
}

}  // namespace
}  // namespace quillon
