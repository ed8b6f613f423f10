#include "index_sections.hpp"

#include <bit>
#include <string_view>

#include "../checked.hpp"
#include "../prefix/search_hints.hpp"
#include "../prefix/validate.hpp"
#include "../utf8.hpp"

namespace quillon::index_file {
namespace {

static_assert(std::endian::native == std::endian::little, "index arrays are read in place as little-endian");
static_assert(sizeof(SearchEdge) == 16 && sizeof(Uuid) == 16 && sizeof(char32_t) == 4);

template <class T>
ArrayPlan plan(const char* name, std::span<const T> values) {
  return {name, sizeof(T), values.size(), bytes_of(values)};
}

std::string text(std::uint64_t value) { return std::to_string(value); }

// The first place where `bytes` is not UTF-8, if any.
std::optional<std::size_t> invalid_utf8(std::span<const std::uint8_t> bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t width = utf8::sequence_width(bytes[i]);
    if (width == 0 || width > bytes.size() - i || !utf8::decode_sequence(bytes.subspan(i, width))) return i;
    i += width;
  }
  return std::nullopt;
}

Result<TrieView> nodes_view(const Section& section) {
  auto directory = ArrayDirectory::read(section);
  if (!directory) return directory.error();
  TrieView view;
  std::span<const std::uint32_t> params;
  std::optional<Error> error;
  const auto take = [&]<class T>(const char* name, std::span<const T>& into) {
    if (error) return;
    auto array = directory->get<T>(name);
    if (array) into = *array; else error = array.error();
  };
  take("node_shifts", view.node_shifts);
  take("labels", view.child_labels);
  take("transitions", view.child_transitions);
  take("terminal", view.is_terminal);
  take("pay_offsets", view.payloads.offsets);
  take("pay_totals", view.payloads.total_counts);
  take("pay_present", view.payloads.present);
  take("video_ids", view.payloads.video_ids);
  take("video_counts", view.payloads.video_counts);
  take("uuids", view.video_uuids);
  take("int_ids", view.video_int_ids);
  take("edges", view.edges);
  take("params", params);
  if (error) return *error;

  const std::size_t n = view.node_count();
  const auto per_node = [&](const char* name, std::size_t length, std::size_t expected) -> std::optional<Error> {
    if (length == expected) return std::nullopt;
    return Error::value("section 'nodes', array '" + std::string(name) + "': " + text(length) + " elements for " +
                        text(n) + " nodes (expected " + text(expected) + ")");
  };
  for (const auto& [name, length, expected] :
       {std::tuple<const char*, std::size_t, std::size_t>{"node_shifts", view.node_shifts.size(), n},
        {"terminal", view.is_terminal.size(), n},
        {"pay_offsets", view.payloads.offsets.size(), n + 1},
        {"pay_totals", view.payloads.total_counts.size(), n},
        {"pay_present", view.payloads.present.size(), n},
        {"video_counts", view.payloads.video_counts.size(), view.payloads.video_ids.size()},
        {"params", params.size(), 2}})
    if (auto fault = per_node(name, length, expected)) return *fault;
  if (!view.edges.empty() && view.edges.size() != view.child_transitions.size())
    return Error::value("section 'nodes': " + text(view.edges.size()) + " search edges for " +
                        text(view.child_transitions.size()) + " edges");
  if (view.payloads.offsets.back() != view.payloads.video_ids.size())
    return Error::value("section 'nodes': the payload offsets end at " + text(view.payloads.offsets.back()) + ", the lists hold " +
                        text(view.payloads.video_ids.size()));
  if (params[0] > 1) return Error::value("section 'nodes': id mode " + text(params[0]));
  if (params[1] > 1) return Error::value("section 'nodes': children-sorted flag " + text(params[1]));
  view.id_mode = static_cast<IdMode>(params[0]);
  view.children_sorted = params[1] == 1;
  return view;
}

Result<CompletionView> completion_view(const Section& section, std::size_t nodes) {
  auto directory = ArrayDirectory::read(section);
  if (!directory) return directory.error();
  auto records = directory->get<CompletionNode>("nodes");
  auto display_nodes = directory->get<std::uint32_t>("disp_nodes");
  auto display_offsets = directory->get<std::uint64_t>("disp_offsets");
  auto display_bytes = directory->get<std::uint8_t>("disp_bytes");
  for (const Error* error : {records ? nullptr : &records.error(), display_nodes ? nullptr : &display_nodes.error(),
                             display_offsets ? nullptr : &display_offsets.error(),
                             display_bytes ? nullptr : &display_bytes.error()})
    if (error) return *error;
  if (records->size() != nodes)
    return Error::value("section 'completion': " + text(records->size()) + " records for " + text(nodes) + " nodes");
  if (display_offsets->size() != display_nodes->size() + 1 || display_offsets->front() != 0 ||
      display_offsets->back() != display_bytes->size())
    return Error::value("section 'completion': display offsets do not match the display texts");
  return CompletionView{*records, *display_nodes, *display_offsets, *display_bytes};
}

}  // namespace

