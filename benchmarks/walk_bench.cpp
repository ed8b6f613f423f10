// The core's fuzzy walk against its textbook twin (tests/reference/walk.hpp)
// on a trie of a real word list, on the same queries.
//
//   walk_bench WORDS [--queries FILE] [--count N] [--seed S] [--repeats R]
//              [--sample N] [--json OUT]
//
// Builds the trie natively with build_trie (breadth-first numbering, children
// in label order, one payload of a few videos per word, top_n 50, so the
// construction time includes propagation), then, for max_dist 0, 1 and 2 and
// each query set, checks that the fast and the reference walk give the same
// answers for every query (abort on the first difference) and times both.
// Queries come from FILE ("kind<TAB>query" per line, as walk_vs_twin.py writes them)
// or are made here, seeded: stored words with 0, 1 and 2 random edits and
// prefixes of 2 to 6 characters.
//
// Then three more reports on the same trie:
//   levers     each way of running the walk (WalkChoice: the kind of rows,
//              the search edges, the reach bounds) against the twin, at
//              max_dist 1 and 2, on the word queries, the two-edit queries
//              and the prefixes with prefix nodes;
//   keystrokes 300 words of the list (seeded), typed one character at a
//              time: the node search on each prefix of 1 to 8 characters, at
//              max_dist 1 and 2, terminal nodes only and every node, time per
//              keystroke (p50, p99, mean) and against the twin;
//   memory     the bytes the derived search data costs per node.
//
// Figures are medians over R repeats with their min..max. Times are the
// thread's CPU time (CLOCK_THREAD_CPUTIME_ID), which a busy machine disturbs
// far less than wall time; each keystroke is timed on the wall clock, its
// least over the repeats. Each repeat of the main table times fast,
// reference, fast again on the whole set (the fast time is the mean of its
// two runs), each run looping over the set often enough to last about 20 ms.
// A visited node is a child whose row of distances was computed, as counted
// by a separate run of the textbook walk.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include "bench_support.hpp"
#include "prefix/matcher.hpp"
#include "reference/trie_builder.hpp"
#include "reference/walk.hpp"
#include "utf8.hpp"

namespace {

using quillon::Trie;
using namespace quillon::bench;

#ifndef QUILLON_BENCH_BUILD_TYPE
#define QUILLON_BENCH_BUILD_TYPE "unknown"
#endif

// CPU time of this thread: what the timed runs are measured in.
double cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// --------------------------------------------------------------- queries

struct QuerySet {
  std::string kind;
  std::vector<std::string> queries;
};

const char* const kKinds[] = {"edit0", "edit1", "edit2", "prefix"};

std::map<std::string, std::vector<std::string>> read_queries(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) die("cannot read " + path);
  std::map<std::string, std::vector<std::string>> out;
  for (std::string line; std::getline(in, line);) {
    const std::size_t tab = line.find('\t');
    if (tab == std::string::npos) die("query line without a tab: " + line);
    out[line.substr(0, tab)].push_back(line.substr(tab + 1));
  }
  return out;
}

// `count` queries of each kind: stored words after 0, 1 or 2 random edits
// (inserted and substituted characters drawn with the list's character
// frequencies), and prefixes of 2 to 6 characters, lengths in turn.
std::map<std::string, std::vector<std::string>> make_queries(const std::vector<std::u32string>& words,
                                                             std::size_t count, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::u32string text;
  for (const auto& w : words) text += w;
  const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  std::map<std::string, std::vector<std::string>> out;
  for (int edits = 0; edits < 3; ++edits) {
    std::vector<const std::u32string*> pool;
    for (const auto& w : words)
      if (w.size() > static_cast<std::size_t>(edits)) pool.push_back(&w);
    auto& list = out[kKinds[edits]];
    for (std::size_t q = 0; q < count; ++q) {
      std::u32string w = *pool[pick(pool.size())];
      for (int e = 0; e < edits; ++e) {
        const int op = static_cast<int>(w.size() > 1 ? pick(3) : pick(2) * 2);  // 0 insert, 1 delete, 2 substitute
        if (op == 0) {
          w.insert(w.begin() + static_cast<std::ptrdiff_t>(pick(w.size() + 1)), text[pick(text.size())]);
        } else if (op == 1) {
          w.erase(w.begin() + static_cast<std::ptrdiff_t>(pick(w.size())));
        } else {
          const std::size_t at = pick(w.size());
          char32_t c = w[at];
          while (c == w[at]) c = text[pick(text.size())];
          w[at] = c;
        }
      }
      list.push_back(quillon::testing::to_utf8(w));
    }
  }
  auto& prefixes = out["prefix"];
  for (std::size_t q = 0; q < count; ++q) {
    const std::size_t len = 2 + q % 5;
    const std::u32string* w;
    do w = &words[pick(words.size())];
    while (w->size() < len);
    prefixes.push_back(quillon::testing::to_utf8(w->substr(0, len)));
  }
  return out;
}

