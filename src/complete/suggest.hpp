// Everything a search box shows for one keystroke from one walk of the trie,
// with one typo model throughout: the optimal string alignment distance
// (osa_rows.hpp), a swap of neighbours one edit. The completions
// (complete.hpp); the stored terms within the edits of the whole text; and
// the videos, ranked as prefix/ranking.hpp ranks a node search's nodes, over
// the nodes within the edits of the text. A text typed with swapped letters
// thus finds the videos its completions lead to. (The module's searches,
// and the engine's that answer as they do, keep Levenshtein's distance.)
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "../prefix/matcher.hpp"
#include "../prefix/ranking.hpp"
#include "../prefix/trie_view.hpp"
#include "complete.hpp"
#include "completion_data.hpp"

namespace quillon {

// The most edits a suggestion may have: more is taken as this many (the
// rows hold 2 * max_edits + 1 cells for up to n + max_edits depths).
inline constexpr std::uint32_t kMaxSuggestEdits = 8;

struct SuggestQuery {
  std::string_view text;  // UTF-8, normalised as the terms are
  // The edits of the completions, the terms and the videos alike, at
  // most kMaxSuggestEdits.
  std::uint32_t max_edits = 0;
  std::uint32_t completions = 10;  // the most of each
  std::uint32_t terms = 10;
  std::uint32_t videos = 10;
  // Hold every answer to the query's first character (its subtree alone
  // is walked).
  bool first_exact = false;
  // As RankingQuery's: which nodes rank videos, and the least score kept.
  std::optional<bool> include_prefix_nodes = true;
  std::optional<double> min_score = std::nullopt;
  // The edits each prefix of the text may have, as CompletionQuery's.
  std::span<const std::uint32_t> schedule = {};
};

struct Suggestions {
  // The edits the answers allow: the fewest, up to max_edits, whose
  // completions fill their limit (max_edits itself when none are asked).
  std::uint32_t edits = 0;
  std::vector<Completion> completions;
  // Terms within max_edits of the whole text, closest first, then in walk
  // order (the terms' code-point order in a trie numbered by the build).
  std::vector<MatchResult> terms;
  // As rank_nodes ranks the nodes within max_edits of the text (those of
  // include_prefix_nodes), equal scores by video index (id order).
  std::vector<RankedVideo> videos;
};

// With `completion` empty (no completion records), no completions. Typos
// are let in only where the text as typed leaves the completions short, as
// search boxes do: the walk is within 0, 1, ... edits in turn, and the
// terms and videos are those within the edits that filled the completions.
Suggestions suggest(const TrieView& trie, const CompletionView& completion, const SuggestQuery& query);

}  // namespace quillon
