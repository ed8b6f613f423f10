#include "matcher.hpp"

#include <algorithm>
#include <bit>
#include <span>
#include <type_traits>

#include "../utf8.hpp"

namespace quillon {
namespace {

// The walk never needs a bound above n + node_count: in a trie without
// cycles no term is longer than node_count - 1, so no distance or row minimum
// exceeds it and the answer is the same; in a trie with a cycle it keeps the
// walk finite. The bound stays below 2^32 - 1 so that bound + 1 fits a
// 32-bit cell.
std::uint32_t effective_bound(std::uint32_t max_dist, std::size_t query_len,
                              std::size_t node_count) {
  const std::uint64_t reachable = std::uint64_t{query_len} + node_count;
  return static_cast<std::uint32_t>(
      std::min<std::uint64_t>({max_dist, reachable, UINT32_MAX - 1}));
}

enum class Step { Entered, Finished, Stop };

// What a child's row tells the walk: the least cell (a subtree whose least
// cell exceeds the bound holds no hit) and the last cell (the distance of the
// child's own term).
struct RowSummary {
  std::uint64_t min;
  std::uint64_t last;
};

// Cells hold min(true distance, bound + 1): every value above the bound
// decides the same way, so a cell only needs to hold bound + 1 and 16 bits
// do for every bound below 65535.
template <class Cell>
using WideOf = std::conditional_t<sizeof(Cell) < 4, std::uint32_t, std::uint64_t>;

// One full row of n + 1 cells per depth: cell j of row d is the distance
// between the first j query characters and the node's term at depth d.
// Chosen for a bound above 3 whose band would be no narrower than the row.
template <class Cell>
class FullRows {
 public:
  using Wide = WideOf<Cell>;

  FullRows(std::span<const char32_t> query, std::uint32_t bound)
      : query_(query), width_(query.size() + 1), cap_(Wide{bound} + 1), cells_(width_) {
    for (std::size_t j = 0; j < width_; ++j) cells_[j] = static_cast<Cell>(std::min<Wide>(j, cap_));
  }

  // Fills the row of a child at depth + 1 labelled `label` from the row of
  // its parent at `depth`.
  RowSummary step(std::size_t depth, char32_t label) {
    if (cells_.size() < (depth + 2) * width_) cells_.resize((depth + 2) * width_);
    const Cell* prev = cells_.data() + depth * width_;
    Cell* cur = cells_.data() + (depth + 1) * width_;
    Wide left = std::min<Wide>(depth + 1, cap_);
    cur[0] = static_cast<Cell>(left);
    Wide row_min = left;
    for (std::size_t j = 1; j < width_; ++j) {
      const Wide diagonal = Wide{prev[j - 1]} + (query_[j - 1] != label ? 1 : 0);
      const Wide step_in = std::min(Wide{prev[j]}, left) + 1;
      const Wide v = std::min(std::min(diagonal, step_in), cap_);
      cur[j] = static_cast<Cell>(v);
      left = v;
      row_min = std::min(row_min, v);
    }
    return {row_min, left};
  }

  void enter(std::size_t, std::uint64_t) {}
  bool may_pass(std::size_t, char32_t) const { return true; }
  std::optional<std::pair<char32_t, char32_t>> passing_range(std::size_t) const { return std::nullopt; }

