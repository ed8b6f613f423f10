// Building an index's trie from terms that arrive sorted by code point, in
// batches of flat arrays, without an object per term or per node.
//
// Sorted terms visit the trie in pre-order: a prefix sorts before its
// extensions and the terms below one node are contiguous. So each term only
// adds the nodes of its suffix past the longest prefix it shares with the
// term before it, numbered in order of arrival; every child is numbered
// above its parent and the children of a node stand in label order. The
// arrays are the same as the Python package's build_arrays gives for the
// same terms, so the stored form is too.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "../complete/completion_data.hpp"
#include "../error.hpp"
#include "../payload.hpp"
#include "../prefix/build.hpp"
#include "../prefix/trie.hpp"

namespace quillon {

// One batch of terms: term i is text[ends[i - 1] .. ends[i]) (UTF-8), with
// sizes[i] videos (the next entries of video_ids and counts, most counted
// first), searched totals[i] times in all; its display text, when
// display_ends is not empty, is display_text[display_ends[i - 1] ..
// display_ends[i]), empty where it is the term itself.
struct TermBatch {
  std::span<const std::uint8_t> text;
  std::span<const std::uint64_t> ends;
  std::span<const std::uint32_t> totals;
  std::span<const std::uint32_t> sizes;
  std::span<const std::uint32_t> video_ids;
  std::span<const std::uint32_t> counts;
  std::span<const std::uint8_t> display_text;
  std::span<const std::uint64_t> display_ends;
};

struct BuiltIndex {
  Trie trie;                  // propagated, with its search hints
  CompletionData completion;  // records and display texts
};

class SortedTrieBuilder {
 public:
  SortedTrieBuilder();

  // Adds a batch. Each term must be valid UTF-8, non-empty, without U+0000,
  // and sort after the one before it (across batches too). An Error names
  // the first term that breaks a rule; the terms before it stay added.
  std::optional<Error> add(const TermBatch& batch);

  std::size_t nodes() const { return labels_.size(); }
  std::size_t terms() const { return terms_; }

  // The trie of the terms added, its payloads propagated keeping `top_n`
  // videos a node, with the id table `video_index` (all 4 or all 16 bytes
  // an entry), and its completion records. The builder is left empty.
  Result<BuiltIndex> finish(ByteStrings video_index, std::uint32_t top_n);

 private:
  std::vector<char32_t> labels_;
  std::vector<std::uint32_t> parents_;  // parents_[i]: the parent of node i + 1
  std::vector<std::uint32_t> path_;     // path_[k]: the node of the last term's prefix of length k
  std::vector<char32_t> last_;          // the last term's code points
  std::vector<char32_t> term_;          // the term being added
  PayloadTable payloads_;
  std::vector<std::uint32_t> counts_;   // per node: the count of the term ending there
  CompletionData completion_;
  std::size_t terms_ = 0;
};

}  // namespace quillon
