#include "ranking.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
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
constexpr std::size_t kCacheLine = 64;

struct Weighing {
  std::vector<WeightedPayload> payloads;  // in walk order
  double total = 0.0;                     // the weighted total count
  std::size_t entries = 0;                // video ids in those payloads
};

Weighing weigh(const TrieView& trie, std::span<const NodeHit> nodes, std::string_view term) {
  const double qlen = static_cast<double>(utf8::code_point_count(term));
  Weighing w;
  for (const NodeHit& hit : nodes) {
    const std::optional<WeightedPayload> p = weighted_payload(trie, hit, qlen);
    if (!p) continue;
    w.total += static_cast<double>(p->payload.total_count) * p->weight;
    w.entries += p->payload.video_ids.size();
    w.payloads.push_back(*p);
    // The lists are read only later, by then from the cache: asked for now,
    // all of them are fetched at once rather than one node after the other.
    for (std::size_t i = 0; i < p->payload.video_ids.size(); i += kCacheLine / sizeof(std::uint32_t)) {
      __builtin_prefetch(p->payload.video_ids.data() + i);
      __builtin_prefetch(p->payload.video_counts.data() + i);
    }
  }
  return w;
}

// Each video's sum in an array indexed by video, added in arrival order, and
// the videos met, in the order of their first contribution: a call visits
// only those, and leaves the array as it found it. A sum not started is
// -0.0: adding a contribution (never negative, never -0.0) to it gives
// exactly what adding it to 0.0 gives, and clears the sign, which thus tells
// the videos met from the others.
class DenseSums {
 public:
  // Adds each entry's weighted count to its video's sum, payload by payload
  // (`entries` of them in all). Stops, returning false, at a video index at
  // or past `bound`.
  bool add(std::span<const WeightedPayload> payloads, std::size_t entries, std::size_t bound) {
    // The loop indexes plainly, every index checked before it is used: an
    // entry meets at most one new video, so `met` has room for them all; a
    // payload's counts are checked to be as many as its ids; a video index
    // is compared with the size of the sums.
    if (met_.size() < entries) met_.resize(entries);
    std::uint32_t* const met = met_.data();
    std::size_t met_count = 0;
    double* sums = sums_.data();
    std::size_t size = sums_.size();
    for (const WeightedPayload& p : payloads) {
      const std::span<const std::uint32_t> ids = p.payload.video_ids, counts = p.payload.video_counts;
      if (counts.size() < ids.size()) throw_out_of_bounds(counts.size(), counts.size());
      const double weight = p.weight;
      for (std::size_t i = 0; i < ids.size(); ++i) {
        const std::uint32_t video = ids[i];
        if (video >= size) [[unlikely]] {
          if (!grow_to_hold(video, bound)) {
            met_count_ = met_count;
            return false;
          }
          sums = sums_.data();
          size = sums_.size();
        }
        // Without a branch: whether a video is new is a coin toss.
        const double sum = sums[video];
        met[met_count] = video;
        met_count += std::signbit(sum) ? 1 : 0;
        sums[video] = sum + static_cast<double>(counts[i]) * weight;
      }
    }
    met_count_ = met_count;
    return true;
  }

  // The videos met whose share of `total` reaches `threshold`, in the order met.
  void candidates(double total, double threshold, std::vector<RankedVideo>& out) const {
    for (std::size_t i = 0; i < met_count_; ++i) {
      const std::uint32_t video = at(met_, i);
      const double score = at(sums_, video) / total;
      if (score >= threshold) out.push_back({video, score});  // a NaN threshold admits nothing
    }
  }

  // Forgets the sums; gives back memory grown for one large call.
  void clear() {
    for (std::size_t i = 0; i < met_count_; ++i) at(sums_, at(met_, i)) = kNotMet;
    met_count_ = 0;
    if (sums_.size() > kDenseVideos) sums_ = {};
    if (met_.size() > kDenseVideos) met_ = {};
  }

 private:
  static constexpr double kNotMet = -0.0;

  bool grow_to_hold(std::uint32_t video, std::size_t bound) {
    if (video >= bound) return false;
    sums_.resize(std::min(bound, std::max<std::size_t>(video + std::size_t{1}, 2 * sums_.size())), kNotMet);
    return true;
  }

  std::vector<double> sums_;
  std::vector<std::uint32_t> met_;  // the first met_count_ entries are in use
  std::size_t met_count_ = 0;
};

