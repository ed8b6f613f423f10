// What the C++ benchmarks share: the word lists, the trie built from one
// with its synthetic catalogue (see benchmarks/README.md, "The data"), and
// the figures' summaries (median and spread over repeats, the CPU use of
// other processes, number formats).
#pragma once

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

#include "prefix/build.hpp"
#include "utf8.hpp"

namespace quillon::bench {

using Clock = std::chrono::steady_clock;

// Stops the program with a message on standard error, named after it.
[[noreturn]] inline void die(const std::string& message) {
  std::cerr << program_invocation_short_name << ": " << message << "\n";
  std::exit(2);
}

inline double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// ----------------------------------------------------------------- words

inline std::string trim(const std::string& line) {
  const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; };
  std::size_t b = 0, e = line.size();
  while (b < e && space(line[b])) ++b;
  while (e > b && space(line[e - 1])) --e;
  return line.substr(b, e - b);
}

// The distinct non-empty lines, in code point order (the byte order of
// UTF-8 is the code point order); with `sample`, about that many of them,
// evenly spaced, picked as common.py picks them.
inline std::vector<std::string> load_words(const std::string& path, std::size_t sample) {
  std::ifstream in(path, std::ios::binary);
  if (!in) die("cannot read " + path);
  std::vector<std::string> words;
  for (std::string line; std::getline(in, line);) {
    std::string w = trim(line);
    if (!w.empty()) words.push_back(std::move(w));
  }
  std::sort(words.begin(), words.end());
  words.erase(std::unique(words.begin(), words.end()), words.end());
  if (sample > 0 && sample < words.size()) {
    const double step = static_cast<double>(words.size()) / static_cast<double>(sample);
    std::vector<std::string> picked;
    for (std::size_t i = 0; i < sample; ++i)
      picked.push_back(words[static_cast<std::size_t>(static_cast<double>(i) * step)]);
    words = std::move(picked);
  }
  return words;
}

inline std::u32string code_points(const std::string& text) {
  std::vector<char32_t> cps;
  utf8::decode(text, cps);
  return {cps.begin(), cps.end()};
}

// ------------------------------------------------------------------ trie

// A node of the trie while it is being assembled from sorted words.
struct Draft {
  char32_t label;
  bool terminal;
  std::vector<std::uint32_t> kids;
};

// The host's arrays for `words` (sorted, distinct): nodes numbered breadth
// first, children in label order, and which nodes end a word.
struct Arrays {
  FlatArrays flat;
  std::vector<bool> terminal;
};

inline Arrays make_arrays(const std::vector<std::u32string>& words, std::uint32_t video_count) {
  std::vector<Draft> drafts{{0, false, {}}};
  std::vector<std::uint32_t> path{0};  // draft ids along the previous word
  const std::u32string* prev = nullptr;
  for (const std::u32string& w : words) {
    std::size_t common = 0;
    if (prev)
      while (common < w.size() && common < prev->size() && w[common] == (*prev)[common]) ++common;
    path.resize(common + 1);
    for (std::size_t i = common; i < w.size(); ++i) {
      const auto id = static_cast<std::uint32_t>(drafts.size());
      drafts.push_back({w[i], false, {}});
      drafts[path.back()].kids.push_back(id);
      path.push_back(id);
    }
    drafts[path.back()].terminal = true;
    prev = &w;
  }

  Arrays out;
  std::vector<std::uint32_t> order{0};  // draft id of each final node id
  out.flat.child_labels.push_back(0);
  out.terminal.push_back(false);
  for (std::size_t next = 0; next < order.size(); ++next) {
    const Draft& d = drafts[order[next]];
    out.flat.node_shifts.push_back(static_cast<std::uint32_t>(out.flat.child_transitions.size()));
    for (const std::uint32_t kid : d.kids) {
      out.flat.child_transitions.push_back(static_cast<std::uint32_t>(order.size()));
      order.push_back(kid);
      out.flat.child_labels.push_back(drafts[kid].label);
      out.terminal.push_back(drafts[kid].terminal);
    }
  }
  for (std::uint32_t v = 0; v < video_count; ++v) {
    const std::uint32_t id = 1000003u * (v + 1);
    for (int b = 0; b < 4; ++b) out.flat.video_index.bytes.push_back(static_cast<std::uint8_t>(id >> (8 * b)));
    out.flat.video_index.close_entry();
  }
  out.flat.video_top_n = 50;
  return out;
}

// One payload per terminal node: 1 to 5 videos picked with Zipf-like
// popularity, Pareto-distributed counts. Fixed by `seed`.
struct Payloads {
  std::vector<std::vector<std::uint32_t>> ids, counts;
  std::vector<std::uint32_t> totals;
};

