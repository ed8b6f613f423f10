#include "prefix/matcher.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "reference/random_trie.hpp"

namespace quillon {

void PrintTo(const MatchResult& r, std::ostream* os) {
  *os << "{\"";
  if (r.term.size() <= 40)
    *os << r.term;
  else
    *os << r.term.substr(0, 20) << "...(" << r.term.size() << " bytes)";
  *os << "\", node " << r.node << ", dist " << r.dist << "}";
}

namespace {

using testing::internal_error_of;
using testing::make_chain;
using testing::make_trie;
using testing::TermTrie;
using testing::to_utf8;
using testing::trie_from_terms;

using Hits = std::vector<MatchResult>;
using Limit = std::optional<std::uint32_t>;

// Levenshtein distance over code points: insert, delete, substitute cost 1.
std::uint64_t levenshtein(const std::u32string& a, const std::u32string& b) {
  std::vector<std::uint64_t> prev(b.size() + 1), cur(b.size() + 1);
  std::iota(prev.begin(), prev.end(), std::uint64_t{0});
  for (std::size_t i = 1; i <= a.size(); ++i) {
    cur[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j)
      cur[j] = std::min({prev[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1), prev[j] + 1, cur[j - 1] + 1});
    std::swap(prev, cur);
  }
  return prev[b.size()];
}

MatchResult hit(const TermTrie& t, const std::u32string& term, std::uint32_t dist) {
  return {to_utf8(term), t.node_of.at(term), dist};
}

const TermTrie& car_trie() {
  static const TermTrie t = trie_from_terms({U"car", U"cart", U"cat", U"cut"});
  return t;
}

// ------------------------------------------------------------ worked example

TEST(FuzzyMatch, FindsTermsWithinDistanceInWalkOrder) {
  const TermTrie& t = car_trie();
  EXPECT_EQ(fuzzy_match(t.trie, "cat", 1, std::nullopt),
            (Hits{hit(t, U"car", 1), hit(t, U"cart", 1), hit(t, U"cat", 0), hit(t, U"cut", 1)}));
}

struct LimitCase {
  Limit limit;
  std::size_t kept;
};
void PrintTo(const LimitCase& c, std::ostream* os) {
  *os << "limit " << (c.limit ? std::to_string(*c.limit) : "none") << ", kept " << c.kept;
}

class FuzzyMatchLimit : public ::testing::TestWithParam<LimitCase> {};

TEST_P(FuzzyMatchLimit, KeepsTheFirstHitsInWalkOrder) {
  const TermTrie& t = car_trie();
  const Hits all{hit(t, U"car", 1), hit(t, U"cart", 1), hit(t, U"cat", 0), hit(t, U"cut", 1)};
  const Hits expected(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(GetParam().kept));
  EXPECT_EQ(fuzzy_match(t.trie, "cat", 1, GetParam().limit), expected);
}

INSTANTIATE_TEST_SUITE_P(Limits, FuzzyMatchLimit,
                         ::testing::Values(LimitCase{std::nullopt, 4}, LimitCase{0, 0},
                                           LimitCase{1, 1}, LimitCase{2, 2}, LimitCase{3, 3},
                                           LimitCase{4, 4}, LimitCase{5, 4},
                                           LimitCase{UINT32_MAX, 4}),
                         [](const ::testing::TestParamInfo<LimitCase>& info) {
                           return info.param.limit ? "Limit" + std::to_string(*info.param.limit)
                                                   : std::string("NoLimit");
                         });

TEST(FuzzyMatch, LimitKeepsTheFirstHitsNotTheClosest) {
  const TermTrie t = trie_from_terms({U"dog", U"dot"});
  EXPECT_EQ(fuzzy_match(t.trie, "dot", 1, 1), (Hits{hit(t, U"dog", 1)}));
}

TEST(FuzzyMatch, EqualDistancesKeepStoredChildOrder) {
  const TermTrie t = trie_from_terms({U"zb", U"ab", U"mb", U"b"});
  EXPECT_EQ(fuzzy_match(t.trie, "b", 1, std::nullopt),
            (Hits{hit(t, U"zb", 1), hit(t, U"ab", 1), hit(t, U"mb", 1), hit(t, U"b", 0)}));
}

// ----------------------------------------------------------- small queries

TEST(FuzzyMatch, TrieWithNoNodesHasNoHits) {
  const Trie empty;
  EXPECT_TRUE(fuzzy_match(empty, "", 0, std::nullopt).empty());
  EXPECT_TRUE(fuzzy_match(empty, "abc", 5, 3).empty());
  EXPECT_TRUE(fuzzy_match(empty, "abc", UINT32_MAX, std::nullopt).empty());
}

TEST(FuzzyMatch, EmptyTermHitsTerminalNodesUpToMaxDistButNeverTheRoot) {
  TermTrie t = trie_from_terms({U"a", U"ab", U"abc", U"b"});
  t.trie.is_terminal[0] = 1;
  EXPECT_TRUE(fuzzy_match(t.trie, "", 0, std::nullopt).empty());
  EXPECT_EQ(fuzzy_match(t.trie, "", 1, std::nullopt), (Hits{hit(t, U"a", 1), hit(t, U"b", 1)}));
  EXPECT_EQ(fuzzy_match(t.trie, "", 2, std::nullopt),
            (Hits{hit(t, U"a", 1), hit(t, U"ab", 2), hit(t, U"b", 1)}));
  EXPECT_EQ(fuzzy_match(t.trie, "", 3, std::nullopt),
            (Hits{hit(t, U"a", 1), hit(t, U"ab", 2), hit(t, U"abc", 3), hit(t, U"b", 1)}));
}

TEST(FuzzyMatch, MaxDistZeroFindsExactMatchesOnly) {
  const TermTrie& t = car_trie();
  EXPECT_EQ(fuzzy_match(t.trie, "cart", 0, std::nullopt), (Hits{hit(t, U"cart", 0)}));
  EXPECT_EQ(fuzzy_match(t.trie, "cut", 0, std::nullopt), (Hits{hit(t, U"cut", 0)}));
  EXPECT_TRUE(fuzzy_match(t.trie, "ca", 0, std::nullopt).empty());
  EXPECT_TRUE(fuzzy_match(t.trie, "cax", 0, std::nullopt).empty());
  EXPECT_TRUE(fuzzy_match(t.trie, "", 0, std::nullopt).empty());
  EXPECT_TRUE(fuzzy_match(t.trie, "Cat", 0, std::nullopt).empty());
}

TEST(FuzzyMatch, IsCaseSensitive) {
  const TermTrie& t = car_trie();
  EXPECT_EQ(fuzzy_match(t.trie, "CAT", 3, std::nullopt),
            (Hits{hit(t, U"car", 3), hit(t, U"cat", 3), hit(t, U"cut", 3)}));
  EXPECT_EQ(fuzzy_match(t.trie, "cAt", 1, std::nullopt), (Hits{hit(t, U"cat", 1), hit(t, U"cut", 1)}));
}

TEST(FuzzyMatch, NonTerminalWithinDistanceIsNotReportedButTerminalBelowIs) {
  const TermTrie t = trie_from_terms({U"cart"});
  EXPECT_EQ(fuzzy_match(t.trie, "car", 1, std::nullopt), (Hits{hit(t, U"cart", 1)}));
  EXPECT_TRUE(fuzzy_match(t.trie, "car", 0, std::nullopt).empty());
}

TEST(FuzzyMatch, UnlabelledChildHidesItsWholeSubtree) {
  // root -> 1 (label 0, terminal) -> 2 ('a', terminal); root -> 3 ('a', terminal)
  const Trie trie = make_trie({{1, 3}, {2}, {}, {}}, {0, 0, U'a', U'a'}, {false, true, true, true});
  EXPECT_EQ(fuzzy_match(trie, "a", 1, std::nullopt), (Hits{{"a", 3, 0}}));
  EXPECT_EQ(fuzzy_match(trie, "", 5, std::nullopt), (Hits{{"a", 3, 1}}));
}

TEST(FuzzyMatch, RootLabelIsNeverRead) {
  const Trie trie = make_trie({{1}, {}}, {U'x', U'a'}, {true, true});
  EXPECT_EQ(fuzzy_match(trie, "a", 0, std::nullopt), (Hits{{"a", 1, 0}}));
}

TEST(FuzzyMatch, AstralCodePointCountsAsOne) {
  const TermTrie t = trie_from_terms({U"\U0001F600", U"\U0001F600\U0001F600", U"a", U"\u00E9", U"ab"});
  EXPECT_EQ(fuzzy_match(t.trie, "\xF0\x9F\x98\x80", 1, std::nullopt),
            (Hits{hit(t, U"\U0001F600", 0), hit(t, U"\U0001F600\U0001F600", 1), hit(t, U"a", 1),
                  hit(t, U"\u00E9", 1)}));
  // "a😀b" is one insertion away from "ab".
  EXPECT_EQ(fuzzy_match(t.trie, "a\xF0\x9F\x98\x80" "b", 1, std::nullopt), (Hits{hit(t, U"ab", 1)}));
  EXPECT_TRUE(fuzzy_match(t.trie, "a\xF0\x9F\x98\x80" "b", 0, std::nullopt).empty());
  // é is one code point (two bytes): "é" vs "a" is one substitution.
  EXPECT_EQ(fuzzy_match(t.trie, "\xC3\xA9", 0, std::nullopt), (Hits{hit(t, U"\u00E9", 0)}));
}

// ------------------------------------------------------- inconsistent tries

TEST(FuzzyMatch, ChildBeyondTheLabelsIsAnInternalError) {
  Trie trie = make_trie({{}}, {0}, {false});
  trie.child_transitions = {5};
  EXPECT_EQ(internal_error_of([&] { (void)fuzzy_match(trie, "a", 1, std::nullopt); }),
            "index out of bounds: the len is 1 but the index is 5");
}

TEST(FuzzyMatch, RunPastTheEndOfChildTransitionsIsAnInternalError) {
  Trie trie = make_trie({{1}, {}}, {0, U'a'}, {false, true});
  trie.node_shifts = {0, 3};
  EXPECT_EQ(internal_error_of([&] { (void)fuzzy_match(trie, "a", 1, std::nullopt); }),
            "index out of bounds: the len is 1 but the index is 1");
}

TEST(FuzzyMatch, MissingTerminalFlagIsAnInternalError) {
  Trie trie = make_trie({{1}, {}}, {0, U'a'}, {false, true});
  trie.is_terminal = {0};
  EXPECT_EQ(internal_error_of([&] { (void)fuzzy_match(trie, "a", 1, std::nullopt); }),
            "index out of bounds: the len is 1 but the index is 1");
}

TEST(FuzzyMatch, MissingNodeShiftOfAnEnteredChildIsAnInternalError) {
  Trie trie = make_trie({{1}, {}}, {0, U'a'}, {false, false});
  trie.node_shifts = {0};
  EXPECT_EQ(internal_error_of([&] { (void)fuzzy_match(trie, "a", 1, std::nullopt); }),
            "index out of bounds: the len is 1 but the index is 1");
}

// ------------------------------------------------------- large inputs

std::string repeat(char c, std::size_t n) { return std::string(n, c); }

TEST(FuzzyMatch, VeryDeepChainNeedsNoCallStack) {
  const Trie chain = make_chain(200000, U'a', {1, 2, 100000, 200000});
  const std::uint32_t last = 200000;
  EXPECT_EQ(fuzzy_match(chain, "a", 300000, std::nullopt),
            (Hits{{"a", 1, 0}, {"aa", 2, 1}, {repeat('a', 100000), 100000, 99999},
                  {repeat('a', 200000), last, 199999}}));
  EXPECT_EQ(fuzzy_match(chain, "a", 150000, std::nullopt),
            (Hits{{"a", 1, 0}, {"aa", 2, 1}, {repeat('a', 100000), 100000, 99999}}));
}

class FuzzyMatchHugeMaxDist : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(FuzzyMatchHugeMaxDist, FindsEveryTermWithItsExactDistance) {
  const TermTrie& t = car_trie();
  EXPECT_EQ(fuzzy_match(t.trie, "a", GetParam(), std::nullopt),
            (Hits{hit(t, U"car", 2), hit(t, U"cart", 3), hit(t, U"cat", 2), hit(t, U"cut", 3)}));
  EXPECT_EQ(fuzzy_match(t.trie, "", GetParam(), 2), (Hits{hit(t, U"car", 3), hit(t, U"cart", 4)}));
}

INSTANTIATE_TEST_SUITE_P(Bounds, FuzzyMatchHugeMaxDist,
                         ::testing::Values(4u, 1000u, 65534u, 65535u, 65536u, 65539u, 4294967200u,
                                           4294967294u, 4294967295u));

TEST(FuzzyMatch, QueryLongerThanSixteenBitsGetsExactDistances) {
  // 70,000 code points: distances above 65535 must not wrap.
  const TermTrie t = trie_from_terms({U"a", U"b", U"aaa"});
  const std::string query = repeat('a', 70000);
  EXPECT_EQ(fuzzy_match(t.trie, query, 70000, std::nullopt),
            (Hits{hit(t, U"a", 69999), hit(t, U"aaa", 69997), hit(t, U"b", 70000)}));
  EXPECT_EQ(fuzzy_match(t.trie, query, 69999, std::nullopt),
            (Hits{hit(t, U"a", 69999), hit(t, U"aaa", 69997)}));
  EXPECT_EQ(fuzzy_match(t.trie, query, 69998, std::nullopt), (Hits{hit(t, U"aaa", 69997)}));
  EXPECT_TRUE(fuzzy_match(t.trie, query, 4463, std::nullopt).empty());
  EXPECT_TRUE(fuzzy_match(t.trie, query, 2, std::nullopt).empty());
}

class FuzzyMatchSixteenBitEdge : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(FuzzyMatchSixteenBitEdge, DistancesAroundTheSixteenBitLimitAreExact) {
  // Query "ab" against a chain of a's: the term a^L lies at distance L - 1
  // (L >= 2) and at distance 1 for L = 1.
  const std::vector<std::size_t> depths{1, 2, 65534, 65535, 65536, 65537, 65538, 65539, 65540};
  const Trie chain = make_chain(65540, U'a', depths);
  const std::uint32_t max_dist = GetParam();
  Hits expected;
  for (const std::size_t d : depths) {
    const std::uint64_t dist = d == 1 ? 1 : d - 1;
    if (dist <= max_dist)
      expected.push_back({repeat('a', d), static_cast<std::uint32_t>(d), static_cast<std::uint32_t>(dist)});
  }
  EXPECT_EQ(fuzzy_match(chain, "ab", max_dist, std::nullopt), expected);
}

INSTANTIATE_TEST_SUITE_P(Bounds, FuzzyMatchSixteenBitEdge,
                         ::testing::Values(1u, 65532u, 65533u, 65534u, 65535u, 65536u, 65537u,
                                           65538u, 65539u, 131073u));

// ------------------------------------------------------------ cycles

// On a trie with a cycle the walk must end. Whatever it finds must be real:
// each hit is a terminal node whose text is within max_dist of the query at
// exactly the reported distance, and the hits that a small bound finds are
// found, in the same order, by a huge one.
void expect_sound_bounded_walk(const Trie& trie, const std::u32string& query) {
  const std::string q = to_utf8(query);
  const Hits huge = fuzzy_match(trie, q, UINT32_MAX, std::nullopt);
  ASSERT_FALSE(huge.empty());
  for (const MatchResult& h : huge) {
    ASSERT_LT(h.node, trie.node_count());
    EXPECT_TRUE(trie.is_terminal[h.node]);
    std::u32string term;
    for (const unsigned char c : h.term) term.push_back(c);  // the tries below are ASCII
    EXPECT_EQ(h.dist, levenshtein(query, term)) << h.term;
  }
  for (const std::uint32_t small : {0u, 1u, 2u}) {
    Hits filtered;
    for (const MatchResult& h : huge)
      if (h.dist <= small) filtered.push_back(h);
    EXPECT_EQ(fuzzy_match(trie, q, small, std::nullopt), filtered) << "max_dist " << small;
  }
}

TEST(FuzzyMatchCycle, NodeThatIsItsOwnChild) {
  const Trie trie = make_trie({{1}, {1}}, {0, U'a'}, {false, true});
  expect_sound_bounded_walk(trie, U"");
  expect_sound_bounded_walk(trie, U"aaa");
  const Hits hits = fuzzy_match(trie, "aaa", 1, std::nullopt);
  EXPECT_EQ(hits, (Hits{{"aa", 1, 1}, {"aaa", 1, 0}, {"aaaa", 1, 1}}));
}

TEST(FuzzyMatchCycle, BackEdgeToAnAncestor) {
  // root -> 1 ('a') -> 2 ('b', terminal) -> back to 1
  const Trie trie = make_trie({{1}, {2}, {1}}, {0, U'a', U'b'}, {false, false, true});
  expect_sound_bounded_walk(trie, U"abab");
  EXPECT_EQ(fuzzy_match(trie, "abab", 2, std::nullopt),
            (Hits{{"ab", 2, 2}, {"abab", 2, 0}, {"ababab", 2, 2}}));
}

TEST(FuzzyMatchCycle, EdgeBackToTheRoot) {
  const Trie trie = make_trie({{1}, {0}}, {U'r', U'a'}, {true, true});
  expect_sound_bounded_walk(trie, U"ara");
  EXPECT_EQ(fuzzy_match(trie, "ara", 0, std::nullopt), (Hits{{"ara", 1, 0}}));
}

TEST(FuzzyMatchCycle, HugeMaxDistWithLimitKeepsTheFirstHits) {
  const Trie trie = make_trie({{1}, {1}}, {0, U'a'}, {false, true});
  const Hits all = fuzzy_match(trie, "", UINT32_MAX, std::nullopt);
  ASSERT_GE(all.size(), 2u);
  EXPECT_EQ(fuzzy_match(trie, "", UINT32_MAX, 1), (Hits{{"a", 1, 1}}));
  EXPECT_EQ(fuzzy_match(trie, "", UINT32_MAX, 2), (Hits{{"a", 1, 1}, {"aa", 1, 2}}));
}

// ----------------------------------------------------- randomized comparison

using testing::RandomTrie;

// A random acyclic trie: a tree plus a few extra edges (a node may have two
// parents), ids shuffled apart from the root, children in random order, a
// few unlabelled nodes.
RandomTrie random_trie(std::mt19937& rng) {
  return testing::random_trie(rng, {.nodes = 20,
                                    .terminal = 0.5,
                                    .unlabelled = 1.0 / 12,
                                    .extra_edges = 2,
                                    .shuffle_ids = true,
                                    .child_order = testing::ChildOrder::Shuffled});
}

// Every stored term: root-to-terminal paths through labelled nodes, in
// pre-order with children in stored order.
void enumerate(const RandomTrie& t, std::uint32_t node, std::u32string& path,
               std::vector<std::pair<std::u32string, std::uint32_t>>& out) {
  for (const std::uint32_t c : t.children[node]) {
    if (t.labels[c] == 0) continue;
    path.push_back(t.labels[c]);
    if (t.terminal[c]) out.emplace_back(path, c);
    enumerate(t, c, path, out);
    path.pop_back();
  }
}

TEST(FuzzyMatchProperty, AgreesWithBruteForceLevenshtein) {
  std::mt19937 rng(4242);
  std::vector<char32_t> query_alphabet(std::begin(testing::kLetters), std::end(testing::kLetters));
  query_alphabet.push_back(U'z');
  for (int round = 0; round < 3000; ++round) {
    const RandomTrie t = random_trie(rng);
    std::u32string query;
    const std::size_t len = rng() % 5;
    for (std::size_t i = 0; i < len; ++i) query.push_back(query_alphabet[rng() % query_alphabet.size()]);
    std::uint32_t max_dist = rng() % 4;
    if (rng() % 10 == 0) max_dist = std::vector<std::uint32_t>{65535, 65536, UINT32_MAX}[rng() % 3];
    Limit limit;
    if (rng() % 2 == 0) limit = rng() % 6;

    std::vector<std::pair<std::u32string, std::uint32_t>> terms;
    std::u32string path;
    enumerate(t, 0, path, terms);
    Hits expected;
    for (const auto& [term, node] : terms) {
      const std::uint64_t d = levenshtein(query, term);
      if (d <= max_dist) expected.push_back({to_utf8(term), node, static_cast<std::uint32_t>(d)});
    }
    if (limit && expected.size() > *limit) expected.resize(*limit);

    EXPECT_EQ(fuzzy_match(t.trie(), to_utf8(query), max_dist, limit), expected)
        << "round " << round << " max_dist " << max_dist << " limit "
        << (limit ? std::to_string(*limit) : "none");
  }
}

}  // namespace
}  // namespace quillon
