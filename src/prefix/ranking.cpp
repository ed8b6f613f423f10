#include "ranking.hpp"

#include <algorithm>
#include <functional>

#include "../utf8.hpp"

namespace quillon {
namespace {

// Sums are kept in an array indexed by video for every video index below
// kDenseVideos (2 MiB of sums, which each thread keeps between calls), and
// for indices up to kDenseVideosPerEntry per entry read (that array lives
// for the call only): the array costs at most a fixed multiple of the work.
constexpr std::size_t kDenseVideos = std::size_t{1} << 18;
constexpr std::size_t kDenseVideosPerEntry = 16;

// A matched node's payload and the weight of its counts.
struct WeightedPayload {
  PayloadView payload;
  double weight;
};

struct Weighing {
  std::vector<WeightedPayload> payloads;  // in walk order
  double total = 0.0;                     // the weighted total count
  std::size_t entries = 0;                // video ids in those payloads
};

Weighing weigh(const Trie& trie, std::span<const NodeHit> nodes, std::string_view term) {
  const double qlen = static_cast<double>(utf8::code_point_count(term));
  Weighing w;
  for (const NodeHit& hit : nodes) {
    double weight = kExactWeight;
    if (hit.dist != 0) {
      weight = qlen == 0 ? 0.0 : (1.0 - static_cast<double>(hit.dist) / qlen) * kFuzzyWeight;
      if (!(weight > 0.0)) continue;
    }
    if (!at(trie.is_terminal, hit.node)) weight *= kPrefixNodeFactor;
    const auto payload = trie.payloads.get(hit.node);
    if (!payload) continue;
    w.total += static_cast<double>(payload->total_count) * weight;
    w.entries += payload->video_ids.size();
    w.payloads.push_back({*payload, weight});
  }
  return w;
}

// Each video's sum in an array indexed by video, added in arrival order, and
// the videos met, in the order of their first contribution: a call visits
// only those, and leaves the array as it found it. No contribution is
// negative, so a negative sum marks a video not met yet.
class DenseSums {
 public:
  // Adds each entry's weighted count to its video's sum, payload by payload.
  // Stops, returning false, at a video index at or past `bound`.
  bool add(std::span<const WeightedPayload> payloads, std::size_t bound) {
    for (const WeightedPayload& p : payloads) {
      const std::span<const std::uint32_t> ids = p.payload.video_ids;
      for (std::size_t i = 0; i < ids.size(); ++i) {
        const std::uint32_t video = ids[i];
        if (video >= sums_.size() && !grow_to_hold(video, bound)) return false;
        double& sum = at(sums_, video);
        if (sum < 0.0) {
          sum = 0.0;
          met_.push_back(video);
        }
        sum += static_cast<double>(at(p.payload.video_counts, i)) * p.weight;
      }
    }
    return true;
  }

  // The videos met whose share of `total` reaches `threshold`, in the order met.
  void candidates(double total, double threshold, std::vector<RankedVideo>& out) const {
    for (const std::uint32_t video : met_) {
      const double score = at(sums_, video) / total;
      if (score >= threshold) out.push_back({video, score});  // a NaN threshold admits nothing
    }
  }

  // Forgets the sums; gives back memory grown for one large call.
  void clear() {
    for (const std::uint32_t video : met_) at(sums_, video) = kNotMet;
    met_.clear();
    if (sums_.size() > kDenseVideos) sums_ = {};
    if (met_.capacity() > kDenseVideos) met_ = {};
  }

 private:
  static constexpr double kNotMet = -1.0;

  bool grow_to_hold(std::uint32_t video, std::size_t bound) {
    if (video >= bound) return false;
    sums_.resize(std::min(bound, std::max<std::size_t>(video + std::size_t{1}, 2 * sums_.size())), kNotMet);
    return true;
  }

  std::vector<double> sums_;
  std::vector<std::uint32_t> met_;
};

// Clears the thread's sums however the call ends.
class ThreadSums {
 public:
  ThreadSums() : sums_(instance()) {}
  ~ThreadSums() { sums_.clear(); }
  ThreadSums(const ThreadSums&) = delete;
  ThreadSums& operator=(const ThreadSums&) = delete;
  DenseSums* operator->() { return &sums_; }

