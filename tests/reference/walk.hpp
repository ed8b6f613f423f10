// The textbook trie walk, kept as the obviously correct twin of the fast one
// in src/prefix/walk.hpp: recursive, one full row of n + 1 uncapped 64-bit
// cells per depth, every row allocated on its own. Tests, fuzzers and the
// walk benchmark compare the fast walk against it; the benchmark also counts
// the rows it makes.
//
// It follows the same rules as the fast walk: the bound is
// min(max_dist, n + node count), a limit of 0 yields nothing, a trie with no
// nodes has no hits. Recursion depth is at most n + bound + 1, so keep it to
// inputs of modest depth.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "prefix/matcher.hpp"
#include "utf8.hpp"

namespace quillon::reference {

struct Walk {
  const Trie& trie;
  std::vector<char32_t> query;
  std::uint64_t bound;
  std::optional<std::uint32_t> limit;
  bool terminal_only;
  std::vector<std::vector<std::uint64_t>> rows;
  std::vector<char32_t> path;
  std::vector<MatchResult> terms;
  std::vector<NodeHit> nodes;
  std::size_t hits = 0;
  std::uint64_t rows_made = 0;  // one per labelled child of every node entered

  Walk(const Trie& t, std::string_view term, std::uint32_t max_dist,
       std::optional<std::uint32_t> lim, bool terminal)
      : trie(t), limit(lim), terminal_only(terminal) {
    utf8::decode(term, query);
    bound = std::min<std::uint64_t>(max_dist, query.size() + trie.node_count());
    std::vector<std::uint64_t> first(query.size() + 1);
    for (std::size_t j = 0; j <= query.size(); ++j) first[j] = j;
    rows.push_back(std::move(first));
  }

  // Returns true once the limit is reached.
  bool dfs(std::size_t node, std::size_t depth) {
    const ChildrenView children = trie.children();
    const ChildRange range = children.of(node);
    for (std::size_t p = range.begin; p < range.end; ++p) {
      const std::uint32_t child = children.child(p);
      const char32_t label = children.label(child);
      if (label == 0) continue;
      ++rows_made;
      const std::size_t n = query.size();
      if (rows.size() < depth + 2) rows.emplace_back(n + 1);
      const std::vector<std::uint64_t>& prev = rows[depth];
      std::vector<std::uint64_t>& cur = rows[depth + 1];
      cur[0] = depth + 1;
      for (std::size_t j = 1; j <= n; ++j)
        cur[j] = std::min({prev[j - 1] + (query[j - 1] == label ? 0 : 1), prev[j] + 1, cur[j - 1] + 1});
      if (*std::min_element(cur.begin(), cur.end()) > bound) continue;
      if (cur[n] <= bound && (!terminal_only || at(trie.is_terminal, child))) {
        path.push_back(label);
        std::string text;
        for (const char32_t cp : path) utf8::append(text, cp);
        path.pop_back();
        terms.push_back({std::move(text), child, static_cast<std::uint32_t>(cur[n])});
        nodes.push_back({child, static_cast<std::uint32_t>(cur[n])});
        if (limit && ++hits >= *limit) return true;
      }
      path.push_back(label);
      const bool stop = dfs(child, depth + 1);
      path.pop_back();
      if (stop) return true;
    }
    return false;
  }

  void run() {
    if (trie.node_count() == 0 || (limit && *limit == 0)) return;
    dfs(0, 0);
  }
};

inline std::vector<MatchResult> fuzzy_match(const Trie& trie, std::string_view term,
                                            std::uint32_t max_dist,
                                            std::optional<std::uint32_t> limit) {
  Walk walk(trie, term, max_dist, limit, true);
  walk.run();
  return std::move(walk.terms);
}

inline std::vector<NodeHit> fuzzy_match_nodes(const Trie& trie, std::string_view term,
                                              std::uint32_t max_dist, bool terminal_only,
                                              std::optional<std::uint32_t> limit) {
  Walk walk(trie, term, max_dist, limit, terminal_only);
  walk.run();
  return std::move(walk.nodes);
}

}  // namespace quillon::reference
