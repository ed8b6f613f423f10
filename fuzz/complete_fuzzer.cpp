// Completions against the sorting twin: a trie of counted terms, numbered as
// the build numbers it, gives the completions that sorting every term gives,
// with any bound, limit, first_exact and schedule of edits; and the walk of
// a keystroke (suggest) answers as complete() and the textbook swap-aware
// walk do, on the trie and on graphs made of it.
#include "complete/suggest.hpp"
#include "fuzz_support.hpp"
#include "reference/ranking.hpp"

using namespace quillon;
using namespace quillon::fuzz;

namespace {

// Graphs whose walk may take more steps than this are left alone.
constexpr std::size_t kStepBudget = 1 << 9;

// The terms sorted and each once (its first count), the trie of them with
// its search hints, and each term's node.
struct Counted {
  std::vector<reference::CountedTerm> terms;
  testing::TermTrie built;
};

Counted counted_trie(std::vector<reference::CountedTerm> terms) {
  std::stable_sort(terms.begin(), terms.end(), [](const auto& a, const auto& b) { return a.term < b.term; });
  terms.erase(std::unique(terms.begin(), terms.end(), [](const auto& a, const auto& b) { return a.term == b.term; }),
              terms.end());
  std::vector<std::u32string> words;
  for (const auto& t : terms) words.push_back(t.term);
  Counted out{std::move(terms), testing::trie_from_terms(words)};
  mark_hints(out.built.trie);
  return out;
}

// suggest() against its twins, swaps one edit throughout: complete()'s
// completions (`completions`), found within the fewest edits that fill
// them, and the terms and videos of the nodes the textbook swap-aware walk
// finds within those edits. Terms are checked by node and distance, and by
// text where `spelled` gives each terminal node's term.
void check_suggest(const Trie& trie, const CompletionView& completion, const std::u32string& query,
                   const CompletionCase::Query& q, const std::vector<Completion>& completions,
                   const std::vector<std::string>* spelled) {
  const std::string text = testing::to_utf8(query);
  const SuggestQuery sq{text,          q.max_edits,  q.completions,          q.terms,
                        q.videos,      q.first_exact, q.include_prefix_nodes, q.min_score,
                        q.schedule};
  const Suggestions got = suggest(trie, completion, sq);
  require(got.completions == completions, "suggest's completions differ from complete's");

  // The edits: at most max_edits, and, as every walk takes them, no more
  // than the query's length and the node count (past which a tree has no
  // distance, and a graph's cycles are not walked); fewer only where they
  // fill the completions, and no fewer than do.
  const std::uint64_t most = std::min<std::uint64_t>({q.max_edits, kMaxSuggestEdits, query.size() + trie.node_count()});
  const bool completing = !completion.nodes.empty() && q.completions > 0;
  require(got.edits == most || (completing && got.edits < most && got.completions.size() >= q.completions),
          "suggest's edits are not the fewest that fill the completions, nor all");
  require(got.edits == 0 || !completing ||
              complete(trie, completion, {text, got.edits - 1, q.completions, q.first_exact, q.schedule}).size() <
                  q.completions,
          "fewer edits than suggest's fill the completions");

  const std::vector<NodeHit> nodes = reference::osa_walk(trie, query, got.edits, q.first_exact, q.schedule);
  std::vector<NodeHit> terms;
  for (const NodeHit& hit : nodes)
    if (trie.is_terminal[hit.node]) terms.push_back(hit);
  std::stable_sort(terms.begin(), terms.end(), [](const NodeHit& a, const NodeHit& b) { return a.dist < b.dist; });
  terms.resize(std::min<std::size_t>(terms.size(), q.terms));
  require(got.terms.size() == terms.size(), "suggest's terms are not the swap-aware walk's");
  for (std::size_t i = 0; i < terms.size(); ++i) {
    require(got.terms[i].node == terms[i].node && got.terms[i].dist == terms[i].dist,
            "suggest's terms are not the swap-aware walk's");
    require(!spelled || got.terms[i].term == (*spelled)[terms[i].node], "a term not spelled as the trie spells it");
  }

  const RankingQuery ranking{text, got.edits, q.videos, q.include_prefix_nodes, q.min_score, true};
  require(reference::identical(got.videos, rank_nodes(trie, ranking_nodes_among(trie, nodes, q.include_prefix_nodes), ranking)),
          "suggest's videos are not those of the swap-aware walk's nodes");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ByteReader in({data, size});
  const CompletionCase c = read_completion_case(in);
  Counted counted = counted_trie(c.terms);
  Trie& trie = counted.built.trie;
  std::mt19937 rng(c.payload_seed);
  testing::give_random_payloads(rng, trie, {.present = 0.5, .entries = 3, .videos = 6, .id_table = 6});
  // Each node's term (the root's is the empty one) and count.
  std::vector<std::string> spelled(trie.node_count());
  for (const auto& [term, node] : counted.built.node_of) spelled[node] = testing::to_utf8(term);
  std::vector<std::uint32_t> counts(trie.node_count(), 0);
  for (const auto& t : counted.terms) counts[t.term.empty() ? 0 : counted.built.node_of.at(t.term)] = t.count;
  auto records = completion_nodes(trie, counts);
  require(static_cast<bool>(records), "no completion records for a trie of terms: " +
                                          (records ? std::string() : records.error().message));
  CompletionData completion;
  completion.nodes = std::move(*records);

  const CompletionCase::Query& q = c.query;
  const std::u32string query = query_of(q.selectors, trie.child_labels);
  const std::string text = testing::to_utf8(query);
  const std::vector<Completion> got =
      complete(trie, completion.view(), {text, q.max_edits, q.completions, q.first_exact, q.schedule});
  check_suggest(trie, completion.view(), query, q, got, &spelled);
  // The twin knows no nodes: each is checked against its term here.
  std::vector<Completion> without_nodes = got;
  for (Completion& found : without_nodes) {
    require(found.node < spelled.size() && found.term == spelled[found.node], "a completion at another term's node");
    found.node = 0;
  }
  const std::uint32_t bound = completion_bound(q.max_edits, query.size());
  require(without_nodes == reference::complete(counted.terms, query, bound, q.completions, q.first_exact, q.schedule),
          "complete differs from the sorting twin");

  // Extra edges make a graph (shared children, cycles): no completion
  // records then, and the one walk still answers as its twins do.
  if (c.extra_edges.empty()) return 0;
  Trie graph = trie;
  testing::Children children(graph.node_count());
  const ChildrenView view = graph.children();
  for (std::size_t node = 0; node < graph.node_count(); ++node)
    for (std::size_t p = view.of(node).begin; p < view.of(node).end; ++p) children[node].push_back(view.child(p));
  for (const auto& [from, to] : c.extra_edges) children[from % children.size()].push_back(to % children.size());
  testing::lay_out_edges(children, graph);
  mark_hints(graph);
  if (walk_steps(graph, query.size(), std::min(q.max_edits, kMaxSuggestEdits), kStepBudget) > kStepBudget) return 0;
  check_suggest(graph, {}, query, q, {}, nullptr);
  return 0;
}