// ------------------------------------------------------------- counting

// Rows the textbook walk makes for one query (one per labelled child of
// every node it enters) and the hits it reports, with no limit.
struct Visits {
  std::uint64_t rows = 0;
  std::uint64_t hits = 0;
};

Visits count_visits(const Trie& trie, const std::string& term, std::uint32_t max_dist, bool terminal_only) {
  quillon::reference::Walk walk(trie, term, max_dist, std::nullopt, terminal_only);
  walk.run();
  return {walk.rows_made, walk.nodes.size()};
}

enum class Search { Terms, Nodes };

// Runs one walk over every query of the set `loops` times; returns the
// seconds taken and folds the hit counts into `sink` so nothing is skipped.
template <class Walk>
double run_set(const std::vector<std::string>& queries, std::size_t loops, Walk&& walk, std::uint64_t& sink) {
  const double start = cpu_seconds();
  for (std::size_t l = 0; l < loops; ++l)
    for (const std::string& q : queries) sink += walk(q);
  return cpu_seconds() - start;
}

struct Cell {
  std::string set;
  std::uint32_t k;
  Search search;
  std::size_t queries;
  double visited_per_query;
  double hits_per_query;
  Spread fast_ns, ref_ns, fast_ns_visit, ref_ns_visit, ratio;
  std::size_t loops;
};

std::string json_spread(const Spread& s) {
  std::ostringstream o;
  o.precision(6);
  o << "{\"median\": " << s.median << ", \"min\": " << s.min << ", \"max\": " << s.max << "}";
  return o.str();
}

