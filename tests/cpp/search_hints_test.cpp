// The search edges derived from a trie's arrays (their reach) and the walk's
// use of them at the edges of what they can say: graphs that are not trees,
// depths past the cap, the node search's non-terminal hits.
#include <gtest/gtest.h>

#include "prefix/matcher.hpp"
#include "reference/trie_builder.hpp"
#include "reference/walk.hpp"

namespace quillon {
namespace {

using testing::make_chain;
using testing::make_trie;
using testing::to_utf8;

std::uint32_t chars_of(std::u32string_view text) {
  std::uint32_t bits = 0;
  for (const char32_t c : text) bits |= char_bit(c);
  return bits;
}

constexpr std::uint8_t kNone = SearchEdge::kNone;

TEST(SearchEdges, ReachOfATreeLeavesOutUnlabelledChildren) {
  // root -> c(1) -> a(2) -> t(3, terminal) ; a -> r(4) -> t(5, terminal);
  // a -> unlabelled(6) -> z(7, terminal); root -> d(8, terminal)
  const std::vector<char32_t> labels{0, U'c', U'a', U't', U'r', U't', 0, U'z', U'd'};
  Trie trie = make_trie({{1, 8}, {2}, {3, 4, 6}, {}, {5}, {}, {7}, {}, {}}, labels,
                        {false, false, false, true, false, true, false, true, true});
  mark_hints(trie);
  ASSERT_EQ(trie.hints.edges.size(), trie.child_transitions.size());
  const SearchEdge& c = trie.hints.edges[0];
  EXPECT_EQ(c.label, U'c');
  EXPECT_EQ(c.chars, chars_of(U"cart"));  // no z: the unlabelled child is never entered
  EXPECT_EQ(c.nearest_terminal, 2);
  EXPECT_EQ(c.height, 3);
  const SearchEdge& d = trie.hints.edges[1];
  EXPECT_EQ(d.nearest_terminal, 0);
  EXPECT_EQ(d.height, 0);
  EXPECT_EQ(d.run_length, 0);
  // Each edge locates its child's children as the trie does.
  const ChildrenView children = trie.children();
  for (std::size_t p = 0; p < trie.child_transitions.size(); ++p) {
    const ChildRange run = children.of(trie.child_transitions[p]);
    EXPECT_EQ(trie.hints.edges[p].run_begin, run.begin) << p;
    EXPECT_EQ(trie.hints.edges[p].run_length, run.end - run.begin) << p;
  }
}

TEST(SearchEdges, ReachIsUnknownWhereverAChildIsNumberedAtOrBelowItsParent) {
  // Branch x: 1 -> 2 -> back to 1 (a cycle). Branch y: 3 -> 5 and 4 -> 5,
  // a child shared by two parents numbered below it: still exact.
  const std::vector<char32_t> labels{0, U'x', U'x', U'y', U'y', U'z'};
  Trie trie = make_trie({{1, 3, 4}, {2}, {1}, {5}, {5}, {}}, labels, {false, false, false, false, false, true});
  mark_hints(trie);
  const auto edge_to = [&](std::uint32_t from, std::size_t i) {
    return trie.hints.edges[trie.node_shifts[from] + i];
  };
  for (const SearchEdge& unknown : {edge_to(0, 0), edge_to(1, 0), edge_to(2, 0)}) {
    EXPECT_EQ(unknown.chars, ~std::uint32_t{0});
    EXPECT_EQ(unknown.height, kNone);
  }
  // Neither is terminal itself: below node 2 one may be one edge down.
  EXPECT_EQ(edge_to(1, 0).nearest_terminal, 1);
  EXPECT_EQ(edge_to(0, 0).nearest_terminal, 2);
  for (const SearchEdge& shared : {edge_to(0, 1), edge_to(0, 2)}) {
    EXPECT_EQ(shared.chars, chars_of(U"yz"));
    EXPECT_EQ(shared.nearest_terminal, 1);
    EXPECT_EQ(shared.height, 1);
  }
  // A reach with no terminal node.
  Trie bare = make_trie({{1}, {2}, {}}, {0, U'a', U'b'}, {false, false, false});
  mark_hints(bare);
  EXPECT_EQ(bare.hints.edges[0].nearest_terminal, kNone);
  EXPECT_EQ(bare.hints.edges[0].height, 1);
}

TEST(SearchEdges, DepthsPastTheCapStayBounds) {
  // A chain of 300 'a's, terminal at the end: below the first node the
  // nearest terminal reads as the cap (a lower bound) and the height as
  // unknown, so a query of all 300 still finds it.
  Trie trie = make_chain(300, U'a', {300});
  mark_hints(trie);
  EXPECT_EQ(trie.hints.edges[0].nearest_terminal, SearchEdge::kDepthCap);
  EXPECT_EQ(trie.hints.edges[0].height, kNone);
  EXPECT_EQ(trie.hints.edges[100].height, 199);
  const std::string query(300, 'a');
  EXPECT_EQ(fuzzy_match(trie, query, 0, std::nullopt), (std::vector<MatchResult>{{query, 300, 0}}));
  // Over a hundred cells within a bound of 60: more than the bound notes.
  EXPECT_EQ(fuzzy_match(trie, std::string(240, 'a'), 60, std::nullopt),
            reference::fuzzy_match(trie, std::string(240, 'a'), 60, std::nullopt));
}

TEST(SearchEdges, NodeSearchReportsNonTerminalNodesWithoutTerminalsBelow) {
  // Only "cart" is stored, so nothing below "car" ends a term with at most
  // 0 edits from "car"; the node search over every node still reports it.
  testing::TermTrie t = testing::trie_from_terms({U"cart"});
  t.trie.is_terminal[t.node_of.at(U"cart")] = 0;  // and now no terminal at all
  mark_hints(t.trie);
  EXPECT_TRUE(fuzzy_match_nodes(t.trie, "car", 0, true, std::nullopt).empty());
  EXPECT_EQ(fuzzy_match_nodes(t.trie, "car", 0, false, std::nullopt),
            (std::vector<NodeHit>{{t.node_of.at(U"car"), 0}}));
  EXPECT_EQ(fuzzy_match_nodes(t.trie, "cr", 1, false, std::nullopt),
            (std::vector<NodeHit>{{t.node_of.at(U"c"), 1}, {t.node_of.at(U"ca"), 1}, {t.node_of.at(U"car"), 1}}));
}

}  // namespace
}  // namespace quillon
