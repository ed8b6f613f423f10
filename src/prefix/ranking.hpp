// Ranking videos for a typed term from the payloads of the nodes the walk
// matches. The Python method only converts its arguments and the result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "matcher.hpp"
#include "trie_view.hpp"

namespace quillon {

struct RankingQuery {
  std::string_view term;  // UTF-8
  std::uint32_t max_dist = 1;
  std::optional<std::uint32_t> limit;
  // Absent: terminal nodes, falling back to every node when none is in reach.
  std::optional<bool> include_prefix_nodes;
  std::optional<double> min_score;  // 0.01 when absent
  // Equal scores by video index (the id table's order) instead of in the
  // order the standard library leaves them: for callers that must answer
  // the same whatever the limit.
  bool ties_by_video = false;
};

struct RankedVideo {
  std::uint32_t video;  // index into the trie's id table
  double score;

  bool operator==(const RankedVideo&) const = default;
};

// Node weights: an exact match counts fully, a near one by how much of the
// term it got right, scaled down; a node where no term ends counts less.
inline constexpr double kExactWeight = 1.0;
inline constexpr double kFuzzyWeight = 0.05;
inline constexpr double kPrefixNodeFactor = 0.85;
inline constexpr double kDefaultMinScore = 0.01;

// Each video's share of the matched nodes' weighted total count, best first,
// at most `limit` of them, those below the minimum score left out, as are
// (after the limit) videos whose index lies outside the id table.
std::vector<RankedVideo> rank_videos(const TrieView& trie, const RankingQuery& query);

// The pieces of rank_videos, for the twin in tests/reference/ and the
// benchmarks, which measure each step on its own.

// The nodes the query ranks, in walk order: with include_prefix_nodes absent,
// the terminal ones, or every node within reach when none of them is terminal.
std::vector<NodeHit> ranking_nodes(const TrieView& trie, const RankingQuery& query);
// The same nodes chosen from every node within reach (in walk order), for a
// caller whose walk found them all.
std::vector<NodeHit> ranking_nodes_among(const TrieView& trie, std::vector<NodeHit> nodes,
                                         std::optional<bool> include_prefix_nodes);
// The ranking of those nodes' videos (query.term only gives the weights).
std::vector<RankedVideo> rank_nodes(const TrieView& trie, std::span<const NodeHit> nodes, const RankingQuery& query);

// The weight of a node `dist` edits from a term of `qlen` code points, before
// the factor of a node where no term ends; 0 when the node adds nothing.
inline double distance_weight(std::uint32_t dist, double qlen) {
  if (dist == 0) return kExactWeight;
  const double weight = qlen == 0 ? 0.0 : (1.0 - static_cast<double>(dist) / qlen) * kFuzzyWeight;
  return weight > 0.0 ? weight : 0.0;
}

// A matched node's payload and the weight of its counts.
struct WeightedPayload {
  PayloadView payload;
  double weight;
};

// The payload of a node hit with its weight, for a term of `qlen` code
// points; nothing when the node adds nothing (too far, or no payload).
std::optional<WeightedPayload> weighted_payload(const TrieView& trie, const NodeHit& hit, double qlen);

// The best of `candidates` (in video order), best first, at most `limit`,
// then without the videos outside an id table of `id_table_size`: a
// select-nth and an unstable sort by score alone. Equal scores come out in
// an order the standard library decides, the same for the same candidates;
// with `ties_by_video`, by video index.
void select_best(std::vector<RankedVideo>& candidates, std::optional<std::uint32_t> limit,
                 std::size_t id_table_size, bool ties_by_video = false);

// Video sums are kept in an array indexed by video while every index read is
// below this bound, and otherwise by sorting the contributions: the array
// never grows past a fixed size or a fixed multiple of the entries read.
std::size_t dense_video_bound(std::size_t entries);

}  // namespace quillon
