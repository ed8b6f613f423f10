// One walk for a keystroke, swaps counting one edit throughout: its
// completions are complete()'s, within the fewest edits that fill them; its
// terms and videos those of the textbook swap-aware walk's nodes within
// those edits, on random tries and graphs.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>

#include "complete/suggest.hpp"
#include "reference/completion.hpp"
#include "reference/random_trie.hpp"
#include "reference/ranking.hpp"

namespace quillon {
namespace {

using testing::kLetters;
using testing::to_utf8;

// The terms among `hits` (terminal nodes), closest first, at most `limit`.
// Their texts are checked apart (TermsAreSpelledAsTheTrieSpellsThem).
std::vector<MatchResult> terms_of(const Trie& trie, const std::vector<NodeHit>& hits, std::uint32_t limit) {
  std::vector<MatchResult> all;
  for (const NodeHit& hit : hits)
    if (at(trie.is_terminal, hit.node)) all.push_back({"", hit.node, hit.dist});
  std::stable_sort(all.begin(), all.end(), [](const auto& a, const auto& b) { return a.dist < b.dist; });
  all.resize(std::min<std::size_t>(all.size(), limit));
  return all;
}

TEST(Suggest, OneWalkAnswersAsTheTwinsDo) {
  std::mt19937 rng(1208);
  const std::optional<bool> prefix_modes[] = {std::nullopt, true, false};
  for (int round = 0; round < 1500; ++round) {
    const bool graph = round % 5 == 4;
    const testing::RandomTrie shape = testing::random_trie(
        rng, {.words = 40, .word_length = 8, .terminal = 0.4, .extra_edges = graph ? 3u : 0u, .cycles = true,
              .child_order = testing::ChildOrder::Sorted});
    Trie trie = shape.trie();
    testing::give_random_payloads(rng, trie, {});
    CompletionData completion;
    if (!graph) {
      std::vector<std::uint32_t> counts(trie.node_count());
      for (std::uint32_t& c : counts) c = rng() % 5;
      auto nodes = completion_nodes(trie, counts);
      ASSERT_TRUE(nodes) << nodes.error().message;
      completion.nodes = std::move(*nodes);
    }
    const std::u32string query = testing::random_path_near(rng, shape, 7, rng() % 3, kLetters);
    const std::string text = to_utf8(query);
    SuggestQuery q{text, static_cast<std::uint32_t>(rng() % (graph ? 3 : 4)), 1 + static_cast<std::uint32_t>(rng() % 8),
                   static_cast<std::uint32_t>(rng() % 8), static_cast<std::uint32_t>(rng() % 8), rng() % 3 == 0,
                   prefix_modes[rng() % 3], rng() % 2 ? std::optional<double>(0.0) : std::nullopt};
    std::vector<std::uint32_t> schedule;
    if (rng() % 2) {
      schedule.resize(query.size() + 1);
      const std::uint32_t one = rng() % 4, two = one + rng() % 5;
      for (std::size_t j = 0; j < schedule.size(); ++j) schedule[j] = (j >= one) + (j >= two);
      q.schedule = schedule;
    }
    const Suggestions got = suggest(trie, completion.view(), q);
    const std::string where = "round " + std::to_string(round) + " '" + text + "'";

    const std::vector<Completion> completions =
        graph ? std::vector<Completion>{}
              : complete(trie, completion.view(), {text, q.max_edits, q.completions, q.first_exact, q.schedule});
    ASSERT_EQ(got.completions, completions) << where;
    // The fewest edits that fill the completions, or all of them (never more
    // than the query's length and the nodes, past which none is needed).
    const std::uint64_t most = std::min<std::uint64_t>(q.max_edits, query.size() + trie.node_count());
    ASSERT_LE(got.edits, most) << where;
    if (got.edits < most) {
      ASSERT_GE(got.completions.size(), q.completions) << where;
    }
    if (got.edits > 0 && !graph) {
      ASSERT_LT(complete(trie, completion.view(), {text, got.edits - 1, q.completions, q.first_exact, q.schedule}).size(),
                q.completions)
          << where;
    }

    const std::vector<NodeHit> nodes = reference::osa_walk(trie, query, got.edits, q.first_exact, q.schedule);
    std::vector<MatchResult> terms = terms_of(trie, nodes, q.terms);
    ASSERT_EQ(got.terms.size(), terms.size()) << where;
    for (std::size_t i = 0; i < terms.size(); ++i) {
      ASSERT_EQ(got.terms[i].node, terms[i].node) << where;
      ASSERT_EQ(got.terms[i].dist, terms[i].dist) << where;
    }

    const RankingQuery ranking{text, got.edits, q.videos, q.include_prefix_nodes, q.min_score, true};
    const std::vector<NodeHit> ranked_nodes = ranking_nodes_among(trie, nodes, q.include_prefix_nodes);
    ASSERT_TRUE(reference::identical(got.videos, rank_nodes(trie, ranked_nodes, ranking))) << where;
  }
}

TEST(Suggest, TermsAreSpelledAsTheTrieSpellsThem) {
  const testing::TermTrie t = testing::trie_from_terms({U"caf\u00E9", U"cafe", U"teh", U"the"});
  const Suggestions got = suggest(t.trie, {}, {.text = "teh", .max_edits = 1, .completions = 0, .terms = 5, .videos = 0});
  ASSERT_EQ(got.terms.size(), 2u);
  EXPECT_EQ(got.terms[0].term, "teh");
  EXPECT_EQ(got.terms[1].term, "the");  // a swap is one edit
  EXPECT_EQ(got.terms[1].dist, 1u);
}

TEST(Suggest, EditsBeyondTheMostAreTakenAsTheMost) {
  const Trie trie = testing::random_trie(*std::make_unique<std::mt19937>(5), {.words = 20}).trie();
  const Suggestions most = suggest(trie, {}, {.text = "abc", .max_edits = kMaxSuggestEdits, .completions = 0, .terms = 50, .videos = 0});
  const Suggestions beyond = suggest(trie, {}, {.text = "abc", .max_edits = 4000000000u, .completions = 0, .terms = 50, .videos = 0});
  EXPECT_EQ(most.terms, beyond.terms);
}

}  // namespace
}  // namespace quillon
