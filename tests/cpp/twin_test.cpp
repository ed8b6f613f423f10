// The fast walk against its textbook twin, on random tries large enough for
// the fast walk's narrow rows to matter: long queries, bounds 0 to 6, both
// searches, with and without limits, graphs with shared children and cycles.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "reference_walk.hpp"
#include "trie_builder.hpp"

namespace quillon {
namespace {

using testing::Children;
using testing::make_trie;
using testing::to_utf8;

const std::vector<char32_t> kAlphabet{U'a', U'b', U'c', U'\u00E9', U'\u4E2D', U'\U0001F600'};

std::u32string random_word(std::mt19937& rng, std::size_t max_len) {
  std::u32string word;
  const std::size_t len = rng() % (max_len + 1);
  for (std::size_t i = 0; i < len; ++i) word.push_back(kAlphabet[rng() % kAlphabet.size()]);
  return word;
}

// A trie of random words (children in order of first appearance), then
// disturbed: a few unlabelled nodes, random terminal flags, and (when
// `graph`) extra edges, which may close cycles.
Trie random_graph(std::mt19937& rng, bool graph, bool sort_children = false) {
  Children children(1);
  std::vector<char32_t> labels{0};
  const std::size_t count = 1 + rng() % 60;
  for (std::size_t i = 0; i < count; ++i) {
    std::uint32_t node = 0;
    for (const char32_t ch : random_word(rng, 10)) {
      std::uint32_t next = 0;
      for (const std::uint32_t c : children[node])
        if (labels[c] == ch) next = c;
      if (next == 0) {
        next = static_cast<std::uint32_t>(labels.size());
        labels.push_back(ch);
        children.emplace_back();
        children[node].push_back(next);
      }
      node = next;
    }
  }
  std::vector<bool> terminal(labels.size());
  for (std::size_t i = 0; i < labels.size(); ++i) {
    terminal[i] = rng() % 3 != 0;
    if (i > 0 && rng() % 40 == 0) labels[i] = 0;
  }
  if (graph) {
    for (int k = 0; k < 3; ++k) {
      const auto from = static_cast<std::uint32_t>(rng() % labels.size());
      const auto to = static_cast<std::uint32_t>(rng() % labels.size());
      children[from].push_back(to);
    }
  }
  if (sort_children) {
    for (auto& run : children)
      std::stable_sort(run.begin(), run.end(),
                       [&](std::uint32_t a, std::uint32_t b) { return labels[a] < labels[b]; });
  }
  Trie trie = make_trie(children, labels, terminal);
  mark_hints(trie);
  return trie;
}

TEST(WalkTwin, TermSearchMatchesTheTextbookWalk) {
  std::mt19937 rng(20261207);
  for (int round = 0; round < 3000; ++round) {
    const bool graph = round % 4 == 3;
    // Half the tries keep children in label order, which lets the walk
    // look labels up instead of visiting every child.
    const Trie trie = random_graph(rng, graph, round % 2 == 0);
    ASSERT_TRUE(round % 2 != 0 || trie.hints.children_sorted) << "label order not recognised";
    const std::string query = to_utf8(random_word(rng, 14));
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
    const std::string query = to_utf8(random_word(rng, 12));
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
