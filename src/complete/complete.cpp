#include "complete.hpp"

#include <algorithm>
#include <numeric>
#include <optional>

#include "../checked.hpp"
#include "../prefix/walk.hpp"
#include "../utf8.hpp"
#include "osa_rows.hpp"

namespace quillon {
namespace {

// A step of the best-first search: the subtree of `node` and its later
// siblings (every term below them counts at most `key` and is numbered at
// least `node`), or the term at `node` (counted `key`).
struct Entry {
  std::uint32_t key;
  std::uint32_t node;
  std::uint32_t trail;  // the node's place in the trails
  bool term;
};

// Pops the higher key first, then the lower node: the order of the answer.
struct LaterFirst {
  bool operator()(const Entry& a, const Entry& b) const {
    return a.key != b.key ? a.key < b.key : a.node > b.node;
  }
};

constexpr std::uint32_t kNoTrail = 0xFFFFFFFF;

// How the search reached a node: from the node that starts the tier (whose
// path the walk kept) down the completion links.
struct Trail {
  std::uint32_t parent;  // kNoTrail at the node that starts the tier
  std::uint32_t node;
  char32_t label;
  std::uint32_t depth;
  std::uint32_t covered;  // set when the node's subtree is popped
  std::uint32_t hit;      // at the start of the tier: its PrefixHit
};

class BestFirst {
 public:
  BestFirst(const TrieView& trie, const CompletionView& data, const PrefixHits& found)
      : trie_(trie), data_(data), found_(found), labels_(trie.child_labels) {
    by_node_.resize(found.hits.size());
    std::iota(by_node_.begin(), by_node_.end(), std::uint32_t{0});
    std::stable_sort(by_node_.begin(), by_node_.end(),
                     [&](std::uint32_t a, std::uint32_t b) { return found.hits[a].node < found.hits[b].node; });
  }

  // Appends the terms of tier `edits` to `out`, best first, until it holds
  // `limit`.
  void tier(std::uint32_t edits, std::uint32_t limit, std::vector<Completion>& out) {
    heap_.clear();
    trails_.clear();
    for (std::size_t i = 0; i < found_.hits.size(); ++i) {
      const PrefixHit& hit = found_.hits[i];
      if (hit.edits != edits || hit.above <= edits) continue;
      trails_.push_back({kNoTrail, hit.node, 0, hit.depth, hit.depth, static_cast<std::uint32_t>(i)});
      push({record(hit.node).best, hit.node, last_trail(), false});
    }
    // A tree pops each node's subtree and term once: more pops than that
    // means the records are not a tree.
    const std::uint64_t most_pops = 2 * std::uint64_t{trie_.node_count()} + trails_.size() + 2;
    std::uint64_t pops = 0;
    while (!heap_.empty() && out.size() < limit) {
      std::pop_heap(heap_.begin(), heap_.end(), LaterFirst());
      const Entry entry = heap_.back();
      heap_.pop_back();
      if (++pops > most_pops) throw_out_of_bounds(most_pops, pops);
      if (entry.term) {
        out.push_back(completion(entry, edits));
        continue;
      }
      expand(entry, edits);
    }
  }

 private:
  const CompletionNode& record(std::uint32_t node) const { return at(data_.nodes, node); }
  std::uint32_t last_trail() const { return static_cast<std::uint32_t>(trails_.size() - 1); }

  void push(const Entry& entry) {
    heap_.push_back(entry);
    std::push_heap(heap_.begin(), heap_.end(), LaterFirst());
  }

  // The edits the walk found for `node`, if it reached it within the bound.
  std::optional<std::uint32_t> edits_of(std::uint32_t node) const {
    const auto found = std::lower_bound(by_node_.begin(), by_node_.end(), node,
                                        [&](std::uint32_t i, std::uint32_t n) { return found_.hits[i].node < n; });
    if (found == by_node_.end() || found_.hits[*found].node != node) return std::nullopt;
    return found_.hits[*found].edits;
  }

  void push_child(std::uint32_t child, std::uint32_t parent_trail) {
    const Trail& parent = trails_[parent_trail];
    trails_.push_back({parent_trail, child, at(labels_, child), parent.depth + 1, 0, 0});
    push({record(child).best, child, last_trail(), false});
  }

  // The subtree of entry.node: its next sibling goes on (a node that starts
  // the tier has none in it), then, unless the node belongs to a lower tier,
  // its own term and its best child.
  void expand(const Entry& entry, std::uint32_t edits) {
    const CompletionNode& rec = record(entry.node);
    const std::uint32_t parent = trails_[entry.trail].parent;
    if (parent != kNoTrail) {
      if (rec.next_sibling != CompletionNode::kNone) push_child(rec.next_sibling, parent);
      const std::optional<std::uint32_t> own = edits_of(entry.node);
      if (own && *own < edits) return;  // its terms came in a lower tier
      Trail& self = trails_[entry.trail];  // push_child may have moved the trails
      self.covered = own && *own == edits ? self.depth : trails_[parent].covered;
    }
    if (at(trie_.is_terminal, entry.node)) push({rec.count, entry.node, entry.trail, true});
    if (rec.first_child != CompletionNode::kNone) push_child(rec.first_child, entry.trail);
  }