 private:
  std::span<const char32_t> query_;
  std::size_t width_;
  Wide cap_;
  std::vector<Cell> cells_;  // row d at [d * width_, (d + 1) * width_)
};

// Only the band of 2 * bound + 1 cells around the diagonal, so that the work
// per node does not grow with the query's length. Cell j of row d lies more
// than `bound` off the diagonal when |j - d| > bound, so its true distance
// exceeds the bound and it reads as bound + 1 without being computed.
//
// Row d keeps slots 0 .. 2 * bound + 2; slot s holds cell j = d - bound - 1 + s.
// Moving one row down shifts the band by one, so cell j of row d + 1 (slot s)
// needs the cells j - 1 and j of row d, which are slots s and s + 1 there:
//   cur[s] = min(prev[s] + cost, prev[s + 1] + 1, cur[s - 1] + 1).
// Every row computes all of slots 1 .. 2 * bound + 1, a fixed count that the
// compiler unrolls when kSlots is given (0: the bound is only known at run
// time). Slots with j < 0 come out as bound + 1 by themselves; slots with
// j > n hold distances to a longer query, which no cell with j <= n ever
// reads, so only the row's minimum and last cell need to leave them out.
// The first and last slots are never written and stay bound + 1.
//
// The frontier. Once a row's least cell is the bound itself, a child can stay
// within the bound only where a cell equal to the bound steps diagonally onto
// a matching query character (any other move adds 1), and its own least cell
// is the bound again. From there on a row is fully described by the set of
// its slots equal to the bound, a bit mask, and only the labels of those
// slots' query characters can pass.
//
// A node the walk enters has a cell within the bound, so its depth is at
// most n + bound. Per-depth state grows as the walk goes deeper, up to
// n + bound + 2 rows.
template <class Cell, std::size_t kSlots>
class BandedRows {
 public:
  using Wide = WideOf<Cell>;

  BandedRows(std::span<const char32_t> query, std::uint32_t bound)
      : n_(query.size()),
        bound_(bound),
        slots_(kSlots ? kSlots : 2 * std::size_t{bound} + 1),
        width_(slots_ + 2),
        rows_(n_ + bound_ + 2),
        cap_(static_cast<Cell>(Wide{bound} + 1)) {
    grow(2);
    // padded_[d + s] is the query character that cell j = d - bound + s
    // compares (query[j - 1]); positions off the query hold a value that no
    // label equals (labels are never above U+10FFFF).
    padded_.assign(rows_ + slots_ + 2, 0xFFFFFFFF);
    std::copy(query.begin(), query.end(), padded_.begin() + static_cast<std::ptrdiff_t>(bound_ + 1));
    // Row 0: cell j is j, for j in the band (j <= bound).
    for (std::size_t j = 0; j <= std::min<std::size_t>(n_, bound_); ++j)
      cells_[bound_ + 1 + j] = static_cast<Cell>(j);
  }

  // The row of a child at depth + 1 labelled `label`, from its parent's row
  // at `depth` (the node the walk entered last at that depth).
  [[gnu::always_inline]] RowSummary step(std::size_t depth, char32_t label) {
    const std::uint64_t at_bound = frontier_[depth];
    if (at_bound == 0) return compute(depth, label);
    std::uint64_t next = 0;
    const Passing* passing = passing_.data() + depth * slots_;
    for (std::size_t k = 0, count = passing_count_[depth]; k < count; ++k)
      next |= passing[k].label == label ? passing[k].slot_bit : 0;
    frontier_[depth + 1] = next;
    if (next == 0) return {cap_, cap_};
    return {bound_, (next >> n_slot(depth)) & 1 ? std::uint64_t{bound_} : std::uint64_t{cap_}};
  }

  // Called when the walk enters the node whose row `depth` step just made.
  // The row stays as it is while the node's children are visited.
  void enter(std::size_t depth, std::uint64_t row_min) {
    if (depth + 1 >= rows_) throw_out_of_bounds(rows_, depth + 1);  // pruning keeps depth <= n + bound
    if (depth + 2 > frontier_.size()) grow(std::min(2 * (depth + 2), rows_));
    if (frontier_[depth] == 0 && row_min == bound_ && slots() < 64) {
      const Cell* row = cells_.data() + depth * width_;
      // Only cells with j <= n are distances to the query.
      const std::size_t end = std::min(n_ + bound_ + 1 - depth, slots());
      std::uint64_t at_bound = 0;
      for (std::size_t s = 1; s <= end; ++s)
        if (row[s] == bound_) at_bound |= std::uint64_t{1} << s;
      frontier_[depth] = at_bound;
    }
    // The label each slot at the bound lets through: slot s of this row
    // steps onto the query character padded_[depth + s].
    Passing* passing = passing_.data() + depth * slots_;
    std::uint8_t count = 0;
    Sieve& sieve = sieves_[depth];
    sieve = {};
    for (std::uint64_t rest = frontier_[depth]; rest != 0; rest &= rest - 1) {
      const auto s = static_cast<std::size_t>(std::countr_zero(rest));
      const char32_t label = padded_[depth + s];
      passing[count++] = {label, std::uint64_t{1} << s};
      sieve.add(label);
    }
    sieve.active = count > 0;
    passing_count_[depth] = count;
  }

