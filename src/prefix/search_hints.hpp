// What a search may assume about a trie's arrays: data derived from them once,
// when the trie is built or decoded, so that every query can rely on it. It
// is not stored in the bytes and not part of the trie's value. Anything else
// the searches derive from the arrays belongs here too.
//
// Words this file coins:
//   search edge  one entry of child_transitions as the walk reads it, stored
//                at the same position: the child's label, where the child's
//                own children are, and a summary of the child's reach. A
//                node's children are then one contiguous run of search edges,
//                and entering a child needs no other array.
//   reach        what the walk can find below a node, the node itself
//                included: how many edges down its nearest terminal node and
//                its deepest node lie, and which characters the labels on the
//                way hold (as a signature). Unlabelled children are never
//                entered, so they add nothing to it.
//   signature    a 32-bit set of characters: bit char_bit(c) for each c.
//                Distinct characters may share a bit, so a clear bit proves a
//                character absent and a set bit proves nothing.
#pragma once

#include <cstdint>
#include <vector>

namespace quillon {

struct Trie;
struct TrieView;

// The signature bit of a character: a multiplicative hash, which spreads
// letters, digits and punctuation alike over the 32 bits.
constexpr std::uint32_t char_bit(char32_t c) { return std::uint32_t{1} << ((c * 0x9E3779B1u) >> 27); }

// One child edge with the child's reach. 16 bytes.
struct SearchEdge {
  // Depths below the child saturate here: a nearest terminal at this depth
  // or deeper reads as this depth (still a lower bound), a deepest node at
  // this depth or deeper as unknown.
  static constexpr std::uint8_t kDepthCap = 254;
  // nearest_terminal when the reach holds no terminal node; height when the
  // reach is unknown (too deep, or not a tree below the child).
  static constexpr std::uint8_t kNone = 255;
  // run_length of a run too long to say: ask the trie for it.
  static constexpr std::uint16_t kLongRun = 0xFFFF;

  char32_t label = 0;
  // The signature of the labels in the child's reach, its own included.
  std::uint32_t chars = ~std::uint32_t{0};
  // The child's children: positions [run_begin, run_begin + run_length) of
  // child_transitions (and of the search edges).
  std::uint32_t run_begin = 0;
  std::uint16_t run_length = 0;
  // Edges from the child down to the nearest terminal node of its reach
  // (0: the child is terminal), at most kDepthCap, or kNone.
  std::uint8_t nearest_terminal = 0;
  // Edges from the child down to the deepest node of its reach, at most
  // kDepthCap, or kNone (unknown).
  std::uint8_t height = kNone;
};

// Tries with equal arrays compare equal whatever their hints, and the
// default hints assume nothing.
struct SearchHints {
  // Every node's children stand in order of their labels, so a search can
  // look a label up by bisection.
  bool children_sorted = false;
  // edges[p] describes child_transitions[p]; empty when not derived.
  std::vector<SearchEdge> edges;

  bool operator==(const SearchHints&) const { return true; }
};

// Works out the hints of a trie whose arrays are complete and sound. The
// reach of a node is exact where every node reachable from it has its
// children numbered above it (a tree, or a graph whose shared nodes come
// after all their parents). Below a node with a child numbered at or below
// it, it is unknown: every signature bit set, a terminal node possible one
// edge down, no height; and so for everything that reaches such a node.
void mark_hints(Trie& trie);
// The same hints for any trie's arrays, returned.
SearchHints derive_hints(const TrieView& trie);

}  // namespace quillon
