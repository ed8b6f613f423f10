// Random tries for the tests and the fuzzers' seed corpus: one generator,
// whose shape says what kind of trie each of them needs, and random payloads
// to rank.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "prefix/search_hints.hpp"
#include "trie_builder.hpp"

namespace quillon::testing {

// Letters of one to four UTF-8 bytes.
inline constexpr char32_t kLetters[] = {U'a', U'b', U'c', U'\u00E9', U'\u4E2D', U'\U0001F600'};

// True with probability `p`.
inline bool chance(std::mt19937& rng, double p) { return static_cast<double>(rng()) < p * 4294967296.0; }

// A word of 0 to max_length letters of `alphabet`.
inline std::u32string random_word(std::mt19937& rng, std::span<const char32_t> alphabet, std::size_t max_length) {
  std::u32string word;
  for (std::size_t length = rng() % (max_length + 1); length-- > 0;) word.push_back(alphabet[rng() % alphabet.size()]);
  return word;
}

enum class ChildOrder { AsMade, Shuffled, Sorted };

struct RandomTrieShape {
  // How the tree grows. With `words`: a trie of 1 to `words` random words of
  // up to `word_length` letters (siblings have distinct labels; paths are as
  // deep as the words). Without: 1 to `nodes` nodes, each hung below a random
  // earlier one with a random letter (any shape; siblings may share labels).
  // Either way a child is made after its parent, so numbered above it.
  std::size_t words = 0;
  std::size_t word_length = 10;
  std::size_t nodes = 20;
  std::span<const char32_t> alphabet = kLetters;
  // Per node: the chance that it is terminal, and (the root apart) the chance
  // that it loses its label.
  double terminal = 0.5;
  double unlabelled = 0.0;
  // Up to this many more edges: from a node to one made after it (a node may
  // then have two parents, but there is no cycle), or, with `cycles`,
  // between any two nodes, self edges included.
  std::size_t extra_edges = 0;
  bool cycles = false;
  // Renumbers every node but the root, so children may be numbered below
  // their parents.
  bool shuffle_ids = false;
  ChildOrder child_order = ChildOrder::AsMade;
};

struct RandomTrie {
  Children children;
  std::vector<char32_t> labels;
  std::vector<bool> terminal;

  // The trie, with its search hints marked as building it would.
  Trie trie() const {
    Trie t = make_trie(children, labels, terminal);
    mark_hints(t);
    return t;
  }
};

inline RandomTrie random_trie(std::mt19937& rng, const RandomTrieShape& shape) {
  RandomTrie t{Children(1), {0}, {}};
  const auto add_node = [&](std::uint32_t parent, char32_t label) {
    const auto node = static_cast<std::uint32_t>(t.labels.size());
    t.children[parent].push_back(node);
    t.children.emplace_back();
    t.labels.push_back(label);
    return node;
  };
  if (shape.words > 0) {
    for (std::size_t count = 1 + rng() % shape.words; count-- > 0;) {
      std::uint32_t node = 0;
      for (const char32_t letter : random_word(rng, shape.alphabet, shape.word_length)) {
        std::uint32_t next = 0;  // the root is nobody's child here
        for (const std::uint32_t c : t.children[node])
          if (t.labels[c] == letter) next = c;
        node = next != 0 ? next : add_node(node, letter);
      }
    }
  } else {
    for (std::size_t i = 1, n = 1 + rng() % shape.nodes; i < n; ++i)
      add_node(static_cast<std::uint32_t>(rng() % i), shape.alphabet[rng() % shape.alphabet.size()]);
  }
  const std::size_t n = t.labels.size();
  t.terminal.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    t.terminal[i] = chance(rng, shape.terminal);
    if (i > 0 && chance(rng, shape.unlabelled)) t.labels[i] = 0;
  }
  for (std::size_t k = rng() % (shape.extra_edges + 1); k-- > 0;) {
    if (shape.cycles) {
      const auto from = rng() % n;
      t.children[from].push_back(static_cast<std::uint32_t>(rng() % n));
    } else if (n > 1) {
      const std::size_t from = rng() % (n - 1);
      t.children[from].push_back(static_cast<std::uint32_t>(from + 1 + rng() % (n - 1 - from)));
    }
  }
  if (shape.shuffle_ids) {
    std::vector<std::uint32_t> id(n);
    std::iota(id.begin(), id.end(), 0u);
    std::shuffle(id.begin() + 1, id.end(), rng);
    RandomTrie renumbered{Children(n), std::vector<char32_t>(n), std::vector<bool>(n)};
    for (std::size_t i = 0; i < n; ++i) {
      for (const std::uint32_t c : t.children[i]) renumbered.children[id[i]].push_back(id[c]);
      renumbered.labels[id[i]] = t.labels[i];
      renumbered.terminal[id[i]] = t.terminal[i];
    }
    t = std::move(renumbered);
  }
  for (auto& kids : t.children) {
    if (shape.child_order == ChildOrder::Shuffled) std::shuffle(kids.begin(), kids.end(), rng);
    if (shape.child_order == ChildOrder::Sorted)
      std::stable_sort(kids.begin(), kids.end(), [&](std::uint32_t a, std::uint32_t b) { return t.labels[a] < t.labels[b]; });
  }
  return t;
}

