// Completions: the most searched stored terms that the typed text could be
// the start of, allowing for typos.
//
// A term completes the query with e edits when e is the least optimal
// string alignment distance (osa_rows.hpp) between the query and a prefix of
// the term. Completions come by fewer edits first, then by count (how often
// the term was searched), then by node id, which in a trie numbered in
// pre-order with children by label (as the build numbers it) is the
// code-point order of the terms.
//
// Two steps. The walk (prefix/walk.hpp) carries rows of the distance and
// records every node whose term is within the bound: its edits, the least
// edits of its ancestors and, where it starts a tier, its path (PrefixHits).
// Then, tier by tier, a best-first search over the completion records
// (completion_data.hpp) below the nodes that start the tier pops terms in
// order of count: its cost grows with the limit and the depth of the terms
// it returns, not with how many terms lie below those nodes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "../prefix/trie_view.hpp"
#include "completion_data.hpp"

namespace quillon {

// A node the walk found within the bound.
struct PrefixHit {
  std::uint32_t node;
  std::uint32_t edits;  // between the query and the node's term
  // The least edits of the node's strict ancestors (the root included),
  // bound + 1 where none is within the bound.
  std::uint32_t above;
  std::uint32_t depth;  // code points of the node's term
  // Where the node's path is kept, for nodes that start a tier (edits <
  // above): labels[path_begin .. path_begin + depth).
  std::uint32_t path_begin;
};

// What a walk records for the completion search.
struct PrefixHits {
  std::vector<PrefixHit> hits;  // in walk order
  std::vector<char32_t> labels;

  // Records `node`, reached through `path` (the labels down to its parent)
  // and `label`.
  void add(std::uint32_t node, std::uint32_t edits, std::uint32_t above, std::span<const char32_t> path,
           char32_t label);
  // Records the root when the whole query is within the bound (edits = its
  // length): then every term completes it.
  void add_root(std::uint32_t edits, std::uint32_t bound);
  void clear() {
    hits.clear();
    labels.clear();
  }
};

struct Completion {
  std::string term;  // UTF-8
  std::uint32_t node;
  std::uint32_t edits;
  std::uint32_t count;
  // Code points of the term that the query covers: the longest prefix of the
  // term at `edits` from the query.
  std::uint32_t covered;

  bool operator==(const Completion&) const = default;
};

// The best `limit` completions among those the walk recorded, within
// `bound` edits. A record that breaks the tree (a cycle through the
// completion links) stops the search with InternalError rather than looping.
std::vector<Completion> top_completions(const TrieView& trie, const CompletionView& data, const PrefixHits& found,
                                        std::uint32_t bound, std::uint32_t limit);

struct CompletionQuery {
  std::string_view text;  // UTF-8, normalised as the terms are
  std::uint32_t max_edits = 0;
  std::uint32_t limit = 10;
  // Hold every completion to the query's first character.
  bool first_exact = false;
  // The edits each prefix of the text may have (osa_rows.hpp), for j = 0 ..
  // its length in code points; empty: max_edits for every prefix.
  std::span<const std::uint32_t> schedule = {};
};

// Whether the root (every term) completes a query of `length` code points
// within `bound` edits and the schedule's for the whole query.
bool root_completes(std::size_t length, std::uint32_t bound, std::span<const std::uint32_t> schedule);

// The best completions of a query: the walk, then top_completions; walks
// within 0, 1, ... edits in turn, until the tiers found fill the limit or
// max_edits is reached (the answer is the same as one walk within
// max_edits).
std::vector<Completion> complete(const TrieView& trie, const CompletionView& data, const CompletionQuery& query);

// The bound a walk needs for `max_edits` on a query of `code_points`: never
// more than the query's length, since every term completes the query within
// that many edits (its empty prefix is that far).
constexpr std::uint32_t completion_bound(std::uint32_t max_edits, std::size_t code_points) {
  return code_points < max_edits ? static_cast<std::uint32_t>(code_points) : max_edits;
}

}  // namespace quillon
