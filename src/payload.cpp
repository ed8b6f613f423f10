#include "payload.hpp"

#include <algorithm>
#include <functional>

#include "checked.hpp"
#include "grow.hpp"

namespace quillon {

void PayloadTable::push_absent() {
  offsets_.push_back(video_ids_.size());
  total_counts_.push_back(0);
  present_.push_back(0);
}

void PayloadTable::push(PayloadView payload) {
  // Counts beyond the ids are ignored; a missing count is an internal error,
  // raised before anything is appended.
  const std::size_t n = payload.video_ids.size();
  if (n > 0) (void)at(payload.video_counts, n - 1);
  video_ids_.insert(video_ids_.end(), payload.video_ids.begin(), payload.video_ids.end());
  video_counts_.insert(video_counts_.end(), payload.video_counts.begin(),
                       payload.video_counts.begin() + static_cast<std::ptrdiff_t>(n));
  close_payload(payload.total_count);
}

PayloadTable PayloadTable::adopt(Arrays arrays) {
  const std::size_t nodes = arrays.total_counts.size();
  if (arrays.offsets.size() != nodes + 1) throw_out_of_bounds(arrays.offsets.size(), nodes + 1);
  if (arrays.present.size() != nodes) throw_out_of_bounds(arrays.present.size(), nodes);
  // Each violation is reported as the entry it would have made a reader
  // look up out of range.
  if (arrays.offsets.front() != 0) throw_out_of_bounds(0, arrays.offsets.front());
  const auto decrease = std::adjacent_find(arrays.offsets.begin(), arrays.offsets.end(), std::greater<>());
  if (decrease != arrays.offsets.end()) throw_out_of_bounds(decrease[1], decrease[0]);
  const std::uint64_t entries = arrays.offsets.back();
  if (arrays.video_ids.size() != entries) throw_out_of_bounds(arrays.video_ids.size(), entries);
  if (arrays.video_counts.size() != entries) throw_out_of_bounds(arrays.video_counts.size(), entries);
  PayloadTable table;
  table.offsets_ = std::move(arrays.offsets);
  table.total_counts_ = std::move(arrays.total_counts);
  table.present_ = std::move(arrays.present);
  table.video_ids_ = std::move(arrays.video_ids);
  table.video_counts_ = std::move(arrays.video_counts);
  return table;
}

bool PayloadTable::close_payload(std::uint32_t total_count) {
  total_counts_.push_back(total_count);
  present_.push_back(1);
  const bool equal = video_ids_.size() == video_counts_.size();
  if (!equal) {
    // Drop the unequal lists so the table stays consistent.
    video_ids_.resize(offsets_.back());
    video_counts_.resize(offsets_.back());
  }
  offsets_.push_back(video_ids_.size());
  return equal;
}

std::optional<PayloadView> PayloadTable::get(std::size_t node) const { return view().get(node); }

bool PayloadTable::present(std::size_t node) const { return at(present_, node) != 0; }

void PayloadTable::reverse_nodes() {
  // Reversing the flat lists reverses both the order of the blocks and the
  // entries inside each block; reversing each block again restores the
  // entries' order.
  std::reverse(video_ids_.begin(), video_ids_.end());
  std::reverse(video_counts_.begin(), video_counts_.end());
  std::reverse(total_counts_.begin(), total_counts_.end());
  std::reverse(present_.begin(), present_.end());
  const std::size_t n = size();
  std::vector<std::uint64_t> lengths(n);
  for (std::size_t i = 0; i < n; ++i) lengths[n - 1 - i] = offsets_[i + 1] - offsets_[i];
  std::uint64_t start = 0;
  for (std::size_t i = 0; i < n; ++i) {
    offsets_[i] = start;
    const auto first = static_cast<std::ptrdiff_t>(start);
    const auto last = static_cast<std::ptrdiff_t>(start + lengths[i]);
    std::reverse(video_ids_.begin() + first, video_ids_.begin() + last);
    std::reverse(video_counts_.begin() + first, video_counts_.begin() + last);
    start += lengths[i];
  }
  offsets_[n] = start;
}

void PayloadMerger::start(PayloadView self) {
  entries_.clear();
  total_count_ = 0;
  merge_from(self);
}

void PayloadMerger::merge_from(PayloadView other) {
  total_count_ = saturating_add(total_count_, other.total_count);
  for (std::size_t i = 0; i < other.video_ids.size(); ++i)
    entries_.push_back({other.video_ids[i], at(other.video_counts, i)});
}

std::uint32_t PayloadMerger::finish(std::uint32_t top_n, std::vector<std::uint32_t>& ids,
                                    std::vector<std::uint32_t>& counts) {
  // Fold repeated ids: sort by id, then sum each run in place.
  std::sort(entries_.begin(), entries_.end(),
            [](const Entry& a, const Entry& b) { return a.id < b.id; });
  std::size_t distinct = 0;
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (distinct > 0 && entries_[distinct - 1].id == entries_[i].id)
      entries_[distinct - 1].sum += entries_[i].sum;
    else
      entries_[distinct++] = entries_[i];
  }
  entries_.resize(distinct);

  const auto by_sum_desc = [](const Entry& a, const Entry& b) { return a.sum > b.sum; };
  const std::size_t keep = std::min<std::size_t>(distinct, top_n);
  if (keep < distinct)
    std::nth_element(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(keep),
                     entries_.end(), by_sum_desc);
  std::sort(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(keep), by_sum_desc);

  reserve_more(ids, keep);
  reserve_more(counts, keep);
  for (std::size_t i = 0; i < keep; ++i) {
    ids.push_back(entries_[i].id);
    counts.push_back(saturating_add(0, entries_[i].sum));
  }
  return total_count_;
}

}  // namespace quillon
