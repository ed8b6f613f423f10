// Ranking videos for a typed term from the payloads of the matched nodes.
// Plain C++: the Python method only converts arguments and results.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "prefix/trie.hpp"

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

// The id text of a video: the UUID as 36 lowercase hexadecimal digits and
// hyphens (8-4-4-4-12), or the 32-bit id in decimal. REQUIRES: video is
// inside the id table.
std::size_t id_text_size(const Trie& trie, std::uint32_t video);
// Writes exactly id_text_size(trie, video) characters to `out`.
void write_id_text(const Trie& trie, std::uint32_t video, char* out);

}  // namespace quillon