  Completion completion(const Entry& entry, std::uint32_t edits) {
    path_.clear();
    std::uint32_t t = entry.trail;
    for (; trails_[t].parent != kNoTrail; t = trails_[t].parent) path_.push_back(trails_[t].label);
    const PrefixHit& start = found_.hits[trails_[t].hit];
    std::string term;
    for (std::size_t i = 0; i < start.depth; ++i) utf8::append(term, at(found_.labels, start.path_begin + i));
    for (auto label = path_.rbegin(); label != path_.rend(); ++label) utf8::append(term, *label);
    return {std::move(term), entry.node, edits, entry.key, trails_[entry.trail].covered};
  }

  const TrieView& trie_;
  const CompletionView& data_;
  const PrefixHits& found_;
  std::span<const char32_t> labels_;
  std::vector<std::uint32_t> by_node_;  // hits in node order
  std::vector<Entry> heap_;
  std::vector<Trail> trails_;
  std::vector<char32_t> path_;
};

}  // namespace

bool root_completes(std::size_t length, std::uint32_t bound, std::span<const std::uint32_t> schedule) {
  if (length > bound) return false;
  return schedule.empty() || length <= at(schedule, std::min(length, schedule.size() - 1));
}

void PrefixHits::add(std::uint32_t node, std::uint32_t edits, std::uint32_t above, std::span<const char32_t> path,
                     char32_t label) {
  const auto depth = static_cast<std::uint32_t>(path.size() + 1);
  std::uint32_t begin = 0;
  if (edits < above) {  // it starts a tier: keep its path
    begin = static_cast<std::uint32_t>(labels.size());
    labels.insert(labels.end(), path.begin(), path.end());
    labels.push_back(label);
  }
  hits.push_back({node, edits, above, depth, begin});
}

void PrefixHits::add_root(std::uint32_t edits, std::uint32_t bound) {
  if (edits <= bound) hits.push_back({0, edits, bound + 1, 0, static_cast<std::uint32_t>(labels.size())});
}

std::vector<Completion> top_completions(const TrieView& trie, const CompletionView& data, const PrefixHits& found,
                                        std::uint32_t bound, std::uint32_t limit) {
  std::vector<Completion> out;
  if (limit == 0 || found.hits.empty()) return out;
  BestFirst search(trie, data, found);
  for (std::uint32_t edits = 0; edits <= bound && out.size() < limit; ++edits) search.tier(edits, limit, out);
  return out;
}

namespace {

// The best completions within exactly `bound` edits' walk.
std::vector<Completion> complete_within(const TrieView& trie, const CompletionView& data, std::span<const char32_t> query,
                                        std::uint32_t bound, std::uint32_t limit, bool first_exact,
                                        std::span<const std::uint32_t> schedule) {
  PrefixHits found;
  // Held to the first character, the empty prefix of a term is no match.
  if ((!first_exact || query.empty()) && root_completes(query.size(), bound, schedule))
    found.add_root(static_cast<std::uint32_t>(query.size()), bound);
  auto walk_with = [&](auto& rows) {
    auto on_child = [&](std::uint32_t child, std::uint32_t edits, std::span<const char32_t> path, char32_t label) {
      const std::uint64_t above = rows.path_best(path.size());
      found.add(child, edits, static_cast<std::uint32_t>(std::min<std::uint64_t>(above, bound + std::uint64_t{1})), path,
                label);
      return false;
    };
    walk(trie, rows, bound, std::nullopt, on_child);
  };
  if (bound < UINT16_MAX)
    with_osa_rows<std::uint16_t>(query, bound, first_exact, schedule, walk_with);
  else
    with_osa_rows<std::uint32_t>(query, bound, first_exact, schedule, walk_with);
  return top_completions(trie, data, found, bound, limit);
}

}  // namespace

std::vector<Completion> complete(const TrieView& trie, const CompletionView& data, const CompletionQuery& q) {
  if (trie.node_count() == 0 || q.limit == 0) return {};
  std::vector<char32_t> query;
  utf8::decode(q.text, query);
  const std::uint32_t bound = completion_bound(q.max_edits, query.size());
  // Tier by tier, each walk within one more edit, until the tiers fill the
  // limit: the tiers of a walk within e edits are those of any wider walk,
  // and the exact text of a popular query fills the list at once.
  for (std::uint32_t edits = 0;; ++edits) {
    std::vector<Completion> found = complete_within(trie, data, query, edits, q.limit, q.first_exact, q.schedule);
    if (found.size() >= q.limit || edits >= bound) return found;
  }
}

}  // namespace quillon
