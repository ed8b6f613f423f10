// The video ranking as its definition reads, kept as the obviously correct
// twin of src/prefix/ranking.cpp: the nodes from the textbook walk (walked a
// second time when no terminal node is in reach), each video's weighted
// counts summed in a hash map made for the call. The candidates, put in
// video order, go through the ranking's own select_best, which leaves the
// order of equal scores to the standard library: so the two answers compare
// whole, order included. Tests, the walk fuzzer and the ranking benchmark
// compare the fast ranking against it.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "prefix/ranking.hpp"
#include "reference/walk.hpp"
#include "utf8.hpp"

namespace quillon::reference {

inline std::vector<NodeHit> ranking_nodes(const Trie& trie, const RankingQuery& q) {
  if (q.include_prefix_nodes)
    return reference::fuzzy_match_nodes(trie, q.term, q.max_dist, !*q.include_prefix_nodes, std::nullopt);
  std::vector<NodeHit> terminal = reference::fuzzy_match_nodes(trie, q.term, q.max_dist, true, std::nullopt);
  if (!terminal.empty()) return terminal;
  return reference::fuzzy_match_nodes(trie, q.term, q.max_dist, false, std::nullopt);
}

inline std::vector<RankedVideo> rank_nodes(const Trie& trie, const std::vector<NodeHit>& nodes,
                                           const RankingQuery& q) {
  std::vector<char32_t> code_points;
  utf8::decode(q.term, code_points);
  const double qlen = static_cast<double>(code_points.size());

  std::unordered_map<std::uint32_t, double> sums;
  sums.reserve(16 * nodes.size());
  double total = 0.0;
  for (const NodeHit& hit : nodes) {
    double weight = 1.0;
    if (hit.dist != 0) {
      weight = qlen == 0 ? 0.0 : (1.0 - static_cast<double>(hit.dist) / qlen) * 0.05;
      if (!(weight > 0.0)) continue;
    }
    if (at(trie.is_terminal, hit.node) == 0) weight *= 0.85;
    const std::optional<PayloadView> payload = trie.payloads.get(hit.node);
    if (!payload) continue;
    total += static_cast<double>(payload->total_count) * weight;
    for (std::size_t i = 0; i < payload->video_ids.size(); ++i)
      sums[payload->video_ids[i]] += static_cast<double>(at(payload->video_counts, i)) * weight;
  }
  if (!(total > 0.0)) return {};

  const double threshold = q.min_score.value_or(0.01);
  std::vector<RankedVideo> ranked;
  for (const auto& [video, sum] : sums)
    if (sum / total >= threshold) ranked.push_back({video, sum / total});
  std::sort(ranked.begin(), ranked.end(), [](const RankedVideo& a, const RankedVideo& b) { return a.video < b.video; });
  select_best(ranked, q.limit, trie.id_table_size());
  return ranked;
}

inline std::vector<RankedVideo> rank_videos(const Trie& trie, const RankingQuery& q) {
  return reference::rank_nodes(trie, reference::ranking_nodes(trie, q), q);
}

// True when both rankings list the same videos in the same order with
// scores equal bit for bit.
inline bool identical(const std::vector<RankedVideo>& a, const std::vector<RankedVideo>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const RankedVideo& x, const RankedVideo& y) {
    return x.video == y.video && std::bit_cast<std::uint64_t>(x.score) == std::bit_cast<std::uint64_t>(y.score);
  });
}

}  // namespace quillon::reference
