#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "prefix/build.hpp"
#include "reference/trie_builder.hpp"

namespace quillon {
namespace {

using testing::internal_error_of;
using testing::OptPayload;
using testing::Payload;
using testing::payloads_of;

using Bytes = std::vector<std::uint8_t>;
// One host payload entry: None, a converted tuple, or the conversion's error.
using Entry = std::variant<std::monostate, Payload, Error>;

ByteStrings byte_strings(const std::vector<Bytes>& entries) {
  ByteStrings out;
  for (const Bytes& e : entries) {
    out.bytes.insert(out.bytes.end(), e.begin(), e.end());
    out.close_entry();
  }
  return out;
}

FlatArrays arrays(std::vector<std::uint32_t> shifts, std::vector<char32_t> labels,
                  std::vector<std::uint32_t> transitions, std::vector<Bytes> index = {},
                  std::uint32_t top_n = UINT32_MAX) {
  return FlatArrays{std::move(shifts), std::move(labels), std::move(transitions),
                    byte_strings(index), top_n};
}

// Runs build_trie with `entries` as the payload source; `calls` receives the
// positions the source was asked for.
Result<Trie> build(FlatArrays in, const std::vector<Entry>& entries,
                   std::vector<std::size_t>* calls = nullptr) {
  return build_trie(std::move(in), entries.size(),
                    [&](std::size_t i, PayloadTable& table) -> std::optional<Error> {
                      if (calls) calls->push_back(i);
                      const Entry& e = entries.at(i);
                      if (const auto* error = std::get_if<Error>(&e)) return *error;
                      if (const auto* p = std::get_if<Payload>(&e)) {
                        // The same path the host conversion takes.
                        table.ids().insert(table.ids().end(), p->video_ids.begin(),
                                           p->video_ids.end());
                        table.counts().insert(table.counts().end(), p->video_counts.begin(),
                                              p->video_counts.end());
                        if (!table.close_payload(p->total_count))
                          return Error::value("video_ids and video_counts length mismatch");
                      } else {
                        table.push_absent();
                      }
                      return std::nullopt;
                    });
}

std::vector<Entry> none(std::size_t n) { return std::vector<Entry>(n); }

void expect_value_error(Result<Trie>& result, const std::string& message) {
  ASSERT_FALSE(result) << "expected the error: " << message;
  EXPECT_EQ(result.error().type, ErrorType::ValueError);
  EXPECT_EQ(result.error().message, message);
}

// ------------------------------------------------------------- shape checks

struct ShapeCase {
  const char* name;
  std::size_t shifts;
  std::size_t labels;
  std::size_t payloads;
  std::vector<std::uint32_t> transitions;
  const char* message;
};
void PrintTo(const ShapeCase& c, std::ostream* os) { *os << c.name; }

class BuildShape : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(BuildShape, FailsWithTheFirstCheckAndConvertsNoPayload) {
  const ShapeCase& c = GetParam();
  std::vector<std::size_t> calls;
  auto result = build(arrays(std::vector<std::uint32_t>(c.shifts, 0),
                             std::vector<char32_t>(c.labels, U'a'), c.transitions,
                             // A malformed id table must not be the one reported.
                             {Bytes(3)}),
                      none(c.payloads), &calls);
  expect_value_error(result, c.message);
  EXPECT_TRUE(calls.empty());
  FlatArrays in = arrays(std::vector<std::uint32_t>(c.shifts, 0),
                         std::vector<char32_t>(c.labels, U'a'), c.transitions);
  const std::optional<Error> direct = check_shape(in, c.payloads);
  ASSERT_TRUE(direct);
  EXPECT_EQ(direct->message, c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Checks, BuildShape,
    ::testing::Values(
        ShapeCase{"ShiftsShort", 2, 3, 3, {}, "node_shifts len 2 != child_labels len 3"},
        ShapeCase{"ShiftsLong", 4, 3, 3, {}, "node_shifts len 4 != child_labels len 3"},
        ShapeCase{"ShiftsBeforePayloads", 1, 3, 7, {9}, "node_shifts len 1 != child_labels len 3"},
        ShapeCase{"PayloadsShort", 3, 3, 2, {}, "payloads len 2 != child_labels len 3"},
        ShapeCase{"PayloadsLong", 0, 0, 1, {}, "payloads len 1 != child_labels len 0"},
        ShapeCase{"PayloadsBeforeTransitions", 3, 3, 4, {5}, "payloads len 4 != child_labels len 3"},
        ShapeCase{"NoNodesAnyChildFails", 0, 0, 0, {5}, "child_transitions[0] = 5 out of range [0..0)"},
        ShapeCase{"NoNodesChildZeroFails", 0, 0, 0, {0}, "child_transitions[0] = 0 out of range [0..0)"},
        ShapeCase{"LowestBadPositionReported", 3, 3, 3, {0, 2, 3, 7, 1, 4294967295u},
                  "child_transitions[2] = 3 out of range [0..3)"},
        ShapeCase{"LargestValue", 2, 2, 2, {1, 4294967295u},
                  "child_transitions[1] = 4294967295 out of range [0..2)"}),
    [](const ::testing::TestParamInfo<ShapeCase>& info) { return info.param.name; });

TEST(BuildShape, AcceptsAnyNumberingRepeatsAndUnreachedNodes) {
  FlatArrays in = arrays({0, 3, 3, 3}, {0, U'a', U'b', U'c'}, {2, 2, 1});
  EXPECT_FALSE(check_shape(in, 4));
  auto result = build(std::move(in), none(4));
  ASSERT_TRUE(result);
  EXPECT_EQ(result->child_transitions, (std::vector<std::uint32_t>{2, 2, 1}));
}

// ---------------------------------------------------------- building

TEST(Build, EmptyInputBuildsAnEmptyTrieInUuidMode) {
  for (const std::uint32_t top_n : {0u, 1u, UINT32_MAX}) {
    auto result = build(arrays({}, {}, {}, {}, top_n), {});
    ASSERT_TRUE(result);
    EXPECT_EQ(result->node_count(), 0u);
    EXPECT_EQ(result->id_mode, IdMode::Uuid);
    EXPECT_TRUE(result->video_uuids.empty());
    EXPECT_TRUE(result->video_int_ids.empty());
    EXPECT_TRUE(result->node_shifts.empty());
    EXPECT_TRUE(result->child_transitions.empty());
    EXPECT_TRUE(result->is_terminal.empty());
    EXPECT_EQ(result->payloads.size(), 0u);
  }
}

TEST(Build, TerminalFlagsComeFromPayloadPresenceAndEveryPayloadEndsPresent) {
  // root -> 1 ('a') -> 2 ('b'); root -> 3 ('c')
  auto result = build(arrays({0, 2, 3, 3}, {0, U'a', U'b', U'c'}, {1, 3, 2}, {Bytes(4, 0)}),
                      {std::monostate{}, Payload{0, {}, {}}, Payload{2, {0}, {5}}, std::monostate{}});
  ASSERT_TRUE(result);
  EXPECT_EQ(result->is_terminal, (std::vector<std::uint8_t>{0, 1, 1, 0}));
  EXPECT_EQ(result->node_shifts, (std::vector<std::uint32_t>{0, 2, 3, 3}));
  EXPECT_EQ(result->child_labels, (std::vector<char32_t>{0, U'a', U'b', U'c'}));
  EXPECT_EQ(result->child_transitions, (std::vector<std::uint32_t>{1, 3, 2}));
  EXPECT_EQ(payloads_of(result->payloads),
            (std::vector<OptPayload>{Payload{2, {0}, {5}}, Payload{2, {0}, {5}},
                                     Payload{2, {0}, {5}}, Payload{0, {}, {}}}));
}

TEST(Build, PropagatesWithVideoTopN) {
  // Node 1 keeps only its first entry (video 3), so the root never sees
  // video 4 although its count is the largest.
  auto result = build(arrays({0, 2, 2}, {0, U'a', U'b'}, {1, 2}, {}, 1),
                      {std::monostate{}, Payload{1, {3, 4}, {1, 9}}, Payload{1, {3}, {2}}});
  ASSERT_TRUE(result);
  EXPECT_EQ(payloads_of(result->payloads),
            (std::vector<OptPayload>{Payload{2, {3}, {3}}, Payload{1, {3}, {1}},
                                     Payload{1, {3}, {2}}}));
}

TEST(Build, PayloadIdsBeyondTheIdTableAreAccepted) {
  auto result = build(arrays({0}, {0}, {}, {Bytes(16, 7)}), {Payload{1, {99, 4294967295u}, {1, 2}}});
  ASSERT_TRUE(result);
  EXPECT_EQ(payloads_of(result->payloads),
            (std::vector<OptPayload>{Payload{1, {99, 4294967295u}, {1, 2}}}));
}

TEST(Build, PayloadSourceErrorStopsTheBuild) {
  std::vector<std::size_t> calls;
  auto result =
      build(arrays({0, 1, 1}, {0, U'a', U'b'}, {1}, {Bytes(16), Bytes(4)}),
            {Payload{1, {}, {}}, Error::pending(), Payload{1, {}, {}}},
            &calls);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().type, ErrorType::Pending);
  EXPECT_EQ(calls, (std::vector<std::size_t>{0, 1}));
}

TEST(Build, PayloadsAreConvertedInOrderBeforeTheIdTable) {
  std::vector<std::size_t> calls;
  auto result = build(arrays({0, 0, 0, 0}, {0, 1, 2, 3}, {}, {Bytes{}}),
                      {std::monostate{}, std::monostate{}, std::monostate{},
                       Error::value("Payload tuple must have 3 elements")},
                      &calls);
  expect_value_error(result, "Payload tuple must have 3 elements");
  EXPECT_EQ(calls, (std::vector<std::size_t>{0, 1, 2, 3}));
}

TEST(Build, RunPastTheEndOfChildTransitionsIsAnInternalError) {
  EXPECT_EQ(internal_error_of([] { (void)build(arrays({0, 3, 3}, {0, U'a', U'b'}, {1, 2}), none(3)); }),
            "index out of bounds: the len is 2 but the index is 2");
}

TEST(Build, LastRunStartingAtTheEndIsEmpty) {
  auto result = build(arrays({0, 1, 2}, {0, U'a', U'b'}, {1, 2}),
                      {std::monostate{}, std::monostate{}, Payload{3, {1}, {2}}});
  ASSERT_TRUE(result);
  EXPECT_EQ(payloads_of(result->payloads),
            (std::vector<OptPayload>{Payload{3, {1}, {2}}, Payload{3, {1}, {2}}, Payload{3, {1}, {2}}}));
}

// ------------------------------------------------------------- id table

struct IdTableCase {
  const char* name;
  std::vector<Bytes> index;
  std::optional<IdMode> mode;  // nothing: the build fails
  std::vector<Uuid> uuids;
  std::vector<std::uint32_t> ints;
};
void PrintTo(const IdTableCase& c, std::ostream* os) { *os << c.name; }

class BuildIdTable : public ::testing::TestWithParam<IdTableCase> {};

TEST_P(BuildIdTable, ClassifiesAndCopiesTheEntries) {
  const IdTableCase& c = GetParam();
  auto result = build(arrays({0}, {0}, {}, c.index), {Payload{1, {0}, {1}}});
  if (!c.mode) {
    expect_value_error(result, "video_index entries must be all 16 bytes (UUID) or all 4 bytes (int32)");
    return;
  }
  ASSERT_TRUE(result) << result.error().message;
  EXPECT_EQ(result->id_mode, *c.mode);
  EXPECT_EQ(result->video_uuids, c.uuids);
  EXPECT_EQ(result->video_int_ids, c.ints);
  EXPECT_EQ(result->id_table_size(), c.index.size());
}

Uuid uuid_from(std::uint8_t first) {
  Uuid u{};
  for (std::size_t i = 0; i < u.size(); ++i) u[i] = static_cast<std::uint8_t>(first + i);
  return u;
}

Bytes bytes_of(const Uuid& u) { return Bytes(u.begin(), u.end()); }

INSTANTIATE_TEST_SUITE_P(
    Tables, BuildIdTable,
    ::testing::Values(
        IdTableCase{"Empty", {}, IdMode::Uuid, {}, {}},
        IdTableCase{"AllSixteen",
                    {bytes_of(uuid_from(0)), bytes_of(uuid_from(0xF0)), bytes_of(uuid_from(0x10))},
                    IdMode::Uuid,
                    {uuid_from(0), uuid_from(0xF0), uuid_from(0x10)},
                    {}},
        IdTableCase{"AllFourLittleEndian",
                    {{0x01, 0x00, 0x00, 0x00},
                     {0xFF, 0xFF, 0xFF, 0xFF},
                     {0x78, 0x56, 0x34, 0x12},
                     {0x00, 0x00, 0x00, 0x80}},
                    IdMode::Int32,
                    {},
                    {1, 4294967295u, 0x12345678u, 0x80000000u}},
        IdTableCase{"SingleFour", {{0x00, 0x01, 0x00, 0x00}}, IdMode::Int32, {}, {256}},
        IdTableCase{"SixteenThenFour", {Bytes(16), Bytes(4)}, std::nullopt, {}, {}},
        IdTableCase{"FourThenSixteen", {Bytes(4), Bytes(4), Bytes(16)}, std::nullopt, {}, {}},
        IdTableCase{"SingleEmpty", {Bytes{}}, std::nullopt, {}, {}},
        IdTableCase{"FourThenEmpty", {Bytes(4), Bytes{}}, std::nullopt, {}, {}},
        IdTableCase{"AllFive", {Bytes(5), Bytes(5)}, std::nullopt, {}, {}},
        IdTableCase{"AllFifteen", {Bytes(15)}, std::nullopt, {}, {}},
        IdTableCase{"AllSeventeen", {Bytes(17)}, std::nullopt, {}, {}},
        IdTableCase{"SixteenSixteenSeventeen", {Bytes(16), Bytes(16), Bytes(17)}, std::nullopt, {},
                    {}}),
    [](const ::testing::TestParamInfo<IdTableCase>& info) { return info.param.name; });

TEST(FinishBuild, IdTableErrorComesBeforePropagation) {
  // Node 0's run reaches past the end: propagation would throw, but the id
  // table is checked first and its error is the result.
  FlatArrays in = arrays({0, 5}, {0, U'a'}, {1}, {Bytes(3)});
  PayloadTable table;
  table.push_absent();
  table.push_absent();
  auto result = finish_build(std::move(in), std::move(table));
  expect_value_error(result, "video_index entries must be all 16 bytes (UUID) or all 4 bytes (int32)");
}

}  // namespace
}  // namespace quillon
