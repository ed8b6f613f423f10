// The video ranking on a keystroke replay: words sampled from a real list,
// typed one character at a time, each prefix ranked as search-as-you-type
// ranks it (max_dist 1 and 2; include_prefix_nodes absent and true).
//
//   ranking_bench WORDS [--typed N] [--seed S] [--repeats R] [--limit N] [--sample N]
//
// Engines, each timed per keystroke:
//   rank         the ranking step alone (rank_nodes), given the nodes
//   twin         the hash-map twin's ranking step (tests/reference/ranking.hpp), same nodes
//   before       the ranking step as it was before the sums were kept by video:
//                every contribution sorted by (video, arrival), same nodes
//   read         reading the same payloads' entries and adding them all up
//                into one sum: what any ranking of those nodes must do
//   walk         the node search alone: one fuzzy_match_nodes call, terminal
//                nodes only unless prefix nodes are included
//   call         the whole rank_videos call: the node search and the ranking
//   before-call  the whole call as it was: a second walk when no terminal node
//                is in reach, then the sorted ranking
//
// Before timing, every keystroke is checked, and any difference stops the
// program: rank, twin and before give the same videos in the same order with
// scores equal bit for bit, and ranking_nodes gives the nodes of the two walks.
//
// Each repeat runs every engine over the whole replay in turn (the order
// rotating from repeat to repeat), timing each keystroke on its own. Per
// engine: p50 and p99 (nearest rank) and the mean per keystroke; ratios are
// of the means. Figures are medians over the repeats with their min..max.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <iostream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "prefix/matcher.hpp"
#include "prefix/ranking.hpp"
#include "reference/ranking.hpp"
#include "reference/trie_builder.hpp"
#include "utf8.hpp"

namespace {

using namespace quillon;
using namespace quillon::bench;

#ifndef QUILLON_BENCH_BUILD_TYPE
#define QUILLON_BENCH_BUILD_TYPE "unknown"
#endif

// The ranking as it was before the sums were kept by video (but for the
// weighing of each node, which it wrote in place), for the "before" figures
// of the same run.
namespace before {

std::vector<NodeHit> ranking_nodes(const Trie& trie, const RankingQuery& q) {
  if (q.include_prefix_nodes)
    return fuzzy_match_nodes(trie, q.term, q.max_dist, !*q.include_prefix_nodes, std::nullopt);
  std::vector<NodeHit> terminal = fuzzy_match_nodes(trie, q.term, q.max_dist, true, std::nullopt);
  if (!terminal.empty()) return terminal;
  return fuzzy_match_nodes(trie, q.term, q.max_dist, false, std::nullopt);
}

std::vector<RankedVideo> rank_nodes(const Trie& trie, const std::vector<NodeHit>& nodes, const RankingQuery& q) {
  struct Contribution {
    std::uint32_t video;
    std::uint32_t order;
    double value;
  };
  const double qlen = static_cast<double>(utf8::code_point_count(q.term));
  std::vector<Contribution> contributions;
  double weighted_total = 0.0;
  std::uint32_t order = 0;
  for (const NodeHit& hit : nodes) {
    const auto p = weighted_payload(trie, hit, qlen);
    if (!p) continue;
    weighted_total += static_cast<double>(p->payload.total_count) * p->weight;
    for (std::size_t i = 0; i < p->payload.video_ids.size(); ++i)
      contributions.push_back(
          {p->payload.video_ids[i], order++, static_cast<double>(at(p->payload.video_counts, i)) * p->weight});
  }
  if (!(weighted_total > 0.0)) return {};
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
    if (score >= threshold) ranked.push_back({video, score});
  }
  select_best(ranked, q.limit, trie.id_table_size());
  return ranked;
}

}  // namespace before

// `count` distinct words picked with `seed`, each typed one code point at a
// time: every prefix of every word, in typing order.
std::vector<std::string> keystrokes(const std::vector<std::u32string>& words, std::size_t count, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::size_t> picked;
  while (picked.size() < std::min(count, words.size())) {
    const std::size_t w = rng() % words.size();
    if (std::find(picked.begin(), picked.end(), w) == picked.end()) picked.push_back(w);
  }
  std::vector<std::string> out;
  for (const std::size_t w : picked)
    for (std::size_t length = 1; length <= words[w].size(); ++length)
      out.push_back(testing::to_utf8(words[w].substr(0, length)));
  return out;
}

// One configuration of the replay: a bound and a way of choosing nodes.
struct Setting {
  std::uint32_t max_dist;
  std::optional<bool> include_prefix_nodes;
  std::string name() const {
    return "k=" + std::to_string(max_dist) + (include_prefix_nodes ? " prefix nodes" : " default");
  }
};

