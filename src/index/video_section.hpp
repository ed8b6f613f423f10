// The "videos" section of an index file: what the site knows of each video of
// the trie's id table, in its order. Written when the video ids are the
// site's own strings (the trie holds 32-bit numbers; the section gives back
// the strings) or when the build was given a catalogue (titles and other
// columns kept as text). A worker reads them in place, one text at a time,
// with no object per video at load.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "../error.hpp"
#include "container.hpp"
#include "text_column.hpp"

namespace quillon::index_file {

inline constexpr char kVideosSection[] = "videos";
// Kept columns beyond this many do not fit a section's directory.
inline constexpr std::size_t kMostFields = 24;

struct VideoTable {
  TextColumn keys;                    // the site's own ids; empty unless they are strings
  std::vector<std::uint8_t> has_row;  // per video: the catalogue has a row for it; empty without one
  TextColumn titles;                  // "" where there is no row
  TextColumn field_names;
  std::vector<TextColumn> fields;     // one per name, a text per video
};

struct VideoTableView {
  TextColumnView keys;
  std::span<const std::uint8_t> has_row;
  TextColumnView titles;
  TextColumnView field_names;
  std::vector<TextColumnView> fields;

  bool string_keys() const { return keys.size() > 0; }
  bool catalogued() const { return !has_row.empty(); }
};

std::vector<ArrayPlan> video_arrays(const VideoTable& table);

// The view of a "videos" section for an id table of `videos` entries,
// checked in constant time (each column's length).
Result<VideoTableView> read_videos(const Section& section, std::size_t videos);

// What opening does not check: offsets that go back, texts that are not
// UTF-8, flags that are neither 0 nor 1.
std::optional<std::string> videos_fault(const VideoTableView& view);

}  // namespace quillon::index_file