  // False when a child labelled `label` of the node entered at `depth` is
  // sure not to pass (its row need not be made); a quick test that lets
  // some such children through, for step to turn away.
  [[gnu::always_inline]] bool may_pass(std::size_t depth, char32_t label) const {
    return sieves_[depth].admits(label);
  }

  // The least and greatest label that can pass the children of the node
  // entered at `depth`, or nothing when any label can (it is not on the
  // frontier).
  std::optional<std::pair<char32_t, char32_t>> passing_range(std::size_t depth) const {
    const Sieve& sieve = sieves_[depth];
    if (!sieve.active) return std::nullopt;
    return std::pair{sieve.least, sieve.greatest};
  }

 private:
  struct Passing {
    char32_t label;
    std::uint64_t slot_bit;
  };

  // The passing labels of a frontier row as a bit set over ASCII; any other
  // label is let through for step to decide.
  struct Sieve {
    bool active = false;
    std::uint64_t ascii[2] = {0, 0};
    char32_t least = 0xFFFFFFFF;
    char32_t greatest = 0;

    void add(char32_t label) {
      if (label < 128) ascii[label >> 6] |= std::uint64_t{1} << (label & 63);
      least = std::min(least, label);
      greatest = std::max(greatest, label);
    }
    bool admits(char32_t label) const {
      return !active || label >= 128 || ((ascii[label >> 6] >> (label & 63)) & 1);
    }
  };

  constexpr std::size_t slots() const { return kSlots ? kSlots : slots_; }

  // Room for rows 0 .. count - 1.
  void grow(std::size_t count) {
    cells_.resize(count * width_, cap_);
    frontier_.resize(count, 0);
    passing_count_.resize(count, 0);
    sieves_.resize(count);
    if (slots() < 64) passing_.resize(count * slots_);  // only frontier rows list labels
  }

  // Slot of cell j = n in the row at depth + 1, or 0 (which always holds
  // bound + 1) when j = n lies left of the band.
  std::size_t n_slot(std::size_t depth) const {
    return n_ + bound_ > depth ? std::min(n_ + bound_ - depth, slots_ + 1) : 0;
  }

  // The cells of the row of a child at depth + 1 whose parent is not on the
  // frontier.
  [[gnu::noinline]] RowSummary compute(std::size_t depth, char32_t label) {
    frontier_[depth + 1] = 0;
    const Cell* prev = cells_.data() + depth * width_;
    Cell* cur = cells_.data() + (depth + 1) * width_;
    const char32_t* q = padded_.data() + depth;
    const std::size_t last = n_slot(depth);
    const Wide cap = cap_;
    Wide left = cap;
    Wide row_min = cap;
    for (std::size_t s = 1; s <= slots(); ++s) {
      const Wide diagonal = Wide{prev[s]} + (q[s] != label ? 1 : 0);
      const Wide step_in = std::min(Wide{prev[s + 1]}, left) + 1;
      const Wide v = std::min(std::min(diagonal, step_in), cap);
      cur[s] = static_cast<Cell>(v);
      left = v;
      row_min = s <= last ? std::min(row_min, v) : row_min;
    }
    return {row_min, Wide{cur[last]}};
  }

