// The fast walk against its textbook twin, on random tries large enough for
// the fast walk's narrow rows to matter, with every kind of rows and with and
// without each aid of the walk: both searches, with and without limits,
// bounds 0 to 4 and huge, queries near stored terms and far from them, longer
// than 64 code points too; trees, graphs with shared children and cycles,
// children numbered below their parents, unlabelled nodes, tries without
// hints.
#include <gtest/gtest.h>

#include <random>

#include "reference/random_trie.hpp"
#include "reference/walk.hpp"

namespace quillon {
namespace {

using testing::ChildOrder;
using testing::kLetters;
using testing::make_trie;
using testing::random_path_near;
using testing::random_word;
using testing::to_utf8;

// Every way to run the walk, with a name for failure messages.
std::vector<std::pair<WalkChoice, std::string>> every_choice() {
  std::vector<std::pair<WalkChoice, std::string>> out;
  using Rows = WalkChoice::Rows;
  for (const auto& [rows, name] : {std::pair{Rows::Fastest, "fastest"}, std::pair{Rows::Full, "full"}})
    for (const bool edges : {true, false})
      for (const bool bounds : {true, false})
        out.push_back({{rows, edges, bounds}, std::string(name) + (edges ? " +edges" : "") + (bounds ? " +bounds" : "")});
  return out;
}

struct Round {
  testing::RandomTrie shape;
  bool acyclic = true;
  std::size_t query_length = 14;
};

// One of eight shapes, in turn: trees in label order or not, graphs with
// shared children, graphs with cycles, trees renumbered, deep trees over
// three letters (for long queries), more unlabelled nodes, any shape.
Round random_round(std::mt19937& rng, int round) {
  testing::RandomTrieShape shape{.words = 60, .word_length = 10, .terminal = 2.0 / 3, .unlabelled = 1.0 / 40};
  Round r;
  switch (round % 8) {
    case 0: shape.child_order = ChildOrder::Sorted; break;
    case 1: break;
    case 2: shape.extra_edges = 6; break;
    case 3: shape.extra_edges = 4, shape.cycles = true, r.acyclic = false; break;
    case 4: shape.shuffle_ids = true, shape.child_order = ChildOrder::Sorted; break;
    case 5:
      shape.words = 8, shape.word_length = 90, shape.alphabet = std::span(kLetters).first(3);
      r.query_length = 80;
      break;
    case 6: shape.unlabelled = 1.0 / 6, shape.child_order = ChildOrder::Sorted; break;
    default: shape.words = 0, shape.nodes = 120; break;
  }
  r.shape = testing::random_trie(rng, shape);
  return r;
}

TEST(WalkTwin, EveryWayOfWalkingMatchesTheTextbookWalk) {
  const auto choices = every_choice();
  std::mt19937 rng(20261207);
  for (int round = 0; round < 2400; ++round) {
    const Round r = random_round(rng, round);
    Trie trie = r.shape.trie();
    if (round % 16 == 15) trie.hints = {};  // a trie nobody derived hints for
    const std::u32string query = rng() % 2 ? random_path_near(rng, r.shape, r.query_length, rng() % 4, kLetters)
                                           : random_word(rng, kLetters, r.query_length);
    const std::string text = to_utf8(query);
    std::optional<std::uint32_t> limit;
    if (rng() % 3 == 0) limit = rng() % 8;
    // A huge bound makes every node of a cyclic graph reachable along
    // endless paths: there, only with a limit.
    std::uint32_t max_dist = rng() % 5;
    if (rng() % 8 == 0 && (r.acyclic || limit)) max_dist = rng() % 2 ? UINT32_MAX : 40;
    const bool terminal_only = rng() % 2 == 0;
    const auto terms = reference::fuzzy_match(trie, text, max_dist, limit);
    const auto nodes = reference::fuzzy_match_nodes(trie, text, max_dist, terminal_only, limit);
    for (const auto& [choice, name] : choices) {
      ASSERT_EQ(fuzzy_match(trie, text, max_dist, limit, choice), terms)
          << "round " << round << ", " << name << ", max_dist " << max_dist << ", query length " << query.size();
      ASSERT_EQ(fuzzy_match_nodes(trie, text, max_dist, terminal_only, limit, choice), nodes)
          << "round " << round << ", " << name << ", max_dist " << max_dist << ", terminal_only " << terminal_only;
    }
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