// The labels along a random path from the root (at most max_length of
// them, stopping at a node without labelled children), then `edits` random
// edits with letters of `alphabet`: a query with hits nearby.
inline std::u32string random_path_near(std::mt19937& rng, const RandomTrie& t, std::size_t max_length,
                                       std::size_t edits, std::span<const char32_t> alphabet) {
  std::u32string word;
  for (std::uint32_t node = 0; word.size() < max_length;) {
    std::vector<std::uint32_t> labelled;
    for (const std::uint32_t c : t.children[node])
      if (t.labels[c] != 0) labelled.push_back(c);
    if (labelled.empty() || chance(rng, 0.05)) break;
    node = labelled[rng() % labelled.size()];
    word.push_back(t.labels[node]);
  }
  for (std::size_t e = 0; e < edits; ++e) {
    const std::size_t at = word.empty() ? 0 : rng() % word.size();
    const char32_t letter = alphabet[rng() % alphabet.size()];
    switch (word.empty() ? 0 : rng() % 3) {
      case 0: word.insert(word.begin() + static_cast<std::ptrdiff_t>(at), letter); break;
      case 1: word.erase(word.begin() + static_cast<std::ptrdiff_t>(at)); break;
      default: word[at] = letter; break;
    }
  }
  return word;
}

struct RandomPayloadShape {
  double present = 0.7;        // the chance that a node has a payload
  std::size_t entries = 6;     // 0 to this many entries in a payload's lists
  std::uint32_t videos = 12;   // video indices below this, except
  double anywhere = 0.0;       // with this chance, an index anywhere in 32 bits
  std::uint32_t max_count = 9;  // counts 0 to this
  std::size_t id_table = 10;   // entries of the Int32 id table
};

// Gives every node of `trie` a random payload or none (a video may appear
// twice in one list; total_count is the counts' sum plus 0 to 3), and an
// Int32 id table of random ids. Neither depends on the node's flags, which
// decoding allows too.
inline void give_random_payloads(std::mt19937& rng, Trie& trie, const RandomPayloadShape& shape) {
  PayloadTable table;
  for (std::size_t node = 0; node < trie.node_count(); ++node) {
    if (!chance(rng, shape.present)) {
      table.push_absent();
      continue;
    }
    std::uint64_t total = rng() % 4;
    for (std::size_t k = rng() % (shape.entries + 1); k-- > 0;) {
      table.ids().push_back(chance(rng, shape.anywhere) ? static_cast<std::uint32_t>(rng()) : rng() % shape.videos);
      table.counts().push_back(rng() % (shape.max_count + 1));
      total += table.counts().back();
    }
    table.close_payload(saturating_add(0, total));
  }
  trie.payloads = std::move(table);
  trie.id_mode = IdMode::Int32;
  trie.video_uuids.clear();
  trie.video_int_ids.resize(shape.id_table);
  for (std::uint32_t& id : trie.video_int_ids) id = static_cast<std::uint32_t>(rng());
}

}  // namespace quillon::testing