  std::size_t n_;
  std::size_t bound_;
  std::size_t slots_;  // 2 * bound + 1
  std::size_t width_;  // slots plus the two that stay bound + 1
  std::size_t rows_;   // n + bound + 2
  Cell cap_;
  std::vector<char32_t> padded_;
  std::vector<Cell> cells_;  // row d at [d * width_, (d + 1) * width_)
  // Per depth: the slots equal to the bound when the row is on the frontier
  // (it then has no cells), 0 otherwise.
  std::vector<std::uint64_t> frontier_;
  // Per depth, for a frontier row: which label passes through which slot.
  std::vector<Passing> passing_;
  std::vector<std::uint8_t> passing_count_;
  std::vector<Sieve> sieves_;
};

// A node on the walk's stack with the positions of its children still to
// visit. When the children stand in label order and only labels up to
// stop_above can pass, the first child labelled above it ends the visit.
struct Frame {
  std::size_t pos;
  std::size_t end;
  char32_t stop_above = 0xFFFFFFFF;
};

// Runs of children longer than this are searched by bisection for the first
// child that can pass; shorter ones are cheaper to scan.
constexpr std::size_t kBisectAbove = 8;

// Depth-first walk from the root carrying one row of the edit-distance table
// per depth (Rows computes them). For each child c that is not pruned and
// whose distance is within the bound, calls on_child(c, dist, path, label),
// where path holds the labels from the root to c's parent; on_child returns
// true when it recorded a hit.
template <class Rows, class OnChild>
void walk(const Trie& trie, Rows& rows, std::uint32_t bound, std::optional<std::uint32_t> limit,
          OnChild& on_child) {
  // The arrays as spans: the hot loop checks every index against a length
  // held in a register instead of recomputing it from a vector.
  const std::span<const std::uint32_t> shifts(trie.node_shifts);
  const std::span<const std::uint32_t> transitions(trie.child_transitions);
  const std::span<const char32_t> labels(trie.child_labels);
  // The child positions of `node`, as Trie::children gives them.
  const auto children_of = [&](std::size_t node) -> Frame {
    const std::size_t begin = at(shifts, node);
    const std::size_t end = node + 1 < shifts.size() ? shifts[node + 1] : transitions.size();
    return begin < end ? Frame{begin, end} : Frame{0, 0};
  };
  // In a trie whose children stand in label order, the first position of
  // `run` whose label is not below `label`.
  const bool sorted = trie.hints.children_sorted;
  const auto first_not_below = [&](Frame run, char32_t label) {
    std::size_t lo = run.pos, hi = run.end;
    while (lo < hi) {
      const std::size_t mid = lo + (hi - lo) / 2;
      if (at(labels, at(transitions, mid)) < label) lo = mid + 1; else hi = mid;
    }
    return lo;
  };

  // stack[d] is the node at depth d, path[d] the label into the node at
  // depth d + 1. Both grow only as the walk goes deeper.
  std::vector<Frame> stack(64);
  std::vector<char32_t> path(stack.size());
  stack[0] = children_of(0);
  std::size_t hits = 0;

  // The per-node step: visits the remaining children of the node at `depth`
  // (the top frame) until one is entered (pushed), the frame is done
  // (popped) or the limit is reached.
  // A child that may pass: its row decides whether it is pruned, reported
  // and entered.
  const auto visit = [&](std::size_t depth, std::uint32_t child, char32_t label) -> Step {
    const RowSummary row = rows.step(depth, label);
    if (row.min > bound) return Step::Finished;  // no term below can come back within the bound

    if (row.last <= bound &&
        on_child(child, static_cast<std::uint32_t>(row.last), std::span(path.data(), depth), label)) {
      ++hits;
      if (limit && hits >= *limit) return Step::Stop;
    }
    Frame entered = children_of(child);
    if (entered.pos >= entered.end) return Step::Finished;  // a leaf: nothing to enter
    rows.enter(depth + 1, row.min);
    // Only children with a passing label can stay within the bound: in
    // label order, skip those below the least (by bisection in a long run)
    // and stop after the greatest.
    if (sorted) {
      if (const auto passing = rows.passing_range(depth + 1)) {
        if (entered.end - entered.pos > kBisectAbove) entered.pos = first_not_below(entered, passing->first);
        entered.stop_above = passing->second;
      }
    }
    if (depth + 1 == stack.size()) {
      stack.resize(2 * stack.size());
      path.resize(stack.size());
    }
    path[depth] = label;
    stack[depth + 1] = entered;
    return Step::Entered;
  };

  // The per-node step: scans the remaining children of the node at `depth`
  // (the top frame) until one is entered (pushed), the frame is done
  // (popped) or the limit is reached.
  const auto dfs = [&](std::size_t depth) -> Step {
    while (stack[depth].pos < stack[depth].end) {
      const std::uint32_t child = at(transitions, stack[depth].pos++);
      const char32_t label = at(labels, child);
      if (label > stack[depth].stop_above) break;  // no later child can pass
      // Unlabelled children are neither reported nor entered.
      if (label == 0 || !rows.may_pass(depth, label)) continue;
      const Step step = visit(depth, child, label);
      if (step != Step::Finished) return step;
    }
    return Step::Finished;
  };

  std::size_t depth = 0;
  while (true) {
    switch (dfs(depth)) {
      case Step::Entered: ++depth; break;
      case Step::Finished:
        if (depth == 0) return;
        --depth;
        break;
      case Step::Stop: return;
    }
  }
}

template <class Cell, class OnChild>
void walk_with_cells(const Trie& trie, std::span<const char32_t> query, std::uint32_t bound,
                     std::optional<std::uint32_t> limit, OnChild& on_child) {
  const auto banded = [&]<std::size_t kSlots>() {
    BandedRows<Cell, kSlots> rows(query, bound);
    walk(trie, rows, bound, limit, on_child);
  };
  // The usual bounds get a band of a fixed size, even when it is wider than
  // a short query's row: the band's frontier is what saves the work there.
  switch (bound) {
    case 0: return banded.template operator()<1>();
    case 1: return banded.template operator()<3>();
    case 2: return banded.template operator()<5>();
    case 3: return banded.template operator()<7>();
    default: break;
  }
  if (2 * std::uint64_t{bound} + 1 < query.size() + 1) return banded.template operator()<0>();
  FullRows<Cell> rows(query, bound);
  walk(trie, rows, bound, limit, on_child);
}

template <class OnChild>
void run_walk(const Trie& trie, std::string_view term, std::uint32_t max_dist,
              std::optional<std::uint32_t> limit, OnChild& on_child) {
  if (trie.node_count() == 0) return;  // no root, no hits
  if (limit && *limit == 0) return;    // a result never exceeds its limit
  std::vector<char32_t> query;
  utf8::decode(term, query);
  const std::uint32_t bound = effective_bound(max_dist, query.size(), trie.node_count());
  if (bound < UINT16_MAX)
    walk_with_cells<std::uint16_t>(trie, query, bound, limit, on_child);
  else
    walk_with_cells<std::uint32_t>(trie, query, bound, limit, on_child);
}

}  // namespace

std::vector<MatchResult> fuzzy_match(const Trie& trie, std::string_view term,
                                     std::uint32_t max_dist,
                                     std::optional<std::uint32_t> limit) {
  std::vector<MatchResult> hits;
  auto on_child = [&](std::uint32_t child, std::uint32_t dist, std::span<const char32_t> path,
                      char32_t label) {
    if (!at(trie.is_terminal, child)) return false;
    std::string text;
    for (const char32_t cp : path) utf8::append(text, cp);
    utf8::append(text, label);
    hits.push_back({std::move(text), child, dist});
    return true;
  };
  run_walk(trie, term, max_dist, limit, on_child);
  return hits;
}

std::vector<NodeHit> fuzzy_match_nodes(const Trie& trie, std::string_view term,
                                       std::uint32_t max_dist, bool terminal_only,
                                       std::optional<std::uint32_t> limit) {
  std::vector<NodeHit> hits;
  auto on_child = [&](std::uint32_t child, std::uint32_t dist, std::span<const char32_t>, char32_t) {
    if (terminal_only && !at(trie.is_terminal, child)) return false;
    hits.push_back({child, dist});
    return true;
  };
  run_walk(trie, term, max_dist, limit, on_child);
  return hits;
}

}  // namespace quillon
