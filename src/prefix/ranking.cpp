#include "ranking.hpp"

#include <algorithm>

#include "../utf8.hpp"
#include "matcher.hpp"

namespace quillon {
namespace {

std::vector<NodeHit> matched_nodes(const Trie& trie, const RankingQuery& q) {
  if (q.include_prefix_nodes)
    return fuzzy_match_nodes(trie, q.term, q.max_dist, !*q.include_prefix_nodes, std::nullopt);
  std::vector<NodeHit> terminal = fuzzy_match_nodes(trie, q.term, q.max_dist, true, std::nullopt);
  if (!terminal.empty()) return terminal;
  return fuzzy_match_nodes(trie, q.term, q.max_dist, false, std::nullopt);
}

// A weighted count of one video from one node, in the order the nodes and
// their lists were met: each video's sum is added up in exactly that order.
struct Contribution {
  std::uint32_t video;
  std::uint32_t order;
  double value;
};

}  // namespace

std::vector<RankedVideo> rank_videos(const Trie& trie, const RankingQuery& q) {
  const std::vector<NodeHit> nodes = matched_nodes(trie, q);
  const double qlen = static_cast<double>(utf8::code_point_count(q.term));

  std::vector<Contribution> contributions;
  double weighted_total = 0.0;
  std::uint32_t order = 0;
  for (const NodeHit& hit : nodes) {
    double weight = kExactWeight;
    if (hit.dist != 0) {
      weight = qlen == 0 ? 0.0 : (1.0 - static_cast<double>(hit.dist) / qlen) * kFuzzyWeight;
      if (!(weight > 0.0)) continue;
    }
    if (!at(trie.is_terminal, hit.node)) weight *= kPrefixNodeFactor;
    const auto payload = trie.payloads.get(hit.node);
    if (!payload) continue;
    weighted_total += static_cast<double>(payload->total_count) * weight;
    for (std::size_t i = 0; i < payload->video_ids.size(); ++i)
      contributions.push_back(
          {payload->video_ids[i], order++, static_cast<double>(at(payload->video_counts, i)) * weight});
  }
  if (!(weighted_total > 0.0)) return {};

  // Sum per video, in the order the contributions arrived.
  std::sort(contributions.begin(), contributions.end(), [](const Contribution& a, const Contribution& b) {
    return a.video != b.video ? a.video < b.video : a.order < b.order;
  });
  const double threshold = q.min_score.value_or(kDefaultMinScore);
  std::vector<RankedVideo> ranked;
  for (std::size_t i = 0; i < contributions.size();) {
    const std::uint32_t video = contributions[i].video;
    double sum = 0.0;
    for (; i < contributions.size() && contributions[i].video == video; ++i) sum += contributions[i].value;
    const double score = sum / weighted_total;
    if (score >= threshold) ranked.push_back({video, score});  // a NaN threshold admits nothing
  }

  const auto best_first = [](const RankedVideo& a, const RankedVideo& b) { return a.score > b.score; };
  std::size_t keep = ranked.size();
  if (q.limit && *q.limit < keep) {
    keep = *q.limit;
    std::nth_element(ranked.begin(), ranked.begin() + static_cast<std::ptrdiff_t>(keep), ranked.end(),
                     best_first);
    ranked.resize(keep);
  }
  std::sort(ranked.begin(), ranked.end(), best_first);

  const std::size_t table = trie.id_table_size();
  std::erase_if(ranked, [&](const RankedVideo& r) { return r.video >= table; });
  return ranked;
}

}  // namespace quillon
