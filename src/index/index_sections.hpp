// The sections of an index file and the views read from them:
//
//   "trie"        the module's stored form (to_bytes), as it is, so that
//                 PrefixSearch.from_bytes reads an index without this code
//   "nodes"       the same trie as flat arrays with its search edges, which
//                 the searches and the ranking read in place (TrieView)
//   "completion"  the completion records and display texts (CompletionView)
//   "videos"      the site's own ids, titles and kept columns (video_section.hpp)
//
// Opening checks what every read relies on in constant time (the header,
// the sections, each array's place, width and length against the node
// count), so that a mapped file opens at once; every read of an element is
// checked as it happens. deep_fault checks the rest (the tree, the offsets,
// the derived data) in one pass, for a file whose checksum is not trusted.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "../complete/completion_data.hpp"
#include "../error.hpp"
#include "../prefix/trie.hpp"
#include "../prefix/trie_view.hpp"
#include "container.hpp"
#include "video_section.hpp"

namespace quillon::index_file {

inline constexpr char kTrieSection[] = "trie";
inline constexpr char kNodesSection[] = "nodes";
inline constexpr char kCompletionSection[] = "completion";

// The arrays of the "nodes" section of `trie`; `params` holds the two
// values the arrays refer to (id mode, children sorted) and must outlive
// the plans.
std::vector<ArrayPlan> node_arrays(const Trie& trie, std::array<std::uint32_t, 2>& params);
// The arrays of the "completion" section.
std::vector<ArrayPlan> completion_arrays(const CompletionData& data);

struct OpenedIndex {
  std::vector<Section> sections;
  std::span<const std::uint8_t> stored_trie;  // the "trie" section
  TrieView trie;
  CompletionView completion;  // empty without a "completion" section
  VideoTableView videos;      // empty without a "videos" section
};

// The views of a container's bytes (mapped or loaded at an address aligned
// to 64), checked as this file's heading says. Errors name what is wrong.
Result<OpenedIndex> open_index(std::span<const std::uint8_t> file);

// The first fault of an opened index that opening does not check: the trie
// is not a tree numbered parent first, payload offsets go back, search edges
// or completion records are not those its arrays give, display texts are out
// of order or not UTF-8.
std::optional<std::string> deep_fault(const OpenedIndex& index);

}  // namespace quillon::index_file
