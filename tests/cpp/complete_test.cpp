// Completions: the prefix distance with swaps, the tiers and their order,
// the best-first search against the sorting twin on random tries, and what
// the search does with records that are not a tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "complete/complete.hpp"
#include "reference/completion.hpp"
#include "reference/random_trie.hpp"

namespace quillon {
namespace {

using testing::to_utf8;
using testing::trie_from_terms;

// A trie of `terms` (sorted, so numbered in pre-order with children by
// label) with its completion records.
struct Completable {
  Trie trie;
  CompletionData data;
  std::vector<reference::CountedTerm> terms;
};

Completable completable(std::vector<reference::CountedTerm> terms) {
  std::sort(terms.begin(), terms.end(), [](const auto& a, const auto& b) { return a.term < b.term; });
  terms.erase(std::unique(terms.begin(), terms.end(), [](const auto& a, const auto& b) { return a.term == b.term; }),
              terms.end());
  std::vector<std::u32string> words;
  for (const auto& t : terms) words.push_back(t.term);
  testing::TermTrie built = trie_from_terms(words);
  mark_hints(built.trie);
  std::vector<std::uint32_t> counts(built.trie.node_count(), 0);
  for (const auto& t : terms) counts[built.node_of.at(t.term)] = t.count;
  Completable out{std::move(built.trie), {}, std::move(terms)};
  auto nodes = completion_nodes(out.trie, counts);
  EXPECT_TRUE(nodes) << (nodes ? "" : nodes.error().message);
  out.data.nodes = std::move(*nodes);
  return out;
}

std::vector<Completion> without_nodes(std::vector<Completion> found) {
  for (Completion& c : found) c.node = 0;
  return found;
}

std::vector<Completion> complete(const Completable& c, const std::u32string& query, std::uint32_t max_edits,
                                 std::uint32_t limit = 10, bool first_exact = false,
                                 std::span<const std::uint32_t> schedule = {}) {
  const std::string text = to_utf8(query);
  return without_nodes(quillon::complete(c.trie, c.data.view(), {text, max_edits, limit, first_exact, schedule}));
}

// A schedule of `edits` edits, the first allowed from `one` code points,
// the second from `two`, the third two further on.
std::vector<std::uint32_t> schedule_of(std::size_t length, std::uint32_t one, std::uint32_t two) {
  std::vector<std::uint32_t> schedule(length + 1);
  for (std::size_t j = 0; j <= length; ++j) schedule[j] = (j >= one) + (j >= two) + (j >= two + 2);
  return schedule;
}

TEST(PrefixDistance, CountsASwapOfNeighboursAsOneEdit) {
  EXPECT_EQ(reference::osa_distance(U"teh", U"the"), 1u);
  EXPECT_EQ(reference::osa_distance(U"ca", U"abc"), 3u);  // no character is edited twice
  const Completable c = completable({{U"the", 5}, {U"then", 9}});
  EXPECT_EQ(complete(c, U"teh", 1), (std::vector<Completion>{{"then", 0, 1, 9, 3}, {"the", 0, 1, 5, 3}}));
  EXPECT_EQ(complete(c, U"teh", 0), std::vector<Completion>{});
}

TEST(CompletionTiers, AnExactCompletionComesBeforeAMorePopularFuzzyOne) {
  const Completable c = completable({{U"react", 10}, {U"read", 500}, {U"reach", 20}, {U"peace", 900}});
  EXPECT_EQ(complete(c, U"reac", 1), (std::vector<Completion>{{"reach", 0, 0, 20, 4},
                                                               {"react", 0, 0, 10, 4},
                                                               {"peace", 0, 1, 900, 4},
                                                               {"read", 0, 1, 500, 4}}));
}

TEST(CompletionTiers, EqualCountsComeInCodePointOrderAndEachTermOnce) {
  const Completable c = completable({{U"ab", 3}, {U"abc", 3}, {U"aa", 3}, {U"b\u00E9", 3}, {U"b", 3}});
  EXPECT_EQ(complete(c, U"", 0), (std::vector<Completion>{{"aa", 0, 0, 3, 0},
                                                           {"ab", 0, 0, 3, 0},
                                                           {"abc", 0, 0, 3, 0},
                                                           {"b", 0, 0, 3, 0},
                                                           {to_utf8(U"b\u00E9"), 0, 0, 3, 0}}));
}

TEST(CompletionTiers, ATermReachedAtTwoDistancesComesOnceAtTheLower) {
  // "ab" is one edit from "b" by its prefix "a" and none by "ab" itself.
  const Completable c = completable({{U"ab", 1}, {U"ax", 7}});
  EXPECT_EQ(complete(c, U"ab", 1), (std::vector<Completion>{{"ab", 0, 0, 1, 2}, {"ax", 0, 1, 7, 2}}));
}

TEST(CompletionBudget, TyposCountAgainstTheLengthAtWhichTheyWereTyped) {
  // "rxact" has its typo in the first two characters: with no edit allowed
  // for them, it completes nothing; "reaxt" has it later, within one edit.
  const Completable c = completable({{U"react", 5}, {U"reach", 3}});
  const std::vector<std::uint32_t> schedule = schedule_of(5, 3, 8);
  EXPECT_EQ(complete(c, U"rxact", 1, 10, false, schedule), std::vector<Completion>{});
  EXPECT_EQ(complete(c, U"rxact", 1), (std::vector<Completion>{{"react", 0, 1, 5, 5}}));
  EXPECT_EQ(complete(c, U"reaxt", 1, 10, false, schedule), (std::vector<Completion>{{"react", 0, 1, 5, 5}}));
}

TEST(CompletionBudget, NeverMoreThanTheQuerysLength) {
  // The empty prefix of every term is that far.
  EXPECT_EQ(completion_bound(3, 2), 2u);
  const Completable c = completable({{U"x", 1}, {U"yz", 2}});
  EXPECT_EQ(complete(c, U"a", 5), (std::vector<Completion>{{"yz", 0, 1, 2, 1}, {"x", 0, 1, 1, 1}}));
  EXPECT_EQ(complete(c, U"a", 5, 10, true), std::vector<Completion>{});
}

TEST(CompletionLimits, ZeroAndEmptyTries) {
  const Completable c = completable({{U"abc", 1}});
  EXPECT_TRUE(complete(c, U"a", 0, 0).empty());
  EXPECT_TRUE(quillon::complete(Trie{}, CompletionView{}, {"a", 1, 10, false}).empty());
}

TEST(CompletionTwin, BestFirstFindsWhatSortingEveryTermFinds) {
  std::mt19937 rng(20261208);
  const char32_t alphabet[] = {U'a', U'b', U'c', U'\u00E9'};
  for (int round = 0; round < 400; ++round) {
    std::vector<reference::CountedTerm> terms;
    const std::size_t count = 1 + rng() % 60;
    for (std::size_t i = 0; i < count; ++i)
      terms.push_back({testing::random_word(rng, alphabet, 7) + U'a', static_cast<std::uint32_t>(rng() % 6)});
    const Completable c = completable(terms);
    for (int q = 0; q < 10; ++q) {
      const std::u32string query = testing::random_word(rng, alphabet, 6);
      const std::uint32_t max_edits = rng() % 4;
      const std::uint32_t limit = 1 + rng() % 12;
      const bool first_exact = rng() % 3 == 0;
      const std::uint32_t bound = completion_bound(max_edits, query.size());
      const std::vector<std::uint32_t> schedule =
          rng() % 2 ? schedule_of(query.size(), rng() % 4, 2 + rng() % 5) : std::vector<std::uint32_t>{};
      ASSERT_EQ(complete(c, query, max_edits, limit, first_exact, schedule),
                reference::complete(c.terms, query, bound, limit, first_exact, schedule))
          << "query '" << to_utf8(query) << "' max_edits " << max_edits << " limit " << limit
          << (first_exact ? " first exact" : "") << (schedule.empty() ? "" : " scheduled");
    }
  }
}

TEST(CompletionRecords, RefuseATrieThatIsNotATreeNumberedParentFirst) {
  // Node 2 hangs below both 1 and 0.
  const Trie shared = testing::make_trie({{1, 2}, {2}, {}}, {0, U'a', U'b'}, {false, true, true});
  const std::vector<std::uint32_t> counts(3, 1);
  const auto refused = completion_nodes(shared, counts);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message, "completion order: node 2 is not a child of node 0 alone, numbered after it");
  const auto short_counts = completion_nodes(shared, std::vector<std::uint32_t>(2, 1));
  ASSERT_FALSE(short_counts);
  EXPECT_EQ(short_counts.error().message, "completion counts: 2 counts for 3 nodes");
}

TEST(CompletionRecords, ACycleThroughTheLinksStopsWithAnInternalError) {
  Completable c = completable({{U"ab", 1}, {U"ac", 2}});
  // Make node "ac" its own next sibling.
  for (std::uint32_t n = 0; n < c.data.nodes.size(); ++n)
    if (c.data.nodes[n].next_sibling != CompletionNode::kNone) c.data.nodes[c.data.nodes[n].next_sibling].next_sibling = c.data.nodes[n].next_sibling;
  const std::string message = testing::internal_error_of([&] { complete(c, U"a", 0, 100); });
  EXPECT_NE(message.find("index out of bounds"), std::string::npos) << message;
}

TEST(CompletionDisplay, DifferingTextsAreFoundByNode) {
  CompletionData data;
  add_display(data, 3, "cafe", "Caf\u00E9");
  add_display(data, 5, "tea", "tea");  // the same: not stored
  add_display(data, 9, "x", "X");
  EXPECT_EQ(data.display_nodes, (std::vector<std::uint32_t>{3, 9}));
  EXPECT_EQ(data.view().display(3), std::optional<std::string_view>("Caf\u00E9"));
  EXPECT_EQ(data.view().display(5), std::nullopt);
  EXPECT_EQ(data.view().display(9), std::optional<std::string_view>("X"));
}

}  // namespace
}  // namespace quillon
