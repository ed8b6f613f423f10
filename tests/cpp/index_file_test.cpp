// The index container: what is written is read back in place as the same
// trie and completion records; damaged bytes are refused with a message when
// opened, or fail a read with InternalError, and never read outside the file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <random>

#include "complete/suggest.hpp"
#include "index/index_sections.hpp"
#include "prefix/trie_codec.hpp"
#include "reference/random_trie.hpp"
#include "reference/ranking.hpp"

namespace quillon {
namespace {

using namespace index_file;

// Bytes at an address aligned as a mapping is.
struct AlignedBytes {
  std::unique_ptr<std::uint8_t[], decltype(&std::free)> data{nullptr, &std::free};
  std::size_t size = 0;

  explicit AlignedBytes(std::size_t n) : size(n) {
    data.reset(static_cast<std::uint8_t*>(std::aligned_alloc(kAlign, aligned(std::max<std::size_t>(n, 1)))));
  }
  std::span<std::uint8_t> span() { return {data.get(), size}; }
  std::span<const std::uint8_t> view() const { return {data.get(), size}; }
};

struct Written {
  Trie trie;
  CompletionData completion;
  AlignedBytes file{0};
};

Written written(std::mt19937& rng) {
  Written w;
  const testing::RandomTrie shape =
      testing::random_trie(rng, {.words = 30, .word_length = 7, .terminal = 0.5, .child_order = testing::ChildOrder::Sorted});
  w.trie = shape.trie();
  testing::give_random_payloads(rng, w.trie, {});
  std::vector<std::uint32_t> counts(w.trie.node_count());
  for (auto& c : counts) c = rng() % 9;
  w.completion.nodes = *completion_nodes(w.trie, counts);
  if (w.trie.node_count() > 1) add_display(w.completion, 1, "a", "A\u00E9");
  std::array<std::uint32_t, 2> params{};
  ContainerWriter writer;
  const std::size_t stored = encoded_size(w.trie);
  writer.add_raw_section(kTrieSection, stored, [&](std::span<std::uint8_t> out) { encode(w.trie, out); });
  writer.add_array_section(kNodesSection, node_arrays(w.trie, params));
  writer.add_array_section(kCompletionSection, completion_arrays(w.completion));
  w.file = AlignedBytes(writer.file_size());
  writer.write(w.file.span());
  return w;
}

template <class T>
bool same(std::span<const T> a, const std::vector<T>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

TEST(IndexFile, ReadsBackInPlaceWhatWasWritten) {
  std::mt19937 rng(77);
  for (int round = 0; round < 200; ++round) {
    const Written w = written(rng);
    auto opened = open_index(w.file.view());
    ASSERT_TRUE(opened) << opened.error().message;
    const TrieView& view = opened->trie;
    EXPECT_TRUE(same(view.node_shifts, w.trie.node_shifts) && same(view.child_labels, w.trie.child_labels) &&
                same(view.child_transitions, w.trie.child_transitions) && same(view.is_terminal, w.trie.is_terminal));
    EXPECT_EQ(view.id_mode, w.trie.id_mode);
    EXPECT_EQ(view.children_sorted, w.trie.hints.children_sorted);
    EXPECT_EQ(deep_fault(*opened), std::nullopt);
    // The stored form is the module's, byte for byte.
    auto decoded = decode(opened->stored_trie);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, w.trie);
    if (w.trie.node_count() > 1) {
      EXPECT_EQ(opened->completion.display(1), std::optional<std::string_view>("A\u00E9"));
    }
    // The searches answer from the mapped arrays as from the vectors.
    const std::string term = testing::to_utf8(testing::random_word(rng, testing::kLetters, 5));
    const SuggestQuery q{.text = term, .max_edits = 2, .completions = 5, .terms = 5, .videos = 5};
    const Suggestions from_file = suggest(view, opened->completion, q), from_memory = suggest(w.trie, w.completion.view(), q);
    EXPECT_EQ(from_file.completions, from_memory.completions);
    EXPECT_EQ(from_file.terms, from_memory.terms);
    EXPECT_TRUE(reference::identical(from_file.videos, from_memory.videos));
  }
}

TEST(IndexFile, RefusesHeadersThatDoNotHold) {
  std::mt19937 rng(3);
  Written w = written(rng);
  const auto refused = [&](auto damage) {
    AlignedBytes copy(w.file.size);
    std::copy(w.file.view().begin(), w.file.view().end(), copy.span().begin());
    damage(copy);
    auto opened = open_index(copy.view());
    return opened ? std::string("<opened>") : opened.error().message;
  };
  EXPECT_EQ(refused([](AlignedBytes& f) { f.span()[0] = 'X'; }), "not a quillon index container (no QUILLON header)");
  EXPECT_EQ(refused([](AlignedBytes& f) { f.span()[8] = 3; }), "container format 3; this quillon reads format 2");
  EXPECT_EQ(refused([](AlignedBytes& f) { f.size -= 1; }).rfind("the header says ", 0), 0u);
  // A section that claims more than the file holds.
  EXPECT_NE(refused([](AlignedBytes& f) { f.span()[kHeaderSize + 31] = 0x40; }).find("runs past the end of the file"),
            std::string::npos);
}

// Every cut and random damage: opening refuses, or what opens answers or
// throws InternalError, and the sanitizers see no read outside the bytes.
TEST(IndexFile, DamagedBytesAreRefusedOrFailAReadNeverCrash) {
  std::mt19937 rng(11);
  const Written w = written(rng);
  int opened_damaged = 0;
  for (int round = 0; round < 3000; ++round) {
    const std::size_t size = round < 300 ? rng() % w.file.size : w.file.size;
    AlignedBytes copy(size);
    std::copy_n(w.file.view().begin(), size, copy.span().begin());
    for (int flips = 1 + static_cast<int>(rng() % 4); flips-- > 0 && size > 0;) copy.span()[rng() % size] ^= 1u << (rng() % 8);
    auto opened = open_index(copy.view());
    if (!opened) continue;
    ++opened_damaged;
    (void)deep_fault(*opened);
    try {
      const std::string term = testing::to_utf8(testing::random_word(rng, testing::kLetters, 4));
      (void)suggest(opened->trie, opened->completion, {.text = term, .max_edits = 1, .completions = 4, .terms = 4, .videos = 4});
    } catch (const InternalError&) {
    }
  }
  EXPECT_GT(opened_damaged, 0);  // damage inside the arrays reaches the reads
}

TEST(IndexFile, DeepCheckFindsWhatOpeningLetsThrough) {
  std::mt19937 rng(5);
  Written w = written(rng);
  auto opened = open_index(w.file.view());
  ASSERT_TRUE(opened);
  // Point a child edge back at the root: opening cannot see it.
  std::uint32_t* transitions = const_cast<std::uint32_t*>(opened->trie.child_transitions.data());
  ASSERT_FALSE(opened->trie.child_transitions.empty());
  const std::uint32_t first = transitions[0];
  transitions[0] = 0;
  EXPECT_EQ(deep_fault(*opened), "node 0 is not a child of node 0 alone, numbered after it");
  transitions[0] = first;
  CompletionNode* records = const_cast<CompletionNode*>(opened->completion.nodes.data());
  records[0].best += 1;
  EXPECT_EQ(deep_fault(*opened), "the completion records are not those the trie and its counts give");
}

}  // namespace
}  // namespace quillon
