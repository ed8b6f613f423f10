// The fast walk against its textbook twin, on random tries large enough for
// the fast walk's narrow rows to matter: long queries, bounds 0 to 6, both
// searches, with and without limits, graphs with shared children and cycles.
#include <gtest/gtest.h>

#include <random>

#include "reference/random_trie.hpp"
#include "reference/walk.hpp"

namespace quillon {
namespace {

using testing::ChildOrder;
using testing::kLetters;
using testing::make_trie;
using testing::random_word;
using testing::to_utf8;

// A trie of random words, then disturbed: a few unlabelled nodes, random
// terminal flags, and (when `graph`) extra edges, which may close cycles.
Trie random_graph(std::mt19937& rng, bool graph, bool sort_children) {
  return testing::random_trie(rng, {.words = 60,
                                    .word_length = 10,
                                    .terminal = 2.0 / 3,
                                    .unlabelled = 1.0 / 40,
                                    .extra_edges = graph ? 4u : 0u,
                                    .cycles = true,
                                    .child_order = sort_children ? ChildOrder::Sorted : ChildOrder::AsMade})
      .trie();
}

TEST(WalkTwin, TermSearchMatchesTheTextbookWalk) {
  std::mt19937 rng(20261207);
  for (int round = 0; round < 3000; ++round) {
    const bool graph = round % 4 == 3;
    // Half the tries keep children in label order, which lets the walk
    // look labels up instead of visiting every child.
    const Trie trie = random_graph(rng, graph, round % 2 == 0);
    ASSERT_TRUE(round % 2 != 0 || trie.hints.children_sorted) << "label order not recognised";
    const std::string query = to_utf8(random_word(rng, kLetters, 14));
    const std::uint32_t max_dist = graph ? rng() % 3 : rng() % 7;
    std::optional<std::uint32_t> limit;
    if (rng() % 3 == 0) limit = rng() % 8;
    ASSERT_EQ(fuzzy_match(trie, query, max_dist, limit),
              reference::fuzzy_match(trie, query, max_dist, limit))
        << "round " << round << " max_dist " << max_dist;
  }
}

TEST(WalkTwin, NodeSearchMatchesTheTextbookWalk) {
  std::mt19937 rng(7);
  for (int round = 0; round < 3000; ++round) {
    const bool graph = round % 4 == 3;
    const Trie trie = random_graph(rng, graph, round % 2 == 0);
    const std::string query = to_utf8(random_word(rng, kLetters, 12));
    const std::uint32_t max_dist = graph ? rng() % 3 : rng() % 7;
    const bool terminal_only = rng() % 2 == 0;
    std::optional<std::uint32_t> limit;
    if (rng() % 3 == 0) limit = rng() % 8;
    ASSERT_EQ(fuzzy_match_nodes(trie, query, max_dist, terminal_only, limit),
              reference::fuzzy_match_nodes(trie, query, max_dist, terminal_only, limit))
        << "round " << round << " max_dist " << max_dist;
  }
}

TEST(SearchHints, ChildrenInLabelOrderAreRecognised) {
  // Equal labels side by side still count as in order; one inversion anywhere does not.
  const std::vector<char32_t> labels{0, U'b', U'a', U'a', U'c'};
  const std::vector<bool> terminal(labels.size(), true);
  Trie sorted = make_trie({{2, 3, 1}, {4}, {}, {}, {}}, labels, terminal);
  mark_hints(sorted);
  EXPECT_TRUE(sorted.hints.children_sorted);
  Trie unsorted = make_trie({{2, 3, 1}, {}, {}, {4}, {}}, labels, terminal);
  unsorted.child_transitions = {1, 2, 3, 4};  // node 0's run now reads b, a, a
  mark_hints(unsorted);
  EXPECT_FALSE(unsorted.hints.children_sorted);
  // Hints are not part of a trie's value.
  EXPECT_EQ(sorted, [&] { Trie copy = sorted; copy.hints = {}; return copy; }());
}

}  // namespace
}  // namespace quillon
