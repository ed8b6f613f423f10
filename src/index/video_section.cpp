#include "video_section.hpp"

#include "../utf8.hpp"

namespace quillon::index_file {
namespace {

std::string text(std::uint64_t value) { return std::to_string(value); }

// The name of kept column i's arrays. (Built by appending: GCC 12 warns,
// wrongly, about "f" + std::to_string(i).)
std::string field_name(std::size_t i) {
  std::string name(1, 'f');
  name += text(i);
  return name;
}

void plan_column(std::vector<ArrayPlan>& plans, const std::string& name, const TextColumn& column) {
  plans.push_back({name + "_off", sizeof(std::uint64_t), column.offsets.size(),
                   bytes_of(std::span<const std::uint64_t>(column.offsets))});
  plans.push_back({name, 1, column.bytes.size(), column.bytes});
}

Result<TextColumnView> read_column(const ArrayDirectory& directory, const std::string& name, std::size_t texts) {
  auto offsets = directory.get<std::uint64_t>(name + "_off");
  if (!offsets) return offsets.error();
  auto bytes = directory.get<std::uint8_t>(name);
  if (!bytes) return bytes.error();
  if (offsets->size() != texts + 1 || offsets->front() != 0 || offsets->back() != bytes->size())
    return Error::value("section 'videos', column '" + name + "': " + text(offsets->size()) + " offsets ending at " +
                        text(offsets->empty() ? 0 : offsets->back()) + " for " + text(texts) + " texts of " +
                        text(bytes->size()) + " bytes");
  return TextColumnView{*offsets, *bytes};
}

bool valid_utf8(std::span<const std::uint8_t> bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t width = utf8::sequence_width(bytes[i]);
    if (width == 0 || width > bytes.size() - i || !utf8::decode_sequence(bytes.subspan(i, width))) return false;
    i += width;
  }
  return true;
}

std::optional<std::string> column_fault(const char* name, const TextColumnView& column) {
  for (std::size_t i = 0; i + 1 < column.offsets.size(); ++i)
    if (column.offsets[i + 1] < column.offsets[i]) return std::string("videos: ") + name + " offsets go back at " + text(i);
  if (!valid_utf8(column.bytes)) return std::string("videos: ") + name + " are not UTF-8";
  return std::nullopt;
}

}  // namespace

std::vector<ArrayPlan> video_arrays(const VideoTable& table) {
  std::vector<ArrayPlan> plans;
  plan_column(plans, "keys", table.keys);
  plans.push_back({"has_row", 1, table.has_row.size(), table.has_row});
  plan_column(plans, "titles", table.titles);
  plan_column(plans, "names", table.field_names);
  for (std::size_t i = 0; i < table.fields.size(); ++i) plan_column(plans, field_name(i), table.fields[i]);
  return plans;
}

Result<VideoTableView> read_videos(const Section& section, std::size_t videos) {
  auto directory = ArrayDirectory::read(section);
  if (!directory) return directory.error();
  VideoTableView view;
  auto has_row = directory->get<std::uint8_t>("has_row");
  if (!has_row) return has_row.error();
  view.has_row = *has_row;
  if (!view.has_row.empty() && view.has_row.size() != videos)
    return Error::value("section 'videos': " + text(view.has_row.size()) + " catalogue flags for " + text(videos) + " videos");
  auto keys_offsets = directory->get<std::uint64_t>("keys_off");
  if (!keys_offsets) return keys_offsets.error();
  const std::size_t keys = keys_offsets->size() <= 1 ? 0 : videos;  // no keys: one offset, 0
  auto key_column = read_column(*directory, "keys", keys);
  if (!key_column) return key_column.error();
  view.keys = *key_column;
  const std::size_t rows = view.has_row.empty() ? 0 : videos;
  auto titles = read_column(*directory, "titles", rows);
  if (!titles) return titles.error();
  view.titles = *titles;
  auto names_offsets = directory->get<std::uint64_t>("names_off");
  if (!names_offsets) return names_offsets.error();
  const std::size_t fields = names_offsets->empty() ? 0 : names_offsets->size() - 1;
  if (fields > kMostFields) return Error::value("section 'videos': " + text(fields) + " kept columns");
  auto names = read_column(*directory, "names", fields);
  if (!names) return names.error();
  view.field_names = *names;
  for (std::size_t i = 0; i < fields; ++i) {
    auto field = read_column(*directory, field_name(i), rows);
    if (!field) return field.error();
    view.fields.push_back(*field);
  }
  return view;
}

std::optional<std::string> videos_fault(const VideoTableView& view) {
  for (const std::uint8_t flag : view.has_row)
    if (flag > 1) return "videos: a catalogue flag of " + text(flag);
  if (auto fault = column_fault("keys", view.keys)) return fault;
  if (auto fault = column_fault("titles", view.titles)) return fault;
  if (auto fault = column_fault("column names", view.field_names)) return fault;
  for (const TextColumnView& field : view.fields)
    if (auto fault = column_fault("kept columns", field)) return fault;
  return std::nullopt;
}

}  // namespace quillon::index_file
