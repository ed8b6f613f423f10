// Building a trie from sorted term batches: the same arrays as the term
// builder gives, whatever the batches' sizes, and the refusals of terms that
// break the order or are not text.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "index/sorted_build.hpp"
#include "reference/random_trie.hpp"

namespace quillon {
namespace {

using testing::to_utf8;

// Flat batch arrays for `terms` (each with one video of its own index and
// count 1 + its index) and their owner.
struct Batch {
  std::string text;
  std::vector<std::uint64_t> ends;
  std::vector<std::uint32_t> totals, sizes, ids, counts;
  TermBatch view() const {
    return {{reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}, ends, totals, sizes, ids, counts, {}, {}};
  }
};

Batch batch_of(const std::vector<std::u32string>& terms, std::size_t first, std::size_t last) {
  Batch b;
  for (std::size_t i = first; i < last; ++i) {
    b.text += to_utf8(terms[i]);
    b.ends.push_back(b.text.size());
    b.totals.push_back(static_cast<std::uint32_t>(1 + i));
    b.sizes.push_back(1);
    b.ids.push_back(static_cast<std::uint32_t>(i));
    b.counts.push_back(static_cast<std::uint32_t>(1 + i));
  }
  return b;
}

TEST(SortedBuild, GivesTheArraysOfTheTermBuilderWhateverTheBatches) {
  std::mt19937 rng(9);
  for (int round = 0; round < 200; ++round) {
    std::set<std::u32string> unique;
    for (std::size_t i = 1 + rng() % 40; i-- > 0;) {
      std::u32string word = testing::random_word(rng, testing::kLetters, 6);
      if (!word.empty()) unique.insert(word);
    }
    if (unique.empty()) continue;
    const std::vector<std::u32string> terms(unique.begin(), unique.end());
    SortedTrieBuilder builder;
    for (std::size_t first = 0; first < terms.size();) {
      const std::size_t last = std::min(terms.size(), first + 1 + rng() % 7);
      ASSERT_EQ(builder.add(batch_of(terms, first, last).view()), std::nullopt);
      first = last;
    }
    ByteStrings ids;
    for (std::size_t i = 0; i < terms.size(); ++i) {
      for (int b = 0; b < 4; ++b) ids.bytes.push_back(static_cast<std::uint8_t>(i >> (8 * b)));
      ids.close_entry();
    }
    auto built = builder.finish(ids, 50);
    ASSERT_TRUE(built) << built.error().message;
    const Trie expected = testing::trie_from_terms(terms).trie;
    EXPECT_EQ(built->trie.node_shifts, expected.node_shifts);
    EXPECT_EQ(built->trie.child_labels, expected.child_labels);
    EXPECT_EQ(built->trie.child_transitions, expected.child_transitions);
    EXPECT_EQ(built->trie.is_terminal, expected.is_terminal);
    EXPECT_EQ(builder.nodes(), 1u);  // emptied by finish
  }
}

TEST(SortedBuild, RefusesTermsThatBreakTheOrderOrAreNotText) {
  SortedTrieBuilder builder;
  ASSERT_EQ(builder.add(batch_of({U"b"}, 0, 1).view()), std::nullopt);
  const auto refused = [&](const std::string& text) {
    Batch b = batch_of({U"x"}, 0, 1);
    b.text = text;
    b.ends = {text.size()};
    const auto error = builder.add(b.view());
    return error ? error->message : std::string("<added>");
  };
  EXPECT_EQ(refused("a"), "term 1 does not sort after the term before it");
  EXPECT_EQ(refused("b"), "term 1 does not sort after the term before it");
  EXPECT_EQ(refused(""), "term 1 is empty");
  EXPECT_EQ(refused("c\xff"), "term 1 is not valid UTF-8");
  EXPECT_EQ(refused(std::string("c\0d", 3)), "term 1 contains U+0000");
  EXPECT_EQ(refused("c"), "<added>");
  Batch b = batch_of({U"d"}, 0, 1);
  b.sizes = {2};
  EXPECT_EQ(builder.add(b.view())->message, "a batch whose sizes add up to 2 entries, with 1 video ids and 1 counts");
  b = batch_of({U"d"}, 0, 1);
  b.ends = {5};
  EXPECT_EQ(builder.add(b.view())->message, "term end 0 (5) goes back or past the 1 bytes");
}

}  // namespace
}  // namespace quillon
