// The two searches and the choice of the kind of rows their walk carries.
#include "matcher.hpp"

#include <algorithm>
#include <span>

#include "../utf8.hpp"
#include "banded_rows.hpp"
#include "full_rows.hpp"
#include "walk.hpp"

namespace quillon {
namespace {

// The walk never needs a bound above n + node_count: in a trie without
// cycles no term is longer than node_count - 1, so no distance or row minimum
// exceeds it and the answer is the same; in a trie with a cycle it keeps the
// walk finite. The bound stays below 2^32 - 1 so that bound + 1 fits a
// 32-bit cell.
std::uint32_t effective_bound(std::uint32_t max_dist, std::size_t query_len,
                              std::size_t node_count) {
  const std::uint64_t reachable = std::uint64_t{query_len} + node_count;
  return static_cast<std::uint32_t>(
      std::min<std::uint64_t>({max_dist, reachable, UINT32_MAX - 1}));
}

// The banded or full rows for a bound: bands for the usual bounds and
// wherever the band is narrower than a full row; full rows otherwise.
template <class Cell, class Walk>
void with_cells(std::span<const char32_t> query, std::uint32_t bound, WalkChoice::Rows kind, Walk& walk_with) {
  const auto banded = [&]<std::size_t kSlots>() {
    BandedRows<Cell, kSlots> rows(query, bound);
    walk_with(rows);
  };
  if (kind != WalkChoice::Rows::Full) {
    // The usual bounds get a band of a fixed size, even when it is wider
    // than a short query's row: the band's frontier is what saves the work
    // there.
    switch (bound) {
      case 0: return banded.template operator()<1>();
      case 1: return banded.template operator()<3>();
      case 2: return banded.template operator()<5>();
      case 3: return banded.template operator()<7>();
      default: break;
    }
    if (2 * std::uint64_t{bound} + 1 < query.size() + 1) return banded.template operator()<0>();
  }
  FullRows<Cell> rows(query, bound);
  walk_with(rows);
}

template <class OnChild>
void run_walk(const TrieView& trie, std::string_view term, std::uint32_t max_dist, bool terminal_only,
              std::optional<std::uint32_t> limit, const WalkChoice& choice, OnChild& on_child) {
  if (trie.node_count() == 0) return;  // no root, no hits
  if (limit && *limit == 0) return;    // a result never exceeds its limit
  std::vector<char32_t> query;
  utf8::decode(term, query);
  const std::uint32_t bound = effective_bound(max_dist, query.size(), trie.node_count());
  const auto run = [&](ReachBound* reach) {
    const WalkAids aids{choice.search_edges, reach};
    auto walk_with = [&](auto& rows) { walk(trie, rows, bound, limit, on_child, aids); };
    if (bound < UINT16_MAX)
      with_cells<std::uint16_t>(query, bound, choice.rows, walk_with);
    else
      with_cells<std::uint32_t>(query, bound, choice.rows, walk_with);
  };
  // With a bound of 0 the walk follows exact matches alone, which no reach
  // can make cheaper; without search edges there is no reach to read. The
  // bound is made only where it is used (its tables are not small).
  if (choice.reach_bounds.value_or(terminal_only) && bound > 0 && !trie.search_edges().empty()) {
    ReachBound reach(query, bound, terminal_only);
    run(&reach);
  } else {
    run(nullptr);
  }
}

}  // namespace

std::vector<MatchResult> fuzzy_match(const TrieView& trie, std::string_view term,
                                     std::uint32_t max_dist,
                                     std::optional<std::uint32_t> limit, const WalkChoice& choice) {
  std::vector<MatchResult> hits;
  auto on_child = [&](std::uint32_t child, std::uint32_t dist, std::span<const char32_t> path,
                      char32_t label) {
    if (!at(trie.is_terminal, child)) return false;
    std::string text;
    for (const char32_t cp : path) utf8::append(text, cp);
    utf8::append(text, label);
    hits.push_back({std::move(text), child, dist});
    return true;
  };
  run_walk(trie, term, max_dist, true, limit, choice, on_child);
  return hits;
}

std::vector<NodeHit> fuzzy_match_nodes(const TrieView& trie, std::string_view term,
                                       std::uint32_t max_dist, bool terminal_only,
                                       std::optional<std::uint32_t> limit, const WalkChoice& choice) {
  std::vector<NodeHit> hits;
  auto on_child = [&](std::uint32_t child, std::uint32_t dist, std::span<const char32_t>, char32_t) {
    if (terminal_only && !at(trie.is_terminal, child)) return false;
    hits.push_back({child, dist});
    return true;
  };
  run_walk(trie, term, max_dist, terminal_only, limit, choice, on_child);
  return hits;
}

}  // namespace quillon
