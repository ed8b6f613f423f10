// Ranking videos for a typed term from the payloads of the nodes the walk
// matches. The Python method only converts its arguments and the result.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "trie.hpp"

namespace quillon {

struct RankingQuery {
  std::string_view term;  // UTF-8
  std::uint32_t max_dist = 1;
  std::optional<std::uint32_t> limit;
  // Absent: terminal nodes, falling back to every node when none is in reach.
  std::optional<bool> include_prefix_nodes;
  std::optional<double> min_score;  // 0.01 when absent
};

struct RankedVideo {
  std::uint32_t video;  // index into the trie's id table
  double score;
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
std::vector<RankedVideo> rank_videos(const Trie& trie, const RankingQuery& query);

}  // namespace quillon
