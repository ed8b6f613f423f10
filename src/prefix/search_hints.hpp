// What a search may assume about a trie's arrays: data derived from them once,
// when the trie is built or decoded, so that every query can rely on it. It
// is not stored in the bytes and not part of the trie's value. Anything else
// the searches derive from the arrays belongs here too.
#pragma once

namespace quillon {

struct Trie;

// Tries with equal arrays compare equal whatever their hints, and the
// default hints assume nothing.
struct SearchHints {
  // Every node's children stand in order of their labels, so a search can
  // look a label up by bisection.
  bool children_sorted = false;

  bool operator==(const SearchHints&) const { return true; }
};

// Works out the hints of a trie whose arrays are complete and sound.
void mark_hints(Trie& trie);

}  // namespace quillon