std::string json_string(const std::string& s) {
  std::string out = "\"";
  for (const char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

// ---------------------------------------------------------------- levers

using Rows = quillon::WalkChoice::Rows;

// The ways of running the walk that the levers report, each against the twin.
struct Lever {
  const char* name;
  quillon::WalkChoice choice;
};
const Lever kLevers[] = {
    {"baseline", {Rows::Fastest, false, false}},  // the walk before the levers: bands over the arrays
    {"A", {Rows::Fastest, false, true}},          // reach bounds
    {"B", {Rows::Fastest, true, false}},          // search edges
    {"A+B", {Rows::Fastest, true, true}},
    {"searches", {}},                             // what the searches use: B, and A for terminal nodes only
};

struct LeverPlan {
  std::string set;
  std::uint32_t k;
  bool nodes;  // the node search with every node, else the term search
};

struct LeverCell {
  std::string name;
  Spread ns, twin_over;
};

struct LeverRow {
  LeverPlan plan;
  Spread twin_ns;
  std::vector<LeverCell> cells;
};

std::uint64_t run_search(const Trie& trie, const std::string& q, std::uint32_t k, bool nodes,
                         const quillon::WalkChoice* choice) {
  if (!choice)
    return nodes ? quillon::reference::fuzzy_match_nodes(trie, q, k, false, std::nullopt).size()
                 : quillon::reference::fuzzy_match(trie, q, k, std::nullopt).size();
  return nodes ? quillon::fuzzy_match_nodes(trie, q, k, false, std::nullopt, *choice).size()
               : quillon::fuzzy_match(trie, q, k, std::nullopt, *choice).size();
}

// Every lever on one plan: answers checked against the twin, then per
// repeat the twin and each lever (in an order that turns with the repeat),
// each looped to about 10 ms.
LeverRow measure_levers(const Trie& trie, const std::vector<std::string>& queries, const LeverPlan& plan,
                        int repeats, std::uint64_t& sink) {
  for (const Lever& lever : kLevers) {
    for (const std::string& q : queries) {
      const bool same = plan.nodes ? quillon::fuzzy_match_nodes(trie, q, plan.k, false, std::nullopt, lever.choice) ==
                                         quillon::reference::fuzzy_match_nodes(trie, q, plan.k, false, std::nullopt)
                                   : quillon::fuzzy_match(trie, q, plan.k, std::nullopt, lever.choice) ==
                                         quillon::reference::fuzzy_match(trie, q, plan.k, std::nullopt);
      if (!same) die("MISMATCH: lever " + std::string(lever.name) + " on \"" + q + "\", max_dist " + std::to_string(plan.k));
    }
  }
  const auto timed = [&](const quillon::WalkChoice* choice, std::size_t loops) {
    return run_set(queries, loops, [&](const std::string& q) { return run_search(trie, q, plan.k, plan.nodes, choice); },
                   sink);
  };
  const double once = timed(&kLevers[0].choice, 1);
  const std::size_t loops = std::max<std::size_t>(1, static_cast<std::size_t>(std::ceil(0.01 / std::max(once, 1e-9))));
  const double per = static_cast<double>(loops * queries.size());
  const std::size_t n = std::size(kLevers);
  std::vector<std::vector<double>> ns(n), ratio(n);
  std::vector<double> twin_ns;
  for (int r = 0; r < repeats; ++r) {
    const double twin = timed(nullptr, loops);
    twin_ns.push_back(twin * 1e9 / per);
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t l = (i + static_cast<std::size_t>(r)) % n;
      const double t = timed(&kLevers[l].choice, loops);
      ns[l].push_back(t * 1e9 / per);
      ratio[l].push_back(twin / t);
    }
  }
  LeverRow row{plan, spread(twin_ns), {}};
  for (std::size_t l = 0; l < n; ++l) row.cells.push_back({kLevers[l].name, spread(ns[l]), spread(ratio[l])});
  return row;
}

// ------------------------------------------------------------ keystrokes

// 300 words of the list picked with `seed`, each typed one character at a
// time: its prefixes of 1 to 8 characters, in order.
std::vector<std::string> keystroke_prefixes(const std::vector<std::u32string>& words, std::uint32_t seed) {
  std::vector<std::u32string> picked;
  std::mt19937 rng(seed);
  std::sample(words.begin(), words.end(), std::back_inserter(picked), 300, rng);
  std::vector<std::string> out;
  for (const auto& w : picked)
    for (std::size_t len = 1; len <= std::min<std::size_t>(8, w.size()); ++len)
      out.push_back(quillon::testing::to_utf8(w.substr(0, len)));
  return out;
}

struct KeystrokeRow {
  std::uint32_t k;
  bool terminal_only;
  double p50_ns, p99_ns, mean_ns;        // searches' walk, per keystroke (least over the repeats)
  double baseline_p50_ns, baseline_p99_ns;
  Spread twin_over, baseline_over;       // set totals in CPU time, per repeat
  std::vector<double> p50_by_length;     // prefix lengths 1 to 8
};

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(v.size())));
  return v[std::min(v.size() - 1, rank > 0 ? rank - 1 : 0)];
}