// The thread's sums for one call, cleared however the call ends: through
// the videos met, or, when an exception leaves them unrecorded, entirely.
class ThreadSums {
 public:
  ThreadSums() : sums_(instance()), exceptions_(std::uncaught_exceptions()) {}
  ~ThreadSums() {
    if (std::uncaught_exceptions() != exceptions_)
      sums_ = DenseSums();
    else
      sums_.clear();
  }
  ThreadSums(const ThreadSums&) = delete;
  ThreadSums& operator=(const ThreadSums&) = delete;
  DenseSums* operator->() { return &sums_; }

 private:
  static DenseSums& instance() {
    thread_local DenseSums sums;
    return sums;
  }
  DenseSums& sums_;
  int exceptions_;
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

}  // namespace

std::optional<WeightedPayload> weighted_payload(const TrieView& trie, const NodeHit& hit, double qlen) {
  double weight = distance_weight(hit.dist, qlen);
  if (weight == 0.0) return std::nullopt;
  if (!at(trie.is_terminal, hit.node)) weight *= kPrefixNodeFactor;
  const std::optional<PayloadView> payload = trie.payloads.get(hit.node);
  if (!payload) return std::nullopt;
  return WeightedPayload{*payload, weight};
}

std::size_t dense_video_bound(std::size_t entries) {
  return entries > kDenseVideos / kDenseVideosPerEntry ? entries * kDenseVideosPerEntry : kDenseVideos;
}

std::vector<NodeHit> ranking_nodes(const TrieView& trie, const RankingQuery& q) {
  if (q.include_prefix_nodes)
    return fuzzy_match_nodes(trie, q.term, q.max_dist, !*q.include_prefix_nodes, std::nullopt);
  return ranking_nodes_among(trie, fuzzy_match_nodes(trie, q.term, q.max_dist, false, std::nullopt), std::nullopt);
}

std::vector<NodeHit> ranking_nodes_among(const TrieView& trie, std::vector<NodeHit> nodes,
                                         std::optional<bool> include_prefix_nodes) {
  // Without a limit the walk is the same whichever nodes it reports: the
  // terminal hits are the terminal ones among all hits, in the same order.
  const auto terminal = [&](const NodeHit& hit) { return at(trie.is_terminal, hit.node) != 0; };
  if (include_prefix_nodes.value_or(false)) return nodes;
  if (include_prefix_nodes || std::any_of(nodes.begin(), nodes.end(), terminal))
    std::erase_if(nodes, std::not_fn(terminal));
  return nodes;
}

std::vector<RankedVideo> rank_nodes(const TrieView& trie, std::span<const NodeHit> nodes, const RankingQuery& q) {
  const Weighing weighing = weigh(trie, nodes, q.term);
  if (!(weighing.total > 0.0)) return {};
  const double threshold = q.min_score.value_or(kDefaultMinScore);

  std::vector<RankedVideo> ranked;
  {
    ThreadSums sums;
    if (sums->add(weighing.payloads, weighing.entries, dense_video_bound(weighing.entries))) {
      sums->candidates(weighing.total, threshold, ranked);
      // In video order, as the sorted sums give them: the order of equal
      // scores must not depend on how the sums were kept.
      std::sort(ranked.begin(), ranked.end(),
                [](const RankedVideo& a, const RankedVideo& b) { return a.video < b.video; });
    } else {
      add_sorted(weighing.payloads, weighing.entries, weighing.total, threshold, ranked);
    }
  }
  select_best(ranked, q.limit, trie.id_table_size(), q.ties_by_video);
  return ranked;
}

void select_best(std::vector<RankedVideo>& candidates, std::optional<std::uint32_t> limit,
                 std::size_t id_table_size, bool ties_by_video) {
  const auto select = [&](auto best_first) {
    if (limit && *limit < candidates.size()) {
      const auto keep = static_cast<std::ptrdiff_t>(*limit);
      std::nth_element(candidates.begin(), candidates.begin() + keep, candidates.end(), best_first);
      candidates.resize(*limit);
    }
    std::sort(candidates.begin(), candidates.end(), best_first);
  };
  if (ties_by_video)
    select([](const RankedVideo& a, const RankedVideo& b) { return a.score != b.score ? a.score > b.score : a.video < b.video; });
  else
    select([](const RankedVideo& a, const RankedVideo& b) { return a.score > b.score; });
  std::erase_if(candidates, [&](const RankedVideo& r) { return r.video >= id_table_size; });
}

std::vector<RankedVideo> rank_videos(const TrieView& trie, const RankingQuery& q) {
  return rank_nodes(trie, ranking_nodes(trie, q), q);
}

}  // namespace quillon
