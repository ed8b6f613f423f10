// One walk for a keystroke: its completions, terms and videos are those of
// the three searches run on their own, on random tries and graphs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "complete/suggest.hpp"
#include "reference/random_trie.hpp"
#include "reference/ranking.hpp"

namespace quillon {
namespace {

using testing::kLetters;
using testing::to_utf8;

TEST(Suggest, OneWalkAnswersAsTheThreeSearchesDo) {
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
    const std::string text = to_utf8(testing::random_path_near(rng, shape, 7, rng() % 3, kLetters));
    SuggestQuery q{text, static_cast<std::uint32_t>(rng() % (graph ? 3 : 4)), 1 + static_cast<std::uint32_t>(rng() % 8),
                   static_cast<std::uint32_t>(rng() % 8), static_cast<std::uint32_t>(rng() % 8), rng() % 3 == 0,
                   prefix_modes[rng() % 3], rng() % 2 ? std::optional<double>(0.0) : std::nullopt};
    const Suggestions got = suggest(trie, completion.view(), q);

    const std::vector<Completion> completions =
        graph ? std::vector<Completion>{} : complete(trie, completion.view(), {text, q.max_edits, q.completions, q.first_exact});
    ASSERT_EQ(got.completions, completions) << "round " << round << " '" << text << "'";

    std::vector<MatchResult> terms = fuzzy_match(trie, text, q.max_edits, std::nullopt);
    std::stable_sort(terms.begin(), terms.end(), [](const auto& a, const auto& b) { return a.dist < b.dist; });
    terms.resize(std::min<std::size_t>(terms.size(), q.terms));
    ASSERT_EQ(got.terms, terms) << "round " << round << " '" << text << "'";

    const RankingQuery ranking{text, q.max_edits, q.videos, q.include_prefix_nodes, q.min_score, true};
    ASSERT_TRUE(reference::identical(got.videos, rank_videos(trie, ranking))) << "round " << round << " '" << text << "'";
  }
}

TEST(Suggest, EditsBeyondTheMostAreTakenAsTheMost) {
  const Trie trie = testing::random_trie(*std::make_unique<std::mt19937>(5), {.words = 20}).trie();
  const Suggestions most = suggest(trie, {}, {.text = "abc", .max_edits = kMaxSuggestEdits, .completions = 0, .terms = 50, .videos = 0});
  const Suggestions beyond = suggest(trie, {}, {.text = "abc", .max_edits = 4000000000u, .completions = 0, .terms = 50, .videos = 0});
  EXPECT_EQ(most.terms, beyond.terms);
}

}  // namespace
}  // namespace quillon
