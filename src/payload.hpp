// Payload records: the videos (with counts) reached through a trie node, the
// flat table that stores one optional payload per node, and merging.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "checked.hpp"

namespace quillon {

// A read-only view of one payload. video_counts[i] counts video video_ids[i].
struct PayloadView {
  std::uint32_t total_count = 0;
  std::span<const std::uint32_t> video_ids;
  std::span<const std::uint32_t> video_counts;
};

// A PayloadTable's arrays, wherever they live: node n's lists are
// video_ids[offsets[n] .. offsets[n + 1]) and the same range of
// video_counts, present where present[n] is not 0.
struct PayloadsView {
  std::span<const std::uint64_t> offsets;  // one more than the nodes
  std::span<const std::uint32_t> total_counts;
  std::span<const std::uint8_t> present;
  std::span<const std::uint32_t> video_ids;
  std::span<const std::uint32_t> video_counts;

  // The payload of `node`, or nothing for an absent one. Checked: offsets
  // that decrease or run past the lists throw InternalError.
  std::optional<PayloadView> get(std::size_t node) const {
    if (!at(present, node)) return std::nullopt;
    const std::uint64_t begin = at(offsets, node);
    const std::uint64_t end = at(offsets, node + 1);
    if (begin > end) throw_out_of_bounds(end, begin);
    if (begin < end) {
      // Both lists share the offsets; checking the last entry covers the range.
      (void)at(video_ids, end - 1);
      (void)at(video_counts, end - 1);
    }
    return PayloadView{at(total_counts, node), video_ids.subspan(begin, end - begin),
                       video_counts.subspan(begin, end - begin)};
  }
};

// One optional payload per node, all lists in two flat arrays: node i's lists
// are video_ids[offsets[i] .. offsets[i + 1]) and the same range of
// video_counts. No allocation per node.
class PayloadTable {
 public:
  std::size_t size() const { return total_counts_.size(); }
  void reserve(std::size_t nodes) {
    offsets_.reserve(nodes + 1);
    total_counts_.reserve(nodes);
    present_.reserve(nodes);
  }

  void push_absent();
  void push(PayloadView payload);

  // The table's own arrays, for a reader that fills them in one pass:
  // node n's entries are video_ids[offsets[n] .. offsets[n + 1]) and the
  // same range of video_counts; offsets start at 0 and never decrease, the
  // lists hold offsets.back() entries each, and an absent node has an empty
  // range and a total of 0.
  struct Arrays {
    std::vector<std::uint64_t> offsets{0};
    std::vector<std::uint32_t> total_counts;
    std::vector<std::uint8_t> present;
    std::vector<std::uint32_t> video_ids;
    std::vector<std::uint32_t> video_counts;
  };
  // Takes the arrays over without copying them. Checked: arrays that break
  // the layout above throw InternalError.
  static PayloadTable adopt(Arrays arrays);

  // The flat lists: a present payload is written by appending its entries
  // to both, then calling close_payload.
  std::vector<std::uint32_t>& ids() { return video_ids_; }
  std::vector<std::uint32_t>& counts() { return video_counts_; }
  // Appends a present payload made of the entries appended to ids() and
  // counts() since the previous payload. Returns false, and stores the
  // payload with empty lists, when the two lists differ in length.
  bool close_payload(std::uint32_t total_count);

  // The payload of `node`, or nothing for an absent one. Checked.
  std::optional<PayloadView> get(std::size_t node) const;
  bool present(std::size_t node) const;
  // The table's arrays as spans, for a reader that must not care where
  // they live (prefix/trie_view.hpp).
  PayloadsView view() const {
    return {offsets_, total_counts_, present_, video_ids_, video_counts_};
  }

  // Calls visit(payload) for every node in order, with null for an absent
  // payload: a pass over the flat arrays without a lookup per node.
  template <class Visit>
  void for_each(Visit&& visit) const {
    const std::span<const std::uint32_t> ids(video_ids_);
    const std::span<const std::uint32_t> counts(video_counts_);
    // Offsets only grow, so the last one bounds every payload's range.
    if (offsets_.back() > ids.size()) throw_out_of_bounds(ids.size(), offsets_.back());
    if (offsets_.back() > counts.size()) throw_out_of_bounds(counts.size(), offsets_.back());
    for (std::size_t node = 0; node < size(); ++node) {
      if (!present_[node]) {
        visit(static_cast<const PayloadView*>(nullptr));
        continue;
      }
      const std::uint64_t begin = offsets_[node];
      const std::uint64_t length = offsets_[node + 1] - begin;
      const PayloadView view{total_counts_[node], ids.subspan(begin, length), counts.subspan(begin, length)};
      visit(&view);
    }
  }

  // Reverses the order of the payloads (the last becomes the first), in
  // place: lets a pass that produces payloads from the last node to the first
  // store them without a second buffer.
  void reverse_nodes();

  bool operator==(const PayloadTable&) const = default;

 private:
  std::vector<std::uint64_t> offsets_{0};  // size() + 1 entries
  std::vector<std::uint32_t> total_counts_;
  std::vector<std::uint8_t> present_;
  std::vector<std::uint32_t> video_ids_;
  std::vector<std::uint32_t> video_counts_;
};

// Adds a + b, staying at 4294967295 instead of wrapping.
constexpr std::uint32_t saturating_add(std::uint32_t a, std::uint64_t b) {
  const std::uint64_t sum = a + b;
  return sum > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(sum);
}

// Folds several payloads into one: counts of the same video are summed in 64
// bits, every video is listed once, the most counted first, and each stored
// count saturates at 4294967295 while the order follows the full sum. The
// order among equal sums is not defined. One scratch buffer, reused across
// merges, so merging allocates nothing once it has grown.
class PayloadMerger {
 public:
  // Starts a merge with `self` as the accumulator's first content.
  void start(PayloadView self);
  void merge_from(PayloadView other);
  // Writes the merged payload, cut to its `top_n` most counted videos, to the
  // end of `ids` and `counts`; returns the merged total_count.
  std::uint32_t finish(std::uint32_t top_n, std::vector<std::uint32_t>& ids,
                       std::vector<std::uint32_t>& counts);

 private:
  struct Entry {
    std::uint32_t id;
    std::uint64_t sum;
  };
  std::vector<Entry> entries_;
  std::uint32_t total_count_ = 0;
};

}  // namespace quillon