 private:
  static DenseSums& instance() {
    thread_local DenseSums sums;
    return sums;
  }
  DenseSums& sums_;
};

// The same sums for sparse or huge video indices: every contribution sorted
// by video, each video's in arrival order (a stable sort), then summed.
void add_sorted(std::span<const WeightedPayload> payloads, std::size_t entries, double total, double threshold,
                std::vector<RankedVideo>& out) {
  struct Contribution {
    std::uint32_t video;
    double value;
  };
  std::vector<Contribution> contributions;
  contributions.reserve(entries);
  for (const WeightedPayload& p : payloads)
    for (std::size_t i = 0; i < p.payload.video_ids.size(); ++i)
      contributions.push_back(
          {p.payload.video_ids[i], static_cast<double>(at(p.payload.video_counts, i)) * p.weight});
  std::stable_sort(contributions.begin(), contributions.end(),
                   [](const Contribution& a, const Contribution& b) { return a.video < b.video; });
  for (std::size_t i = 0; i < contributions.size();) {
    const std::uint32_t video = contributions[i].video;
    double sum = 0.0;
    for (; i < contributions.size() && contributions[i].video == video; ++i) sum += contributions[i].value;
    const double score = sum / total;
    if (score >= threshold) out.push_back({video, score});
  }
}

// Best first; equal scores by video index, so that the answer does not
// depend on how the sums were kept.
bool better(const RankedVideo& a, const RankedVideo& b) {
  return a.score != b.score ? a.score > b.score : a.video < b.video;
}

}  // namespace

std::size_t dense_video_bound(std::size_t entries) {
  return entries > kDenseVideos / kDenseVideosPerEntry ? entries * kDenseVideosPerEntry : kDenseVideos;
}

std::vector<NodeHit> ranking_nodes(const Trie& trie, const RankingQuery& q) {
  if (q.include_prefix_nodes)
    return fuzzy_match_nodes(trie, q.term, q.max_dist, !*q.include_prefix_nodes, std::nullopt);
  // Without a limit the walk is the same whichever nodes it reports: the
  // terminal hits are the terminal ones among all hits, in the same order.
  std::vector<NodeHit> nodes = fuzzy_match_nodes(trie, q.term, q.max_dist, false, std::nullopt);
  const auto terminal = [&](const NodeHit& hit) { return at(trie.is_terminal, hit.node) != 0; };
  if (std::any_of(nodes.begin(), nodes.end(), terminal)) std::erase_if(nodes, std::not_fn(terminal));
  return nodes;
}

std::vector<RankedVideo> rank_nodes(const Trie& trie, std::span<const NodeHit> nodes, const RankingQuery& q) {
  const Weighing weighing = weigh(trie, nodes, q.term);
  if (!(weighing.total > 0.0)) return {};
  const double threshold = q.min_score.value_or(kDefaultMinScore);

  std::vector<RankedVideo> ranked;
  {
    ThreadSums sums;
    if (sums->add(weighing.payloads, dense_video_bound(weighing.entries)))
      sums->candidates(weighing.total, threshold, ranked);
    else
      add_sorted(weighing.payloads, weighing.entries, weighing.total, threshold, ranked);
  }

  if (q.limit && *q.limit < ranked.size()) {
    const auto keep = static_cast<std::ptrdiff_t>(*q.limit);
    std::nth_element(ranked.begin(), ranked.begin() + keep, ranked.end(), better);
    ranked.resize(*q.limit);
  }
  std::sort(ranked.begin(), ranked.end(), better);

  const std::size_t table = trie.id_table_size();
  std::erase_if(ranked, [&](const RankedVideo& r) { return r.video >= table; });
  return ranked;
}

std::vector<RankedVideo> rank_videos(const Trie& trie, const RankingQuery& q) {
  return rank_nodes(trie, ranking_nodes(trie, q), q);
}

}  // namespace quillon