inline Payloads make_payloads(const std::vector<bool>& terminal, std::uint32_t video_count, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<double> weights(video_count);
  for (std::uint32_t v = 0; v < video_count; ++v) weights[v] = 1.0 / (v + 1);
  std::discrete_distribution<std::uint32_t> video(weights.begin(), weights.end());
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  Payloads p;
  p.ids.resize(terminal.size());
  p.counts.resize(terminal.size());
  p.totals.resize(terminal.size());
  for (std::size_t n = 0; n < terminal.size(); ++n) {
    if (!terminal[n]) continue;
    const int wanted = 1 + static_cast<int>(rng() % 5);
    for (int i = 0; i < wanted; ++i) {
      const std::uint32_t v = video(rng);
      if (std::find(p.ids[n].begin(), p.ids[n].end(), v) != p.ids[n].end()) continue;
      const auto count = static_cast<std::uint32_t>(std::min(1e6, 1.0 / (1.0 - unit(rng))));
      p.ids[n].push_back(v);
      p.counts[n].push_back(count);
      p.totals[n] += count;
    }
  }
  return p;
}

inline Trie build(Arrays arrays, const Payloads& payloads) {
  const std::size_t n = arrays.terminal.size();
  auto source = [&](std::size_t i, PayloadTable& table) -> std::optional<Error> {
    if (!arrays.terminal[i]) {
      table.push_absent();
    } else {
      table.push({payloads.totals[i], payloads.ids[i], payloads.counts[i]});
    }
    return std::nullopt;
  };
  Result<Trie> trie = build_trie(std::move(arrays.flat), n, source);
  if (!trie) die("build_trie failed: " + trie.error().message);
  return std::move(*trie);
}

// The data set of the C++ benchmarks: the distinct words of a list (about
// `sample` of them, or all), a catalogue of a quarter as many videos (at
// least 100), the trie's arrays and payloads fixed by `seed`.
struct DataSet {
  std::vector<std::u32string> words;
  std::uint32_t video_count = 0;
  Arrays arrays;
  Payloads payloads;
};

inline DataSet load_data_set(const std::string& path, std::size_t sample, std::uint32_t seed) {
  DataSet d;
  for (const std::string& w : load_words(path, sample)) d.words.push_back(code_points(w));
  d.video_count = static_cast<std::uint32_t>(std::max<std::size_t>(100, d.words.size() / 4));
  d.arrays = make_arrays(d.words, d.video_count);
  d.payloads = make_payloads(d.arrays.terminal, d.video_count, seed);
  return d;
}

// ---------------------------------------------------------- command line

// A benchmark's command line: one word list, and options that each take a
// value, handed to `option(name, value)`, which returns false for a name it
// does not know. -h or --help prints `usage` and exits. Returns the list's path.
template <class Option>
std::string read_command_line(int argc, char** argv, const char* usage, Option&& option) {
  std::string words_path;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      std::cout << usage;
      std::exit(0);
    }
    if (!a.empty() && a[0] == '-') {
      if (i + 1 >= argc) die("missing value after " + a);
      if (!option(a, std::string(argv[++i]))) die("unknown option " + a);
    } else if (words_path.empty()) {
      words_path = a;
    } else {
      die("one word list only");
    }
  }
  if (words_path.empty()) die(usage);
  return words_path;
}

// ----------------------------------------------------------- measurement

struct Spread {
  double median = 0, min = 0, max = 0;
};

inline Spread spread(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t m = v.size();
  const double median = m % 2 ? v[m / 2] : (v[m / 2 - 1] + v[m / 2]) / 2;
  return {median, v.front(), v.back()};
}

// CPU time other processes used meanwhile, in cores: the machine's busy time
// from /proc/stat minus this process's own.
class CpuMeter {
 public:
  CpuMeter() { start(); }
  void start() {
    t0_ = Clock::now();
    busy0_ = busy();
    own0_ = own();
  }
  std::optional<double> other_cores() const {
    const double wall = seconds_since(t0_);
    const auto b = busy();
    if (!b || !busy0_ || wall <= 0) return std::nullopt;
    return std::max(0.0, (*b - *busy0_) - (own() - own0_)) / wall;
  }

 private:
  static std::optional<double> busy() {
    std::ifstream in("/proc/stat");
    std::string cpu;
    unsigned long long f[8] = {};
    if (!(in >> cpu)) return std::nullopt;
    for (auto& x : f) in >> x;
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    return static_cast<double>(f[0] + f[1] + f[2] + f[5] + f[6]) / tick;
  }
  static double own() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
  }
  Clock::time_point t0_;
  std::optional<double> busy0_;
  double own0_ = 0;
};

inline std::string fmt(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, v >= 100 ? "%.0f" : v >= 10 ? "%.1f" : "%.2f", v);
  return buf;
}

inline std::string fmt_spread(const Spread& s) { return fmt(s.median) + " [" + fmt(s.min) + ".." + fmt(s.max) + "]"; }

}  // namespace quillon::bench
