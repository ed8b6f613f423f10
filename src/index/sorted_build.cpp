#include "sorted_build.hpp"

#include <algorithm>
#include <string>
#include <string_view>

#include "../checked.hpp"
#include "../grow.hpp"
#include "../utf8.hpp"

namespace quillon {
namespace {

std::string text(std::uint64_t value) { return std::to_string(value); }

// The code points of valid UTF-8 `bytes`, or false for bytes that are not.
bool decode_strict(std::span<const std::uint8_t> bytes, std::vector<char32_t>& out) {
  out.clear();
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t width = utf8::sequence_width(bytes[i]);
    if (width == 0 || width > bytes.size() - i) return false;
    const std::optional<char32_t> cp = utf8::decode_sequence(bytes.subspan(i, width));
    if (!cp) return false;
    out.push_back(*cp);
    i += width;
  }
  return true;
}

// Ends that never go back and stay within `size`.
std::optional<Error> check_ends(const char* what, std::span<const std::uint64_t> ends, std::size_t size) {
  std::uint64_t previous = 0;
  for (std::size_t i = 0; i < ends.size(); ++i) {
    if (ends[i] < previous || ends[i] > size)
      return Error::value(std::string(what) + " end " + text(i) + " (" + text(ends[i]) + ") goes back or past the " +
                          text(size) + " bytes");
    previous = ends[i];
  }
  return std::nullopt;
}

}  // namespace

SortedTrieBuilder::SortedTrieBuilder() : labels_{0}, path_{0}, counts_{0} { payloads_.push_absent(); }

std::optional<Error> SortedTrieBuilder::add(const TermBatch& b) {
  const std::size_t n = b.ends.size();
  if (b.totals.size() != n || b.sizes.size() != n)
    return Error::value("a batch of " + text(n) + " terms with " + text(b.totals.size()) + " totals and " +
                        text(b.sizes.size()) + " sizes");
  if (!b.display_ends.empty() && b.display_ends.size() != n)
    return Error::value("a batch of " + text(n) + " terms with " + text(b.display_ends.size()) + " display texts");
  std::uint64_t entries = 0;
  for (const std::uint32_t size : b.sizes) entries += size;
  if (b.video_ids.size() != entries || b.counts.size() != entries)
    return Error::value("a batch whose sizes add up to " + text(entries) + " entries, with " + text(b.video_ids.size()) +
                        " video ids and " + text(b.counts.size()) + " counts");
  if (auto error = check_ends("term", b.ends, b.text.size())) return error;
  if (auto error = check_ends("display text", b.display_ends, b.display_text.size())) return error;

  std::uint64_t start = 0, entry = 0, display_start = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::span<const std::uint8_t> bytes = b.text.subspan(start, b.ends[i] - start);
    start = b.ends[i];
    const std::string where = "term " + text(terms_);
    if (!decode_strict(bytes, term_)) return Error::value(where + " is not valid UTF-8");
    if (term_.empty()) return Error::value(where + " is empty");
    if (std::find(term_.begin(), term_.end(), U'\0') != term_.end()) return Error::value(where + " contains U+0000");
    if (!std::lexicographical_compare(last_.begin(), last_.end(), term_.begin(), term_.end()))
      return Error::value(where + " does not sort after the term before it");
    std::string_view display;
    if (!b.display_ends.empty()) {
      const std::span<const std::uint8_t> shown = b.display_text.subspan(display_start, b.display_ends[i] - display_start);
      display_start = b.display_ends[i];
      std::vector<char32_t> ignored;
      if (!decode_strict(shown, ignored)) return Error::value(where + ": its display text is not valid UTF-8");
      display = {reinterpret_cast<const char*>(shown.data()), shown.size()};
    }

    // The longest prefix shared with the last term; the order checked above
    // means the new term does not end inside it, so it adds a node.
    const std::size_t common = static_cast<std::size_t>(
        std::mismatch(last_.begin(), last_.end(), term_.begin(), term_.end()).first - last_.begin());
    path_.resize(common + 1);
    const std::size_t added = term_.size() - common;
    reserve_more(labels_, added);
    for (std::size_t k = common; k < term_.size(); ++k) {
      const auto node = static_cast<std::uint32_t>(labels_.size());
      labels_.push_back(term_[k]);
      parents_.push_back(path_.back());
      path_.push_back(node);
      counts_.push_back(0);
      if (k + 1 < term_.size()) payloads_.push_absent();
    }
    const std::uint32_t end_node = path_.back();
    const std::uint32_t size = b.sizes[i];
    reserve_more(payloads_.ids(), size);
    reserve_more(payloads_.counts(), size);
    payloads_.ids().insert(payloads_.ids().end(), b.video_ids.begin() + static_cast<std::ptrdiff_t>(entry),
                           b.video_ids.begin() + static_cast<std::ptrdiff_t>(entry + size));
    payloads_.counts().insert(payloads_.counts().end(), b.counts.begin() + static_cast<std::ptrdiff_t>(entry),
                              b.counts.begin() + static_cast<std::ptrdiff_t>(entry + size));
    entry += size;
    payloads_.close_payload(b.totals[i]);
    counts_[end_node] = b.totals[i];
    if (!display.empty())
      add_display(completion_, end_node, {reinterpret_cast<const char*>(bytes.data()), bytes.size()}, display);
    last_.swap(term_);
    ++terms_;
  }
  return std::nullopt;
}

Result<BuiltIndex> SortedTrieBuilder::finish(ByteStrings video_index, std::uint32_t top_n) {
  const std::size_t n = labels_.size();
  FlatArrays arrays;
  // Children parent by parent, each parent's in increasing id, which is
  // the order of their labels.
  arrays.node_shifts.assign(n, 0);
  std::vector<std::uint32_t> filled(n, 0);
  for (const std::uint32_t parent : parents_) ++at(filled, parent);
  std::uint32_t run = 0;
  for (std::size_t node = 0; node < n; ++node) {
    arrays.node_shifts[node] = run;
    run += filled[node];
    filled[node] = 0;
  }
  arrays.child_transitions.assign(parents_.size(), 0);
  for (std::size_t child = 1; child < n; ++child) {
    const std::uint32_t parent = parents_[child - 1];
    at(arrays.child_transitions, std::size_t{arrays.node_shifts[parent]} + filled[parent]++) =
        static_cast<std::uint32_t>(child);
  }
  std::vector<std::uint32_t>().swap(filled);
  std::vector<std::uint32_t>().swap(parents_);
  arrays.child_labels = std::move(labels_);
  arrays.video_index = std::move(video_index);
  arrays.video_top_n = top_n;

  auto trie = finish_build(std::move(arrays), std::move(payloads_));
  if (!trie) return trie.error();
  auto records = completion_nodes(*trie, counts_);
  if (!records) return records.error();
  BuiltIndex built{std::move(*trie), std::move(completion_)};
  built.completion.nodes = std::move(*records);
  *this = SortedTrieBuilder();
  return built;
}

}  // namespace quillon
