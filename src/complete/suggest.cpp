#include "suggest.hpp"

#include <algorithm>

#include "../checked.hpp"
#include "../prefix/walk.hpp"
#include "../utf8.hpp"
#include "osa_rows.hpp"

namespace quillon {
namespace {

// The terms within the bound, as the walk meets them: their texts are made
// only for those returned.
struct TermHit {
  std::uint32_t node;
  std::uint32_t dist;
  std::uint32_t path_begin;  // labels[path_begin .. path_begin + depth)
  std::uint32_t depth;
};

// Everything within exactly `bound` edits, from one walk.
Suggestions suggest_within(const TrieView& trie, const CompletionView& completion, const SuggestQuery& q,
                           std::span<const char32_t> query, std::uint32_t bound) {
  Suggestions out;
  out.edits = bound;
  const bool completing = !completion.nodes.empty() && q.completions > 0;
  const std::uint32_t completion_edits = completion_bound(bound, query.size());

  PrefixHits prefixes;
  if (completing && (!q.first_exact || query.empty()) && root_completes(query.size(), completion_edits, q.schedule))
    prefixes.add_root(static_cast<std::uint32_t>(query.size()), completion_edits);
  std::vector<NodeHit> nodes;
  std::vector<TermHit> terms;
  std::vector<char32_t> term_labels;

  auto walk_with = [&](auto& rows) {
    auto on_child = [&](std::uint32_t child, std::uint32_t dist, std::span<const char32_t> path, char32_t label) {
      nodes.push_back({child, dist});
      if (q.terms > 0 && at(trie.is_terminal, child)) {
        terms.push_back({child, dist, static_cast<std::uint32_t>(term_labels.size()),
                         static_cast<std::uint32_t>(path.size() + 1)});
        term_labels.insert(term_labels.end(), path.begin(), path.end());
        term_labels.push_back(label);
      }
      if (completing && dist <= completion_edits) {
        const std::uint64_t above = std::min<std::uint64_t>(rows.path_best(path.size()), bound + 1);
        prefixes.add(child, dist, static_cast<std::uint32_t>(above), path, label);
      }
      return false;
    };
    walk(trie, rows, bound, std::nullopt, on_child);
  };
  if (bound < UINT16_MAX)
    with_osa_rows<std::uint16_t>(query, bound, q.first_exact, q.schedule, walk_with);
  else
    with_osa_rows<std::uint32_t>(query, bound, q.first_exact, q.schedule, walk_with);

  if (completing) out.completions = top_completions(trie, completion, prefixes, completion_edits, q.completions);

  // Closest first; within a distance, walk order (a stable sort).
  std::stable_sort(terms.begin(), terms.end(), [](const TermHit& a, const TermHit& b) { return a.dist < b.dist; });
  for (std::size_t i = 0; i < std::min<std::size_t>(terms.size(), q.terms); ++i) {
    std::string text;
    for (std::size_t k = 0; k < terms[i].depth; ++k) utf8::append(text, at(term_labels, terms[i].path_begin + k));
    out.terms.push_back({std::move(text), terms[i].node, terms[i].dist});
  }

  if (q.videos > 0) {
    const RankingQuery ranking{q.text, bound, q.videos, q.include_prefix_nodes, q.min_score, true};
    out.videos = rank_nodes(trie, ranking_nodes_among(trie, std::move(nodes), q.include_prefix_nodes), ranking);
  }
  return out;
}

}  // namespace

Suggestions suggest(const TrieView& trie, const CompletionView& completion, const SuggestQuery& q) {
  if (trie.node_count() == 0) return {};
  std::vector<char32_t> query;
  utf8::decode(q.text, query);
  const std::uint32_t max_edits = std::min(q.max_edits, kMaxSuggestEdits);
  const std::uint32_t bound = static_cast<std::uint32_t>(
      std::min<std::uint64_t>(max_edits, std::uint64_t{query.size()} + trie.node_count()));
  if (completion.nodes.empty() || q.completions == 0) return suggest_within(trie, completion, q, query, bound);
  // As few edits as fill the completions: a walk within one more edit only
  // when the ones before leave the list short.
  for (std::uint32_t edits = 0;; ++edits) {
    Suggestions found = suggest_within(trie, completion, q, query, edits);
    if (found.completions.size() >= q.completions || edits >= bound) return found;
  }
}

}  // namespace quillon