KeystrokeRow measure_keystrokes(const Trie& trie, const std::vector<std::string>& prefixes, std::uint32_t k,
                                bool terminal_only, int repeats, std::uint64_t& sink) {
  const quillon::WalkChoice searches{}, baseline = kLevers[0].choice;
  const auto search = [&](const std::string& q, const quillon::WalkChoice* choice) -> std::uint64_t {
    if (!choice) return quillon::reference::fuzzy_match_nodes(trie, q, k, terminal_only, std::nullopt).size();
    return quillon::fuzzy_match_nodes(trie, q, k, terminal_only, std::nullopt, *choice).size();
  };
  for (const std::string& q : prefixes)
    if (quillon::fuzzy_match_nodes(trie, q, k, terminal_only, std::nullopt) !=
        quillon::reference::fuzzy_match_nodes(trie, q, k, terminal_only, std::nullopt))
      die("MISMATCH: keystroke \"" + q + "\", max_dist " + std::to_string(k));
  // Each keystroke on the wall clock, its least time over the repeats.
  const auto per_keystroke = [&](const quillon::WalkChoice& choice) {
    std::vector<double> least(prefixes.size(), 1e300);
    for (int r = 0; r < repeats; ++r)
      for (std::size_t i = 0; i < prefixes.size(); ++i) {
        const auto t0 = Clock::now();
        sink += search(prefixes[i], &choice);
        least[i] = std::min(least[i], seconds_since(t0) * 1e9);
      }
    return least;
  };
  const std::vector<double> fast = per_keystroke(searches), slow = per_keystroke(baseline);
  KeystrokeRow row{k, terminal_only, percentile(fast, 0.5), percentile(fast, 0.99), 0, percentile(slow, 0.5),
                   percentile(slow, 0.99), {}, {}, {}};
  for (const double t : fast) row.mean_ns += t / static_cast<double>(fast.size());
  for (std::size_t len = 1; len <= 8; ++len) {
    std::vector<double> of_length;
    for (std::size_t i = 0; i < prefixes.size(); ++i)
      if (code_points(prefixes[i]).size() == len) of_length.push_back(fast[i]);
    row.p50_by_length.push_back(of_length.empty() ? 0 : percentile(of_length, 0.5));
  }
  std::vector<double> twin_over, baseline_over;
  for (int r = 0; r < repeats; ++r) {
    const double f = run_set(prefixes, 1, [&](const std::string& q) { return search(q, &searches); }, sink);
    const double b = run_set(prefixes, 1, [&](const std::string& q) { return search(q, &baseline); }, sink);
    const double t = run_set(prefixes, 1, [&](const std::string& q) { return search(q, nullptr); }, sink);
    twin_over.push_back(t / f);
    baseline_over.push_back(b / f);
  }
  row.twin_over = spread(twin_over);
  row.baseline_over = spread(baseline_over);
  return row;
}

}  // namespace

constexpr const char* kUsage =
    "usage: walk_bench WORDS [--queries FILE] [--count N] [--seed S] [--repeats R] [--sample N] [--json OUT]\n";