std::string describe(const std::vector<RankedVideo>& ranked) {
  std::string out;
  for (std::size_t i = 0; i < ranked.size() && i < 8; ++i) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s(%u, %.17g)", i ? " " : "", ranked[i].video, ranked[i].score);
    out += buf;
  }
  return out + (ranked.size() > 8 ? " ..." : "");
}

[[noreturn]] void mismatch(const std::string& what, const std::string& term, const Setting& s,
                           const std::vector<RankedVideo>& a, const std::vector<RankedVideo>& b) {
  die("MISMATCH " + what + " for \"" + term + "\", " + s.name() + ":\n  " + describe(a) + "\n  " + describe(b));
}

// The checks described at the top, for every keystroke of one setting.
void check(const Trie& trie, const std::vector<std::string>& terms, const Setting& s,
           std::optional<std::uint32_t> limit, const std::vector<std::vector<NodeHit>>& nodes) {
  for (std::size_t i = 0; i < terms.size(); ++i) {
    const RankingQuery q{terms[i], s.max_dist, limit, s.include_prefix_nodes, std::nullopt};
    if (nodes[i] != before::ranking_nodes(trie, q)) die("MISMATCH ranking_nodes for \"" + terms[i] + "\", " + s.name());
    const auto fast = rank_nodes(trie, nodes[i], q);
    const auto twin = reference::rank_nodes(trie, nodes[i], q), old = before::rank_nodes(trie, nodes[i], q);
    if (!reference::identical(fast, twin)) mismatch("rank vs twin", terms[i], s, fast, twin);
    if (!reference::identical(fast, old)) mismatch("rank vs before", terms[i], s, fast, old);
  }
}

// The floor of any ranking of `nodes`: every entry of the payloads that
// carry weight read, each node's counts added up (in integers, so that no
// chain of floating-point additions sets the pace) and weighed.
std::size_t read_entries(const Trie& trie, const std::vector<NodeHit>& nodes, const RankingQuery& q) {
  const double qlen = static_cast<double>(utf8::code_point_count(q.term));
  double sum = 0.0;
  std::uint32_t id_bits = 0;
  for (const NodeHit& hit : nodes) {
    const auto p = weighted_payload(trie, hit, qlen);
    if (!p) continue;
    std::uint64_t counts = 0;
    for (std::size_t i = 0; i < p->payload.video_ids.size(); ++i) {
      id_bits |= p->payload.video_ids[i];
      counts += p->payload.video_counts[i];
    }
    sum += static_cast<double>(counts) * p->weight;
  }
  return static_cast<std::size_t>(sum) + id_bits;
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(v.size())));
  return v[std::max<std::size_t>(rank, 1) - 1];
}

struct EngineFigures {
  std::vector<double> p50, p99, mean;  // microseconds, one per repeat
};

}  // namespace

constexpr const char* kUsage =
    "usage: ranking_bench WORDS [--typed N] [--seed S] [--repeats R] [--limit N] [--sample N]\n";

