// An index file's bytes, hostile: opening refuses them with a message, or
// what opens goes through the deep check and the searches of a keystroke,
// which answer or fail a read with InternalError; never a crash, a hang or
// more memory than the bytes account for. A file the deep check passes must
// answer every search, and the one walk of a keystroke the completions that
// complete() finds.
#include "complete/suggest.hpp"
#include "fuzz_support.hpp"
#include "prefix/id_text.hpp"

using namespace quillon;
using namespace quillon::fuzz;

namespace {

// Opening holds a few names per section and array; the deep check a few
// words per node or edge, each described by at least 4 bytes of the file.
constexpr std::int64_t kHeapPerInputByte = 32;
constexpr std::int64_t kOpenHeapFixed = 64 << 10;
// The searches may add the ranking's sums (2 MiB, kept between calls).
constexpr std::int64_t kSearchHeapFixed = 4 << 20;
// Files the deep check refuses may be graphs with more paths than a run can
// walk: their searches run where a walk takes at most this many steps.
constexpr std::size_t kStepBudget = 1 << 14;

// What the engine reads to show an answer: display texts, id texts and the
// videos section's columns.
void read_answers(const index_file::OpenedIndex& index, const Suggestions& found) {
  for (const Completion& c : found.completions) (void)index.completion.display(c.node);
  for (const RankedVideo& v : found.videos) {
    require(v.video < index.trie.id_table_size(), "a ranked video outside the id table");
    std::string id(id_text_size(index.trie, v.video), '\0');
    write_id_text(index.trie, v.video, id.data());
    if (index.videos.string_keys()) (void)index.videos.keys.text(v.video);
    if (!index.videos.catalogued()) continue;
    (void)at(index.videos.has_row, v.video);
    (void)index.videos.titles.text(v.video);
    for (const TextColumnView& field : index.videos.fields) (void)field.text(v.video);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ByteReader in({data, size});
  IndexQuery q = read_index_query(in);
  const AlignedBytes file(in.rest());
  const auto heap_allowed = [&](std::int64_t fixed) {
    return fixed + kHeapPerInputByte * static_cast<std::int64_t>(file.view().size());
  };

  std::optional<Result<index_file::OpenedIndex>> opened;
  std::optional<std::string> fault;
  {
    HeapWatch watch;
    opened.emplace(index_file::open_index(file.view()));
    if (*opened) fault = index_file::deep_fault(**opened);
    require(watch.peak_bytes() <= heap_allowed(kOpenHeapFixed),
            "opening held " + std::to_string(watch.peak_bytes()) + " bytes for a file of " +
                std::to_string(file.view().size()));
  }
  if (!*opened) {
    require((*opened).error().type == ErrorType::ValueError && !(*opened).error().message.empty(),
            "a refusal that is not a ValueError with a message");
    return 0;
  }
  const index_file::OpenedIndex& index = **opened;
  const TrieView& trie = index.trie;
  const std::u32string query = query_of(q.selectors, trie.child_labels);
  const std::string text = testing::to_utf8(query);
  if (fault) {
    const auto steps = [&] {
      const std::uint64_t bound = std::min<std::uint64_t>(q.max_edits, query.size() + trie.node_count());
      return walk_steps(trie, query.size(), bound, kStepBudget);
    };
    if (steps() > kStepBudget) q.max_edits = 0;
    if (steps() > kStepBudget) return 0;
  }

  std::vector<std::uint32_t> schedule;
  if (q.typed_schedule)
    for (std::size_t j = 0; j <= query.size(); ++j) schedule.push_back(static_cast<std::uint32_t>(j / 3));

  try {
    HeapWatch watch;
    const Suggestions found = suggest(trie, index.completion,
                                      {text, q.max_edits, q.limit, q.limit, q.limit, q.first_exact,
                                       q.include_prefix_nodes, q.min_score, schedule});
    read_answers(index, found);
    require(found.completions.size() <= q.limit && found.terms.size() <= q.limit && found.videos.size() <= q.limit,
            "more answers than asked for");
    // complete() needs completion records (suggest() answers none without).
    std::vector<Completion> completions;
    if (!index.completion.nodes.empty())
      completions = complete(trie, index.completion, {text, q.max_edits, q.limit, q.first_exact, schedule});
    const std::vector<MatchResult> terms = fuzzy_match(trie, text, q.max_edits, q.limit);
    const std::vector<RankedVideo> videos =
        rank_videos(trie, {text, q.max_edits, q.limit, q.include_prefix_nodes, q.min_score, false});
    require(terms.size() <= q.limit && videos.size() <= q.limit, "more answers than asked for");
    require(watch.peak_bytes() <= heap_allowed(kSearchHeapFixed),
            "the searches held " + std::to_string(watch.peak_bytes()) + " bytes for a file of " +
                std::to_string(file.view().size()));
    require(fault || found.completions == completions, "suggest's completions differ from complete's");
  } catch (const InternalError& e) {
    require(fault.has_value(), std::string("a search of a file the deep check passed failed: ") + e.what());
  }
  return 0;
}