std::vector<ArrayPlan> node_arrays(const Trie& trie, std::array<std::uint32_t, 2>& params) {
  params = {static_cast<std::uint32_t>(trie.id_mode), trie.hints.children_sorted ? 1u : 0u};
  const PayloadsView payloads = trie.payloads.view();
  const std::span<const SearchEdge> edges =
      trie.hints.edges.size() == trie.child_transitions.size() ? std::span<const SearchEdge>(trie.hints.edges) : std::span<const SearchEdge>();
  return {
      plan("node_shifts", std::span<const std::uint32_t>(trie.node_shifts)),
      plan("labels", std::span<const char32_t>(trie.child_labels)),
      plan("transitions", std::span<const std::uint32_t>(trie.child_transitions)),
      plan("terminal", std::span<const std::uint8_t>(trie.is_terminal)),
      plan("pay_offsets", payloads.offsets),
      plan("pay_totals", payloads.total_counts),
      plan("pay_present", payloads.present),
      plan("video_ids", payloads.video_ids),
      plan("video_counts", payloads.video_counts),
      plan("uuids", std::span<const Uuid>(trie.video_uuids)),
      plan("int_ids", std::span<const std::uint32_t>(trie.video_int_ids)),
      plan("edges", edges),
      plan("params", std::span<const std::uint32_t>(params)),
  };
}

std::vector<ArrayPlan> completion_arrays(const CompletionData& data) {
  return {
      plan("nodes", std::span<const CompletionNode>(data.nodes)),
      plan("disp_nodes", std::span<const std::uint32_t>(data.display_nodes)),
      plan("disp_offsets", std::span<const std::uint64_t>(data.display_offsets)),
      plan("disp_bytes", std::span<const std::uint8_t>(data.display_bytes)),
  };
}

Result<OpenedIndex> open_index(std::span<const std::uint8_t> file) {
  auto sections = read_sections(file);
  if (!sections) return sections.error();
  OpenedIndex index;
  index.sections = std::move(*sections);
  auto stored = find_section(index.sections, kTrieSection);
  if (!stored) return stored.error();
  index.stored_trie = stored->bytes;
  auto nodes = find_section(index.sections, kNodesSection);
  if (!nodes) return nodes.error();
  auto trie = nodes_view(*nodes);
  if (!trie) return trie.error();
  index.trie = *trie;
  if (auto completion = find_section(index.sections, kCompletionSection)) {
    auto view = completion_view(*completion, index.trie.node_count());
    if (!view) return view.error();
    index.completion = *view;
  }
  if (auto videos = find_section(index.sections, kVideosSection)) {
    auto view = read_videos(*videos, index.trie.id_table_size());
    if (!view) return view.error();
    index.videos = std::move(*view);
  }
  return index;
}

std::optional<std::string> deep_fault(const OpenedIndex& index) {
  const TrieView& trie = index.trie;
  if (auto fault = structural_fault(trie)) return *fault;
  const std::size_t n = trie.node_count();
  // Payload offsets never go back, and absent payloads hold nothing.
  const PayloadsView& payloads = trie.payloads;
  if (payloads.offsets.front() != 0) return "payload offsets start at " + text(payloads.offsets.front());
  for (std::size_t node = 0; node < n; ++node) {
    if (payloads.offsets[node + 1] < payloads.offsets[node])
      return "payload offsets go back at node " + text(node);
    if (payloads.present[node] > 1) return "payload of node " + text(node) + " is marked " + text(payloads.present[node]);
  }
  // A tree numbered parent first: the walks stay linear in the nodes.
  std::vector<std::uint8_t> reached(n, 0);
  const ChildrenView children = trie.children();
  for (std::size_t node = 0; node < n; ++node) {
    const ChildRange run = children.of(node);
    for (std::size_t p = run.begin; p < run.end; ++p) {
      const std::uint32_t child = children.child(p);
      if (child <= node || reached[child]) return "node " + text(child) + " is not a child of node " + text(node) + " alone, numbered after it";
      reached[child] = 1;
    }
  }
  for (std::size_t node = 0; node < n; ++node)
    if (trie.is_terminal[node] > 1) return "node " + text(node) + " is marked terminal " + text(trie.is_terminal[node]);
  // What the searches rely on is what the arrays give.
  const SearchHints hints = derive_hints(trie);
  if (hints.children_sorted != trie.children_sorted) return "the children-sorted flag is not what the labels give";
  if (!trie.edges.empty() && !std::equal(trie.edges.begin(), trie.edges.end(), hints.edges.begin(), hints.edges.end(),
                                         [](const SearchEdge& a, const SearchEdge& b) {
                                           return a.label == b.label && a.chars == b.chars && a.run_begin == b.run_begin &&
                                                  a.run_length == b.run_length && a.nearest_terminal == b.nearest_terminal &&
                                                  a.height == b.height;
                                         }))
    return "the search edges are not those the arrays give";
  const CompletionView& completion = index.completion;
  if (!completion.nodes.empty()) {
    std::vector<std::uint32_t> counts(n);
    for (std::size_t node = 0; node < n; ++node) counts[node] = completion.nodes[node].count;
    auto derived = completion_nodes(trie, counts);
    if (!derived) return derived.error().message;
    if (!std::equal(derived->begin(), derived->end(), completion.nodes.begin(), completion.nodes.end()))
      return "the completion records are not those the trie and its counts give";
    for (std::size_t i = 0; i < completion.display_nodes.size(); ++i) {
      if (completion.display_nodes[i] >= n || (i > 0 && completion.display_nodes[i] <= completion.display_nodes[i - 1]))
        return "display text " + text(i) + " names node " + text(completion.display_nodes[i]) + " out of order";
      if (completion.display_offsets[i + 1] < completion.display_offsets[i]) return "display offsets go back at " + text(i);
    }
    if (auto bad = invalid_utf8(completion.display_bytes)) return "display texts are not UTF-8 at byte " + text(*bad);
  }
  return videos_fault(index.videos);
}

}  // namespace quillon::index_file