int main(int argc, char** argv) {
  std::size_t typed = 300, sample = 0;
  std::uint32_t seed = 20261207;
  std::optional<std::uint32_t> limit;
  int repeats = 5;
  const std::string words_path = read_command_line(argc, argv, kUsage, [&](const std::string& a, const std::string& v) {
    if (a == "--typed") typed = std::stoul(v);
    else if (a == "--seed") seed = static_cast<std::uint32_t>(std::stoul(v));
    else if (a == "--repeats") repeats = std::stoi(v);
    else if (a == "--limit") limit = static_cast<std::uint32_t>(std::stoul(v));
    else if (a == "--sample") sample = std::stoul(v);
    else return false;
    return true;
  });
  if (repeats < 1 || typed < 1) die("--repeats and --typed must be at least 1");

  const DataSet data = load_data_set(words_path, sample, seed);
  const std::vector<std::u32string>& words = data.words;
  const Trie trie = build(data.arrays, data.payloads);
  const std::vector<std::string> terms = keystrokes(words, typed, seed);

  const std::vector<Setting> settings{{1, std::nullopt}, {1, true}, {2, std::nullopt}, {2, true}};
  const char* const engines[] = {"rank", "twin", "before", "read", "walk", "call", "before-call"};
  constexpr std::size_t kEngines = std::size(engines);

  std::printf("ranking_bench: %s, %zu distinct terms, %zu nodes, %u videos, top_n 50; build type %s\n",
              words_path.c_str(), words.size(), trie.node_count(), data.video_count, QUILLON_BENCH_BUILD_TYPE);
  std::printf("replay: %zu words typed (seed %u), %zu keystrokes; limit %s; %d repeats, median [min..max]\n",
              std::min(typed, words.size()), seed, terms.size(), limit ? std::to_string(*limit).c_str() : "none",
              repeats);
  std::printf("%-18s %-11s %22s %22s %22s\n", "setting", "engine", "p50 us", "p99 us", "mean us");

  std::uint64_t sink = 0;
  std::vector<std::string> ratio_lines;
  for (const Setting& s : settings) {
    std::vector<RankingQuery> queries;
    std::vector<std::vector<NodeHit>> nodes;
    std::size_t entries = 0, most_entries = 0, node_count = 0;
    for (const std::string& t : terms) {
      queries.push_back({t, s.max_dist, limit, s.include_prefix_nodes, std::nullopt});
      nodes.push_back(ranking_nodes(trie, queries.back()));
      std::size_t e = 0;
      for (const NodeHit& hit : nodes.back())
        if (const auto p = trie.payloads.get(hit.node)) e += p->video_ids.size();
      entries += e, most_entries = std::max(most_entries, e), node_count += nodes.back().size();
    }
    check(trie, terms, s, limit, nodes);

    const bool walk_terminal_only = !s.include_prefix_nodes.value_or(false);
    const std::function<std::size_t(std::size_t)> run[kEngines] = {
        [&](std::size_t i) { return rank_nodes(trie, nodes[i], queries[i]).size(); },
        [&](std::size_t i) { return reference::rank_nodes(trie, nodes[i], queries[i]).size(); },
        [&](std::size_t i) { return before::rank_nodes(trie, nodes[i], queries[i]).size(); },
        [&](std::size_t i) { return read_entries(trie, nodes[i], queries[i]); },
        [&](std::size_t i) {
          return fuzzy_match_nodes(trie, queries[i].term, s.max_dist, walk_terminal_only, std::nullopt).size();
        },
        [&](std::size_t i) { return rank_videos(trie, queries[i]).size(); },
        [&](std::size_t i) {
          return before::rank_nodes(trie, before::ranking_nodes(trie, queries[i]), queries[i]).size();
        },
    };
    EngineFigures figures[kEngines];
    std::vector<double> ns(terms.size());
    CpuMeter meter;
    for (int r = 0; r < repeats; ++r) {
      for (std::size_t step = 0; step < kEngines; ++step) {
        const std::size_t e = (step + static_cast<std::size_t>(r)) % kEngines;
        double total = 0;
        for (std::size_t i = 0; i < terms.size(); ++i) {
          const auto t0 = Clock::now();
          sink += run[e](i);
          ns[i] = seconds_since(t0) * 1e6;
          total += ns[i];
        }
        figures[e].p50.push_back(percentile(ns, 0.50));
        figures[e].p99.push_back(percentile(ns, 0.99));
        figures[e].mean.push_back(total / static_cast<double>(terms.size()));
      }
    }
    const auto other = meter.other_cores();

    for (std::size_t e = 0; e < kEngines; ++e)
      std::printf("%-18s %-11s %22s %22s %22s\n", e == 0 ? s.name().c_str() : "", engines[e],
                  fmt_spread(spread(figures[e].p50)).c_str(), fmt_spread(spread(figures[e].p99)).c_str(),
                  fmt_spread(spread(figures[e].mean)).c_str());
    const auto ratio = [&](std::size_t a, std::size_t b) {
      std::vector<double> v;
      for (int r = 0; r < repeats; ++r) v.push_back(figures[a].mean[r] / figures[b].mean[r]);
      return fmt_spread(spread(v));
    };
    char line[512];
    std::snprintf(line, sizeof line,
                  "%-18s %9.0f %9zu %8.0f  %18s %18s %18s %18s %18s %18s  %s", s.name().c_str(),
                  static_cast<double>(entries) / static_cast<double>(terms.size()), most_entries,
                  static_cast<double>(node_count) / static_cast<double>(terms.size()), ratio(1, 0).c_str(),
                  ratio(2, 0).c_str(), ratio(0, 3).c_str(), ratio(0, 4).c_str(), ratio(5, 4).c_str(), ratio(6, 4).c_str(),
                  other ? fmt(*other).c_str() : "n/a");
    ratio_lines.push_back(line);
  }

  std::printf("\nratios of the mean per keystroke; entries: payload entries of the matched nodes per keystroke\n");
  std::printf("%-18s %9s %9s %8s  %18s %18s %18s %18s %18s %18s  %s\n", "setting", "entries", "most", "nodes",
              "twin/rank", "before/rank", "rank/read", "rank/walk", "call/walk", "before-call/walk", "other cores");
  for (const std::string& l : ratio_lines) std::printf("%s\n", l.c_str());
  std::printf("answers checked on every keystroke: rank == twin == before, bit for bit, and the same nodes "
              "(sink %llu)\n",
              static_cast<unsigned long long>(sink));
  return 0;
}
