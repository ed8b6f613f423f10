// The package's engine against the module: a trie written as an index file
// (as the package's writer writes one) and read in place answers every
// search as the trie in memory and the trie decoded from the file's stored
// form answer it, scores bit for bit, keystroke after keystroke; and the
// deep check passes exactly the tries the build makes, trees numbered
// parent first. Input: as the walk target's (a query, then a stored trie).
#include "complete/suggest.hpp"
#include "fuzz_support.hpp"
#include "prefix/id_text.hpp"
#include "reference/ranking.hpp"
#include "utf8.hpp"

using namespace quillon;
using namespace quillon::fuzz;

namespace {

constexpr std::size_t kStepBudget = 1 << 14;

// The first edge that keeps `trie` from being a tree numbered parent
// first, in the deep check's words: taking the nodes from the first (as the
// deep check does) or from the last (as the completion records are made).
std::optional<std::string> not_parent_first(const Trie& trie, bool last_first) {
  const std::size_t n = trie.node_count();
  std::vector<bool> reached(n);
  const ChildrenView children = trie.children();
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t node = last_first ? n - 1 - i : i;
    for (std::size_t p = children.of(node).begin; p < children.of(node).end; ++p) {
      const std::uint32_t child = children.child(p);
      if (child <= node || reached[child])
        return "node " + std::to_string(child) + " is not a child of node " + std::to_string(node) +
               " alone, numbered after it";
      reached[child] = true;
    }
  }
  return std::nullopt;
}

std::string id_text(const TrieView& trie, std::uint32_t video) {
  std::string text(id_text_size(trie, video), '\0');
  write_id_text(trie, video, text.data());
  return text;
}

struct Views {
  const Trie& memory;
  const index_file::OpenedIndex& mapped;
  const Trie& stored;  // decoded from the file's "trie" section
  const CompletionData& completion;
};

