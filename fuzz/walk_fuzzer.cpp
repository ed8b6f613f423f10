// The fast walk against the textbook twin on decoded tries: the same hits,
// with the same distances, in the same order, for both searches, with and
// without limits, with every kind of rows and with and without the search
// edges and reach bounds derived from the hostile arrays; and ranking stays
// within its contract and agrees with its hash-map twin.
#include "fuzz_support.hpp"
#include "prefix/id_text.hpp"
#include "prefix/matcher.hpp"
#include "prefix/ranking.hpp"
#include "prefix/trie_codec.hpp"
#include "reference/ranking.hpp"
#include "reference/walk.hpp"
#include "reference/trie_builder.hpp"

using namespace quillon;
using namespace quillon::fuzz;

namespace {

constexpr std::size_t kStepBudget = 1 << 15;

// Both kinds of rows with all of the walk's aids, and without them.
const WalkChoice kChoices[] = {
    {WalkChoice::Rows::Fastest, true, true},
    {WalkChoice::Rows::Full, true, true},
    {WalkChoice::Rows::Fastest, false, false},
};

void compare_searches(const Trie& trie, const std::string& query, std::uint32_t max_dist,
                      std::optional<std::uint32_t> limit) {
  const auto terms = reference::fuzzy_match(trie, query, max_dist, limit);
  const auto nodes = reference::fuzzy_match_nodes(trie, query, max_dist, false, limit);
  const auto terminal_nodes = reference::fuzzy_match_nodes(trie, query, max_dist, true, limit);
  for (const WalkChoice& choice : kChoices) {
    require(fuzzy_match(trie, query, max_dist, limit, choice) == terms, "fuzzy_match differs from the textbook walk");
    require(fuzzy_match_nodes(trie, query, max_dist, false, limit, choice) == nodes,
            "fuzzy_match_nodes differs from the textbook walk");
    require(fuzzy_match_nodes(trie, query, max_dist, true, limit, choice) == terminal_nodes,
            "fuzzy_match_nodes (terminal only) differs from the textbook walk");
  }
}

void check_ranking(const Trie& trie, const std::string& query, std::uint32_t max_dist,
                   std::optional<std::uint32_t> limit, std::optional<bool> include_prefix_nodes) {
  RankingQuery q{query, max_dist, limit, include_prefix_nodes, std::nullopt};
  const std::vector<RankedVideo> ranked = rank_videos(trie, q);
  require(reference::identical(ranked, reference::rank_videos(trie, q)), "rank_videos differs from the hash-map twin");
  require(!limit || ranked.size() <= *limit, "more videos than the limit");
  std::vector<std::uint32_t> seen;
  for (std::size_t i = 0; i < ranked.size(); ++i) {
    require(ranked[i].video < trie.id_table_size(), "a ranked video outside the id table");
    require(ranked[i].score >= kDefaultMinScore, "a score below the minimum");
    require(i == 0 || ranked[i - 1].score >= ranked[i].score, "scores out of order");
    std::string text(id_text_size(trie, ranked[i].video), '?');
    write_id_text(trie, ranked[i].video, text.data());
    require(text.find('?') == std::string::npos, "an id text not filled");
    seen.push_back(ranked[i].video);
  }
  std::sort(seen.begin(), seen.end());
  require(std::adjacent_find(seen.begin(), seen.end()) == seen.end(), "a video ranked twice");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ByteReader in({data, size});
  const WalkHeader header = read_walk_header(in);
  Result<Trie> decoded = decode(in.rest());
  if (!decoded) return -1;  // not a trie: of no use here
  const Trie& trie = *decoded;

  const std::u32string query = query_of(header.query_selectors, trie.child_labels);

  // The twin recurses once per depth and both walks follow every path of a
  // graph: keep the bound where the paths stay few.
  const std::optional<std::uint32_t> affordable = affordable_bound(trie, query.size(), header.max_dist, kStepBudget);
  if (!affordable) return -1;
  const std::uint32_t max_dist = *affordable;

  const std::string text = testing::to_utf8(query);
  compare_searches(trie, text, max_dist, header.limit);
  for (const std::optional<bool> include_prefix_nodes : {std::optional<bool>(), std::optional(true), std::optional(false)})
    check_ranking(trie, text, max_dist, header.limit, include_prefix_nodes);
  return 0;
}