int main(int argc, char** argv) {
  std::string queries_path, json_path;
  std::size_t count = 100;
  std::size_t sample = 0;
  std::uint32_t seed = 20261207;
  int repeats = 5;
  const std::string words_path = read_command_line(argc, argv, kUsage, [&](const std::string& a, const std::string& v) {
    if (a == "--queries") queries_path = v;
    else if (a == "--count") count = std::stoul(v);
    else if (a == "--seed") seed = static_cast<std::uint32_t>(std::stoul(v));
    else if (a == "--repeats") repeats = std::stoi(v);
    else if (a == "--json") json_path = v;
    else if (a == "--sample") sample = std::stoul(v);
    else return false;
    return true;
  });
  if (repeats < 1 || count < 1) die("--repeats and --count must be at least 1");

  CpuMeter meter;
  double loadavg[3] = {0, 0, 0};
  getloadavg(loadavg, 3);

  // Data set and the trie.
  const DataSet data = load_data_set(words_path, sample, seed);
  const std::vector<std::u32string>& words = data.words;
  const Arrays& arrays = data.arrays;
  const Payloads& payloads = data.payloads;
  const std::size_t nodes = arrays.terminal.size();

  // Native construction (build_trie with propagation, top_n 50), repeated
  // while it stays within 30 s.
  std::vector<double> build_s;
  Trie trie;
  const auto build_start = Clock::now();
  while (static_cast<int>(build_s.size()) < repeats && (build_s.empty() || seconds_since(build_start) < 30)) {
    Arrays copy = arrays;
    const auto t0 = Clock::now();
    trie = build(std::move(copy), payloads);
    build_s.push_back(seconds_since(t0));
  }
  std::vector<double> build_rate;
  for (const double s : build_s) build_rate.push_back(static_cast<double>(nodes) / s);

  // Queries.
  std::map<std::string, std::vector<std::string>> by_kind =
      queries_path.empty() ? make_queries(words, count, seed) : read_queries(queries_path);
  std::vector<QuerySet> sets;
  {
    QuerySet pooled{"words", {}};
    for (int e = 0; e < 3; ++e)
      for (const auto& q : by_kind[kKinds[e]]) pooled.queries.push_back(q);
    sets.push_back(std::move(pooled));
    for (const char* kind : kKinds) sets.push_back({kind, by_kind[kind]});
  }
  for (const auto& s : sets)
    if (s.queries.empty()) die("no queries of kind " + s.kind);

  // Agreement first: every query, every bound, both searches.
  std::uint64_t checked = 0;
  for (std::uint32_t k = 0; k <= 2; ++k) {
    for (std::size_t si = 1; si < sets.size(); ++si) {
      for (const std::string& q : sets[si].queries) {
        const auto fast = quillon::fuzzy_match(trie, q, k, std::nullopt);
        const auto ref = quillon::reference::fuzzy_match(trie, q, k, std::nullopt);
        if (fast != ref) {
          std::cerr << "MISMATCH fuzzy_match(\"" << q << "\", " << k << "): fast " << fast.size()
                    << " hits, reference " << ref.size() << " hits\n";
          for (std::size_t i = 0; i < std::max(fast.size(), ref.size()) && i < 10; ++i) {
            std::cerr << "  " << (i < fast.size() ? fast[i].term + "/" + std::to_string(fast[i].dist) : "-")
                      << "  vs  " << (i < ref.size() ? ref[i].term + "/" + std::to_string(ref[i].dist) : "-")
                      << "\n";
          }
          return 1;
        }
        for (const bool terminal_only : {true, false}) {
          const auto fn = quillon::fuzzy_match_nodes(trie, q, k, terminal_only, std::nullopt);
          const auto rn = quillon::reference::fuzzy_match_nodes(trie, q, k, terminal_only, std::nullopt);
          if (fn != rn) {
            std::cerr << "MISMATCH fuzzy_match_nodes(\"" << q << "\", " << k << ", terminal_only "
                      << terminal_only << "): fast " << fn.size() << " hits, reference " << rn.size() << "\n";
            return 1;
          }
        }
        checked += 3;
      }
    }
  }

  // Timing.
  struct Plan {
    std::string set;
    Search search;
  };
  std::vector<Plan> plans;
  for (const auto& s : sets) plans.push_back({s.kind, Search::Terms});
  plans.push_back({"prefix", Search::Nodes});  // search-as-you-type: prefix nodes included

  std::vector<Cell> cells;
  std::uint64_t sink = 0;
  meter.start();
  for (std::uint32_t k = 0; k <= 2; ++k) {
    for (const Plan& plan : plans) {
      const auto& queries =
          std::find_if(sets.begin(), sets.end(), [&](const QuerySet& s) { return s.kind == plan.set; })->queries;
      const bool nodes_search = plan.search == Search::Nodes;
      auto fast = [&](const std::string& q) -> std::uint64_t {
        return nodes_search ? quillon::fuzzy_match_nodes(trie, q, k, false, std::nullopt).size()
                            : quillon::fuzzy_match(trie, q, k, std::nullopt).size();
      };
      auto ref = [&](const std::string& q) -> std::uint64_t {
        return nodes_search ? quillon::reference::fuzzy_match_nodes(trie, q, k, false, std::nullopt).size()
                            : quillon::reference::fuzzy_match(trie, q, k, std::nullopt).size();
      };
      std::uint64_t visited = 0, hits = 0;
      for (const auto& q : queries) {
        const Visits v = count_visits(trie, q, k, !nodes_search);
        visited += v.rows;
        hits += v.hits;
      }
      // Loops per run: enough for the fast walk to take about 20 ms.
      const double once = run_set(queries, 1, fast, sink);
      const std::size_t loops = std::max<std::size_t>(1, static_cast<std::size_t>(std::ceil(0.02 / std::max(once, 1e-9))));
      std::vector<double> fast_ns, ref_ns, ratio;
      const double per = static_cast<double>(loops * queries.size());
      for (int r = 0; r < repeats; ++r) {
        const double f1 = run_set(queries, loops, fast, sink);
        const double rt = run_set(queries, loops, ref, sink);
        const double f2 = run_set(queries, loops, fast, sink);
        const double f = (f1 + f2) / 2;
        fast_ns.push_back(f * 1e9 / per);
        ref_ns.push_back(rt * 1e9 / per);
        ratio.push_back(rt / f);
      }
      const double vpq = static_cast<double>(visited) / static_cast<double>(queries.size());
      std::vector<double> fv, rv;
      for (const double x : fast_ns) fv.push_back(vpq > 0 ? x / vpq : 0);
      for (const double x : ref_ns) rv.push_back(vpq > 0 ? x / vpq : 0);
      cells.push_back({plan.set, k, plan.search, queries.size(), vpq,
                       static_cast<double>(hits) / static_cast<double>(queries.size()), spread(fast_ns),
                       spread(ref_ns), spread(fv), spread(rv), spread(ratio), loops});
    }
  }

  // The levers, the keystrokes and the memory of the derived data.
  std::vector<LeverRow> levers;
  for (const LeverPlan& plan : {LeverPlan{"edit2", 2, false}, LeverPlan{"words", 1, false},
                                LeverPlan{"words", 2, false}, LeverPlan{"prefix", 1, true},
                                LeverPlan{"prefix", 2, true}}) {
    const auto& queries =
        std::find_if(sets.begin(), sets.end(), [&](const QuerySet& s) { return s.kind == plan.set; })->queries;
    levers.push_back(measure_levers(trie, queries, plan, repeats, sink));
  }
  const std::vector<std::string> prefixes = keystroke_prefixes(words, seed);
  std::vector<KeystrokeRow> keystrokes;
  for (const std::uint32_t k : {1u, 2u})
    for (const bool terminal_only : {true, false})
      keystrokes.push_back(measure_keystrokes(trie, prefixes, k, terminal_only, repeats, sink));
  const double derived_bytes =
      static_cast<double>(trie.hints.edges.capacity() * sizeof(quillon::SearchEdge)) / static_cast<double>(nodes);
  const auto other = meter.other_cores();

  // Report.
  const Spread build_spread = spread(build_s), rate_spread = spread(build_rate);
  std::printf("walk_bench: %s, %zu distinct terms, %zu nodes, top_n 50; build type %s\n", words_path.c_str(),
              words.size(), nodes, QUILLON_BENCH_BUILD_TYPE);
  std::printf("queries: %s; %d repeats, median [min..max]\n",
              queries_path.empty() ? ("made here, seed " + std::to_string(seed)).c_str()
                                   : ("from " + queries_path).c_str(),
              repeats);
  std::printf("load average at start %.2f %.2f %.2f; other processes used %s cores while timing\n", loadavg[0],
              loadavg[1], loadavg[2], other ? fmt(*other).c_str() : "n/a");
  std::printf("answers checked: %llu (fast == reference for every query, bound and search)\n",
              static_cast<unsigned long long>(checked));
  std::printf("build_trie (core, with propagation): %s ms = %s nodes/s (%zu runs)\n",
              fmt_spread({build_spread.median * 1e3, build_spread.min * 1e3, build_spread.max * 1e3}).c_str(),
              fmt_spread({rate_spread.median, rate_spread.min, rate_spread.max}).c_str(), build_s.size());
  std::printf("%-14s %2s %7s %9s %7s %24s %24s %18s %18s %20s\n", "set", "k", "queries", "visited", "hits",
              "fast ns/query", "reference ns/query", "fast ns/visited", "ref ns/visited", "reference/fast");
  for (const Cell& c : cells) {
    const std::string name = c.search == Search::Nodes ? c.set + "(nodes)" : c.set;
    std::printf("%-14s %2u %7zu %9.1f %7.1f %24s %24s %18s %18s %20s\n", name.c_str(), c.k, c.queries,
                c.visited_per_query, c.hits_per_query, fmt_spread(c.fast_ns).c_str(), fmt_spread(c.ref_ns).c_str(),
                fmt_spread(c.fast_ns_visit).c_str(), fmt_spread(c.ref_ns_visit).c_str(), fmt_spread(c.ratio).c_str());
  }

  std::printf("\nlevers: ns per query and twin / lever, median [min..max]; baseline = bands over the arrays,\n"
              "A = reach bounds, B = search edges, searches = what the searches use\n");
  for (const LeverRow& row : levers) {
    std::printf("%s k=%u%s: twin %s ns/query\n", row.plan.set.c_str(), row.plan.k, row.plan.nodes ? " (nodes)" : "",
                fmt_spread(row.twin_ns).c_str());
    for (const LeverCell& c : row.cells)
      std::printf("   %-10s %24s ns %20s x\n", c.name.c_str(), fmt_spread(c.ns).c_str(), fmt_spread(c.twin_over).c_str());
  }
  std::printf("\nkeystrokes: %zu prefixes (300 words, seed %u, 1 to 8 characters), node search;\n"
              "ns per keystroke, least over the repeats; twin/searches and baseline/searches on the whole set\n",
              prefixes.size(), seed);
  std::printf("%2s %-9s %8s %8s %8s %13s %13s %20s %20s   p50 by prefix length 1..8\n", "k", "nodes", "p50", "p99",
              "mean", "baseline p50", "baseline p99", "twin/searches", "baseline/searches");
  for (const KeystrokeRow& r : keystrokes) {
    std::printf("%2u %-9s %8.0f %8.0f %8.0f %13.0f %13.0f %20s %20s  ", r.k, r.terminal_only ? "terminal" : "all",
                r.p50_ns, r.p99_ns, r.mean_ns, r.baseline_p50_ns, r.baseline_p99_ns, fmt_spread(r.twin_over).c_str(),
                fmt_spread(r.baseline_over).c_str());
    for (const double t : r.p50_by_length) std::printf(" %.0f", t);
    std::printf("\n");
  }
  std::printf("\nderived search data: %zu search edges of %zu bytes = %.2f bytes per node\n", trie.hints.edges.size(),
              sizeof(quillon::SearchEdge), derived_bytes);
  if (other && *other > 0.3)
    std::printf("NOTE: other processes kept %.2f cores busy while timing: expect wide spreads\n", *other);

  if (!json_path.empty()) {
    std::ofstream out(json_path);
    out << "{\"words\": " << json_string(words_path) << ", \"terms\": " << words.size() << ", \"nodes\": " << nodes
        << ", \"repeats\": " << repeats << ", \"build_type\": " << json_string(QUILLON_BENCH_BUILD_TYPE)
        << ", \"other_cores\": " << (other ? std::to_string(*other) : "null") << ", \"build_s\": "
        << json_spread(build_spread) << ", \"build_nodes_per_s\": " << json_spread(rate_spread)
        << ", \"results\": {";
    for (std::uint32_t k = 0; k <= 2; ++k) {
      out << (k ? ", " : "") << "\"max_dist=" << k << "\": {";
      bool first = true;
      for (const Cell& c : cells) {
        if (c.k != k) continue;
        const std::string name = c.search == Search::Nodes ? c.set + "_nodes" : c.set;
        out << (first ? "" : ", ") << json_string(name) << ": {\"queries\": " << c.queries
            << ", \"visited_per_query\": " << c.visited_per_query << ", \"hits_per_query\": " << c.hits_per_query
            << ", \"loops\": " << c.loops << ", \"fast_ns_per_query\": " << json_spread(c.fast_ns)
            << ", \"reference_ns_per_query\": " << json_spread(c.ref_ns)
            << ", \"fast_ns_per_visited\": " << json_spread(c.fast_ns_visit)
            << ", \"reference_ns_per_visited\": " << json_spread(c.ref_ns_visit)
            << ", \"reference_over_fast\": " << json_spread(c.ratio) << "}";
        first = false;
      }
      out << "}";
    }
    out << "}, \"levers\": [";
    for (std::size_t i = 0; i < levers.size(); ++i) {
      const LeverRow& row = levers[i];
      out << (i ? ", " : "") << "{\"set\": " << json_string(row.plan.set) << ", \"max_dist\": " << row.plan.k
          << ", \"nodes\": " << (row.plan.nodes ? "true" : "false") << ", \"twin_ns_per_query\": " << json_spread(row.twin_ns)
          << ", \"levers\": {";
      for (std::size_t j = 0; j < row.cells.size(); ++j)
        out << (j ? ", " : "") << json_string(row.cells[j].name) << ": {\"ns_per_query\": " << json_spread(row.cells[j].ns)
            << ", \"twin_over\": " << json_spread(row.cells[j].twin_over) << "}";
      out << "}}";
    }
    out << "], \"keystrokes\": [";
    for (std::size_t i = 0; i < keystrokes.size(); ++i) {
      const KeystrokeRow& r = keystrokes[i];
      out << (i ? ", " : "") << "{\"max_dist\": " << r.k << ", \"terminal_only\": " << (r.terminal_only ? "true" : "false")
          << ", \"prefixes\": " << prefixes.size() << ", \"p50_ns\": " << r.p50_ns << ", \"p99_ns\": " << r.p99_ns
          << ", \"mean_ns\": " << r.mean_ns << ", \"baseline_p50_ns\": " << r.baseline_p50_ns
          << ", \"baseline_p99_ns\": " << r.baseline_p99_ns << ", \"twin_over\": " << json_spread(r.twin_over)
          << ", \"baseline_over\": " << json_spread(r.baseline_over) << "}";
    }
    out << "], \"derived_bytes_per_node\": " << derived_bytes << ", \"sink\": " << sink << "}\n";
  }
  return 0;
}