void compare_searches(const Views& v, const std::string& text, std::uint32_t max_dist,
                      std::optional<std::uint32_t> limit) {
  const std::string what = " differs on the mapped file or its stored trie for '" + text + "'";
  const TrieView& mapped = v.mapped.trie;
  const auto terms = fuzzy_match(v.memory, text, max_dist, limit);
  require(fuzzy_match(mapped, text, max_dist, limit) == terms && fuzzy_match(v.stored, text, max_dist, limit) == terms,
          "fuzzy_match" + what);
  for (const bool terminal_only : {false, true}) {
    const auto nodes = fuzzy_match_nodes(v.memory, text, max_dist, terminal_only, limit);
    require(fuzzy_match_nodes(mapped, text, max_dist, terminal_only, limit) == nodes &&
                fuzzy_match_nodes(v.stored, text, max_dist, terminal_only, limit) == nodes,
            "fuzzy_match_nodes" + what);
  }
  for (const std::optional<bool> prefix_nodes : {std::optional<bool>(), std::optional(true), std::optional(false)}) {
    const RankingQuery q{text, max_dist, limit, prefix_nodes, std::nullopt, !prefix_nodes.has_value()};
    const auto ranked = rank_videos(v.memory, q);
    require(reference::identical(rank_videos(mapped, q), ranked) && reference::identical(rank_videos(v.stored, q), ranked),
            "rank_videos" + what);
    for (const RankedVideo& r : ranked) require(id_text(mapped, r.video) == id_text(v.memory, r.video), "an id text" + what);
  }
  if (v.completion.nodes.empty()) return;
  // The completion records in place against those in memory.
  const std::uint32_t limit_of_each = limit.value_or(10);
  // Without a schedule, and with a search box's: a typo per three characters.
  std::vector<std::uint32_t> schedule;
  for (std::size_t j = 0; j <= utf8::code_point_count(text); ++j) schedule.push_back(static_cast<std::uint32_t>(j / 3));
  const std::span<const std::uint32_t> typed(schedule);
  for (const std::span<const std::uint32_t> edits_by_length : {std::span<const std::uint32_t>(), typed}) {
    SuggestQuery q{text, max_dist, limit_of_each, limit_of_each, limit_of_each};
    q.schedule = edits_by_length;
    const Suggestions in_memory = suggest(v.memory, v.completion.view(), q);
    const Suggestions in_place = suggest(mapped, v.mapped.completion, q);
    require(in_place.edits == in_memory.edits && in_place.completions == in_memory.completions &&
                in_place.terms == in_memory.terms && reference::identical(in_place.videos, in_memory.videos),
            "suggest" + what);
  }
  const CompletionQuery q{text, std::min(max_dist, kMaxSuggestEdits), limit_of_each, true};
  const auto completions = complete(v.memory, v.completion.view(), q);
  require(complete(mapped, v.mapped.completion, q) == completions, "complete" + what);
  for (const Completion& c : completions)
    require(v.mapped.completion.display(c.node) == v.completion.view().display(c.node), "a display text" + what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ByteReader in({data, size});
  const WalkHeader header = read_walk_header(in);
  Result<Trie> decoded = decode(in.rest());
  if (!decoded) return -1;  // not a trie: of no use here
  const Trie& memory = *decoded;

  // Completion records exist for trees numbered parent first, as the build
  // makes them; each terminal node counted from its payload, every third
  // with a display text.
  const std::optional<std::string> shape = not_parent_first(memory, false);
  std::vector<std::uint32_t> counts(memory.node_count());
  for (std::size_t node = 0; node < counts.size(); ++node)
    counts[node] = memory.payloads.present(node) ? memory.payloads.get(node)->total_count % 5 : 1;
  auto records = completion_nodes(memory, counts);
  require(records ? !shape : records.error().message == "completion order: " + not_parent_first(memory, true).value_or(""),
          "completion_nodes and the tree check disagree: " + (records ? "records" : records.error().message));
  CompletionData completion;
  if (records) {
    completion.nodes = std::move(*records);
    for (std::uint32_t node = 1; node < memory.node_count(); node += 3)
      if (memory.is_terminal[node]) add_display(completion, node, "", "display " + std::to_string(node));
  }

  const AlignedBytes file = written_index(memory, records ? &completion : nullptr);
  auto opened = index_file::open_index(file.view());
  require(static_cast<bool>(opened), "a written index does not open: " + (opened ? "" : opened.error().message));
  require(index_file::deep_fault(*opened) == shape, "the deep check of a written index: " +
                                                        index_file::deep_fault(*opened).value_or("none") + ", expected " +
                                                        shape.value_or("none"));
  const TrieView& in_place = opened->trie;
  const TrieView in_memory(memory);
  require(std::ranges::equal(in_place.node_shifts, in_memory.node_shifts) &&
              std::ranges::equal(in_place.child_labels, in_memory.child_labels) &&
              std::ranges::equal(in_place.child_transitions, in_memory.child_transitions) &&
              std::ranges::equal(in_place.is_terminal, in_memory.is_terminal) &&
              std::ranges::equal(in_place.payloads.offsets, in_memory.payloads.offsets) &&
              std::ranges::equal(in_place.payloads.video_ids, in_memory.payloads.video_ids) &&
              std::ranges::equal(in_place.video_int_ids, in_memory.video_int_ids) &&
              std::ranges::equal(in_place.video_uuids, in_memory.video_uuids) && in_place.id_mode == in_memory.id_mode &&
              in_place.children_sorted == in_memory.children_sorted && in_place.edges.size() == in_memory.edges.size(),
          "the arrays in place are not the trie's");
  Result<Trie> stored = decode(opened->stored_trie);
  require(stored && *stored == memory, "the stored trie of a written index is not the trie written");

  const std::u32string query = query_of(header.query_selectors, memory.child_labels);
  const std::optional<std::uint32_t> affordable = affordable_bound(memory, query.size(), header.max_dist, kStepBudget);
  if (!affordable) return -1;
  const std::uint32_t max_dist = *affordable;
  // Keystrokes: the whole query, one character less, half of it.
  const Views views{memory, *opened, *stored, completion};
  std::size_t previous = SIZE_MAX;
  for (const std::size_t length : {query.size(), query.size() - (query.empty() ? 0 : 1), query.size() / 2}) {
    if (length == previous) continue;
    previous = length;
    compare_searches(views, testing::to_utf8(query.substr(0, length)), max_dist, header.limit);
  }
  return 0;
}
