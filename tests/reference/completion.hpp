// The textbook completion, the twin of src/complete/: the optimal string
// alignment distance as the full matrix, the prefix distance as the least
// distance to any prefix, and the best completions by sorting every term.
// Slow on purpose; the C++ tests and the fuzzers compare the fast search
// against it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "complete/complete.hpp"
#include "prefix/matcher.hpp"
#include "prefix/trie.hpp"
#include "trie_builder.hpp"

namespace quillon::reference {

inline constexpr std::uint32_t kFar = 1u << 30;

// The distance between a and b when substituting, inserting or deleting one
// character, or swapping two adjacent ones, costs one edit and no character
// is edited twice (optimal string alignment). With a schedule, an alignment
// may pass through a prefix of `a` of length i only within schedule[i]
// edits (kFar beyond), a swap counting at the prefix where it begins.
inline std::uint32_t osa_distance(const std::u32string& a, const std::u32string& b,
                                  std::span<const std::uint32_t> schedule = {}) {
  std::vector<std::vector<std::uint32_t>> d(a.size() + 1, std::vector<std::uint32_t>(b.size() + 1));
  const auto within = [&](std::size_t i, std::uint32_t v) {
    return schedule.empty() || v <= schedule[std::min(i, schedule.size() - 1)] ? v : kFar;
  };
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = within(i, static_cast<std::uint32_t>(i));
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = within(0, static_cast<std::uint32_t>(j));
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      std::uint32_t v = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0u : 1u)});
      // A swap counts at the prefix where it begins, i - 1.
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1] && within(i - 1, d[i - 2][j - 2] + 1) != kFar)
        v = std::min(v, d[i - 2][j - 2] + 1);
      d[i][j] = within(i, std::min(v, kFar));
    }
  }
  return d[a.size()][b.size()];
}

// The least distance between `query` and a prefix of `term`, and the
// length of the longest prefix at that distance.
struct PrefixDistance {
  std::uint32_t edits;
  std::uint32_t covered;
};

inline PrefixDistance prefix_distance(const std::u32string& query, const std::u32string& term,
                                      std::span<const std::uint32_t> schedule = {}) {
  PrefixDistance best{UINT32_MAX, 0};
  for (std::size_t length = 0; length <= term.size(); ++length) {
    const std::uint32_t edits = osa_distance(query, term.substr(0, length), schedule);
    if (edits <= best.edits) best = {edits, static_cast<std::uint32_t>(length)};
  }
  return best;
}

struct CountedTerm {
  std::u32string term;
  std::uint32_t count;
};

// Every term within `max_edits` of the query (and, with `first_exact`,
// starting with its first character), by edits, then count descending, then
// code points; the first `limit`. Node ids are left 0.
inline std::vector<Completion> complete(const std::vector<CountedTerm>& terms, const std::u32string& query,
                                        std::uint32_t max_edits, std::uint32_t limit, bool first_exact = false,
                                        std::span<const std::uint32_t> schedule = {}) {
  struct Found {
    std::u32string term;
    std::uint32_t count;
    PrefixDistance distance;
  };
  std::vector<Found> found;
  for (const CountedTerm& t : terms) {
    if (first_exact && !query.empty() && (t.term.empty() || t.term[0] != query[0])) continue;
    const PrefixDistance distance = prefix_distance(query, t.term, schedule);
    if (distance.edits <= max_edits) found.push_back({t.term, t.count, distance});
  }
  std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
    if (a.distance.edits != b.distance.edits) return a.distance.edits < b.distance.edits;
    if (a.count != b.count) return a.count > b.count;
    return a.term < b.term;
  });
  std::vector<Completion> out;
  for (const Found& f : found) {
    if (out.size() == limit) break;
    out.push_back({testing::to_utf8(f.term), 0, f.distance.edits, f.count, f.distance.covered});
  }
  return out;
}

// The textbook walk with the optimal string alignment distance: recursive,
// a full row per depth (and the one before it, for swaps), every child of a
// node whose row keeps a cell within `bound` entered. The nodes whose term
// is within `bound` of the query, with that distance, in walk order; with
// `first_exact`, only below the root's children labelled with the query's
// first character.
inline std::vector<NodeHit> osa_walk(const Trie& trie, const std::u32string& query, std::uint32_t bound,
                                     bool first_exact = false, std::span<const std::uint32_t> schedule = {}) {
  std::vector<NodeHit> hits;
  if (trie.node_count() == 0) return hits;
  const std::size_t n = query.size();
  const auto within = [&](std::size_t j, std::uint32_t v) {
    return schedule.empty() || v <= schedule[std::min(j, schedule.size() - 1)] ? v : kFar;
  };
  std::vector<std::uint32_t> first_row(n + 1);
  for (std::size_t j = 0; j <= n; ++j) first_row[j] = within(j, static_cast<std::uint32_t>(j));
  const ChildrenView children = trie.children();
  const auto dfs = [&](auto&& self, std::uint32_t node, char32_t label, const std::vector<std::uint32_t>& before,
                       const std::vector<std::uint32_t>& row, std::size_t depth) -> void {
    const ChildRange run = children.of(node);
    for (std::size_t p = run.begin; p < run.end; ++p) {
      const std::uint32_t child = children.child(p);
      const char32_t c = children.label(child);
      if (c == 0 || (depth == 0 && first_exact && !query.empty() && c != query[0])) continue;
      std::vector<std::uint32_t> next(n + 1);
      next[0] = within(0, static_cast<std::uint32_t>(depth + 1));
      for (std::size_t j = 1; j <= n; ++j) {
        next[j] = std::min({row[j] + 1, next[j - 1] + 1, row[j - 1] + (query[j - 1] == c ? 0u : 1u)});
        if (depth > 0 && j > 1 && c == query[j - 2] && label == query[j - 1] && within(j - 1, before[j - 2] + 1) != kFar)
          next[j] = std::min(next[j], before[j - 2] + 1);
        next[j] = within(j, std::min(next[j], kFar));
      }
      if (*std::min_element(next.begin(), next.end()) > bound) continue;
      if (next[n] <= bound) hits.push_back({child, next[n]});
      self(self, child, c, row, next, depth + 1);
    }
  };
  dfs(dfs, 0, 0, first_row, first_row, 0);
  return hits;
}

}  // namespace quillon::reference
