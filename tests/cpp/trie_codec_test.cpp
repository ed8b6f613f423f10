// Decoding the stored form where the reader takes its shortcuts: runs of
// elements read a window of eight input bytes at a time, values of mixed
// widths, elements near the end of the input, counts that promise more than
// the input holds, payload lists of unequal lengths, and the payload table
// that decoding hands over whole (PayloadTable::adopt).
#include "prefix/trie_codec.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "reference/trie_builder.hpp"
#include "utf8.hpp"

namespace quillon {
namespace {

using testing::internal_error_of;
using testing::OptPayload;
using testing::Payload;
using testing::payloads_of;
using testing::table_of;

using Bytes = std::vector<std::uint8_t>;

// The stored form written by hand, each varint in the width asked for (1, 3,
// 5 or 9 bytes; 0 for the shortest).
struct Stored {
  Bytes bytes;

  Stored& byte(std::uint8_t b) {
    bytes.push_back(b);
    return *this;
  }
  Stored& varint(std::uint64_t value, unsigned width = 0) {
    if (width == 0) width = value < 251 ? 1 : value <= 0xFFFF ? 3 : value <= 0xFFFFFFFF ? 5 : 9;
    if (width > 1) bytes.push_back(width == 3 ? 251 : width == 5 ? 252 : 253);
    for (unsigned k = 0; k < (width == 1 ? 1 : width - 1); ++k) bytes.push_back((value >> (8 * k)) & 0xFF);
    return *this;
  }
  Stored& label(char32_t cp) {
    std::string text;
    utf8::append(text, cp);
    bytes.insert(bytes.end(), text.begin(), text.end());
    return *this;
  }
  // The fields before the payloads of `nodes` childless nodes.
  Stored& nodes_before_payloads(const std::vector<char32_t>& labels) {
    varint(labels.size());
    for (std::size_t i = 0; i < labels.size(); ++i) varint(0);
    varint(labels.size());
    for (const char32_t label_cp : labels) label(label_cp);
    return varint(0);  // no child_transitions
  }
  // The fields after the payloads: no uuids, `int_ids`, Int32 mode and
  // `nodes` flags that are all false.
  Stored& fields_after_payloads(const std::vector<std::uint32_t>& int_ids, std::size_t nodes) {
    varint(0).varint(int_ids.size());
    for (const std::uint32_t id : int_ids) varint(id);
    varint(1).varint(nodes);
    for (std::size_t i = 0; i < nodes; ++i) byte(0);
    return *this;
  }
};

std::string decode_error(const Bytes& bytes) {
  const Result<Trie> trie = decode(bytes);
  return trie ? "<decoded>" : trie.error().message;
}

// A value and the width it is written in: widths that can hold it, the
// shortest or a longer one, as encoders other than ours may write them.
struct Written {
  std::uint32_t value;
  unsigned width;
};

std::vector<Written> random_run(std::mt19937& rng, std::size_t length) {
  std::vector<Written> run;
  for (std::size_t i = 0; i < length; ++i) {
    const unsigned kind = rng() % 8;
    // Mostly one-byte values and the two three- and five-byte shapes ids
    // take, now and then a value written longer than it needs.
    const std::uint32_t value = kind < 4 ? rng() % 251 : kind < 6 ? 251 + rng() % 65285 : kind == 6 ? rng() : rng() % 251;
    const unsigned shortest = value < 251 ? 1 : value <= 0xFFFF ? 3 : 5;
    run.push_back({value, kind == 7 ? (shortest == 1 ? 3u : 5u) : shortest});
  }
  return run;
}

// One node whose payload lists and the int id table are all `run`, followed
// by `tail` bytes that decoding ignores: the run ends at every distance from
// the end of the input as the tail and the run's length vary.
Bytes one_node_with_lists(const std::vector<Written>& run, std::size_t tail) {
  Stored s;
  s.nodes_before_payloads({U'a'}).varint(1).byte(1).varint(7);
  for (int list = 0; list < 2; ++list) {
    s.varint(run.size());
    for (const Written& w : run) s.varint(w.value, w.width);
  }
  s.varint(0).varint(run.size());
  for (const Written& w : run) s.varint(w.value, w.width);
  s.varint(1).varint(1).byte(0);
  s.bytes.insert(s.bytes.end(), tail, 0xFB);
  return s.bytes;
}

TEST(DecodeRuns, ValuesOfMixedWidthsDecodeWhereverTheRunStartsAndEnds) {
  std::mt19937 rng(20261208);
  for (int round = 0; round < 400; ++round) {
    const std::vector<Written> run = random_run(rng, rng() % 40);
    const std::size_t tail = rng() % 10;
    std::vector<std::uint32_t> values;
    for (const Written& w : run) values.push_back(w.value);
    Result<Trie> trie = decode(one_node_with_lists(run, tail));
    ASSERT_TRUE(trie) << trie.error().message;
    EXPECT_EQ(trie->video_int_ids, values);
    EXPECT_EQ(payloads_of(trie->payloads), (std::vector<OptPayload>{Payload{7, values, values}}));
  }
}

// A refused or cut value inside a run of one-byte values, at every place of
// the run, is reported as reading it alone would report it.
struct RunFault {
  Bytes value;  // the bytes at the faulty place; the input ends after them when `ends`
  bool ends;
  std::string message;
};

class DecodeRunFault : public ::testing::TestWithParam<RunFault> {};

TEST_P(DecodeRunFault, IsReportedAtAnyPlaceInTheRun) {
  const RunFault& fault = GetParam();
  for (std::size_t before = 0; before < 20; ++before) {
    Stored s;
    s.nodes_before_payloads({}).varint(0).varint(0).varint(before + 30);
    for (std::size_t i = 0; i < before; ++i) s.varint(i % 251);
    s.bytes.insert(s.bytes.end(), fault.value.begin(), fault.value.end());
    if (!fault.ends)
      for (std::size_t i = 0; i < 40; ++i) s.varint(1);
    EXPECT_EQ(decode_error(s.bytes), "decode error: " + fault.message) << before << " values before it";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DecodeRunFault,
    ::testing::Values(RunFault{{253, 1, 0, 0, 0, 0, 0, 0, 0}, false, "InvalidIntegerType { expected: U32, found: U64 }"},
                      RunFault{{254}, false, "InvalidIntegerType { expected: U32, found: U128 }"},
                      RunFault{{255}, false, "InvalidIntegerType { expected: U32, found: Reserved }"},
                      RunFault{{252, 1, 2, 3}, true, "UnexpectedEnd { additional: 1 }"},
                      RunFault{{252, 1}, true, "UnexpectedEnd { additional: 3 }"},
                      RunFault{{252}, true, "UnexpectedEnd { additional: 4 }"},
                      RunFault{{251, 1}, true, "UnexpectedEnd { additional: 1 }"},
                      RunFault{{}, true, "UnexpectedEnd { additional: 1 }"}));

// Counts that promise more elements than the input holds: decoding reads
// what is there and fails where the input ends, for every kind of sequence.
struct ShortSequence {
  const char* name;
  Bytes bytes;
  std::string message;
};

class DecodeShortSequence : public ::testing::TestWithParam<ShortSequence> {};

TEST_P(DecodeShortSequence, FailsWhereTheInputEnds) {
  EXPECT_EQ(decode_error(GetParam().bytes), "decode error: " + GetParam().message);
}

Bytes labels_then(std::size_t count, const Bytes& present) {
  Stored s;
  s.varint(0).varint(count);
  s.bytes.insert(s.bytes.end(), present.begin(), present.end());
  return s.bytes;
}

Bytes payloads_then(std::size_t count, const Bytes& present) {
  Stored s;
  s.nodes_before_payloads({}).varint(count);
  s.bytes.insert(s.bytes.end(), present.begin(), present.end());
  return s.bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, DecodeShortSequence,
    ::testing::Values(
        ShortSequence{"int ids", Stored().nodes_before_payloads({}).varint(0).varint(0).varint(1000).varint(5).varint(300).varint(7).bytes,
                      "UnexpectedEnd { additional: 1 }"},
        ShortSequence{"ascii labels", labels_then(1000, {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i'}),
                      "UnexpectedEnd { additional: 1 }"},
        ShortSequence{"a label cut after its first byte", labels_then(1000, {'a', 'b', 0xF0}),
                      "UnexpectedEnd { additional: 3 }"},
        ShortSequence{"payloads", payloads_then(1000, {0, 0, 1, 3, 1, 9, 1, 2}), "UnexpectedEnd { additional: 1 }"},
        ShortSequence{"a payload's ids", payloads_then(1, {1, 3, 200, 1, 2, 3, 4, 5, 6, 7, 8, 9, 251, 0}),
                      "UnexpectedEnd { additional: 1 }"},
        ShortSequence{"uuids", Stored().nodes_before_payloads({}).varint(0).varint(5).bytes, "UnexpectedEnd { additional: 16 }"},
        ShortSequence{"flags", Stored().nodes_before_payloads({}).varint(0).varint(0).varint(0).varint(0).varint(1000).byte(1).byte(0).byte(1).bytes,
                      "UnexpectedEnd { additional: 1 }"}),
    [](const auto& info) {
      std::string name = info.param.name;
      for (char& c : name)
        if (c == ' ' || c == '\'') c = '_';
      return name;
    });

// Labels of one to four bytes at every place of a run of ASCII labels:
// whole, they decode; cut by the end of the input, they report the bytes
// missing; with a bad continuation byte, the bytes read.
TEST(DecodeLabels, LongerLabelsAmongAsciiOnesAtEveryPlace) {
  for (const char32_t wide : {U'\u00E9', U'\u4E2D', U'\U0001F600'}) {
    std::string text;
    utf8::append(text, wide);
    const Bytes encoded(text.begin(), text.end());
    for (std::size_t place = 0; place < 12; ++place) {
      std::vector<char32_t> labels(14, U'x');
      labels[place] = wide;
      Stored whole;
      whole.nodes_before_payloads(labels).varint(labels.size());
      for (std::size_t i = 0; i < labels.size(); ++i) whole.byte(0);
      whole.fields_after_payloads({}, labels.size());
      Result<Trie> trie = decode(whole.bytes);
      ASSERT_TRUE(trie) << trie.error().message;
      EXPECT_EQ(trie->child_labels, labels);

      for (std::size_t kept = 1; kept < encoded.size(); ++kept) {
        Bytes cut = labels_then(1000, Bytes(place, 'x'));
        cut.insert(cut.end(), encoded.begin(), encoded.begin() + static_cast<std::ptrdiff_t>(kept));
        EXPECT_EQ(decode_error(cut), "decode error: UnexpectedEnd { additional: " +
                                         std::to_string(encoded.size() - kept) + " }");
      }
      Bytes bad = labels_then(1000, Bytes(place, 'x'));
      bad.insert(bad.end(), encoded.begin(), encoded.end());
      bad.back() = 'x';  // the last continuation byte is no longer one
      bad.insert(bad.end(), 10, 'x');
      std::string read;
      for (std::size_t k = 0; k < 4; ++k)
        read += (k ? ", " : "") + std::to_string(k + 1 < encoded.size() ? encoded[k] : k + 1 == encoded.size() ? 'x' : 0);
      EXPECT_EQ(decode_error(bad), "decode error: InvalidCharEncoding([" + read + "])");
    }
  }
}

TEST(DecodeFlags, ABadFlagAtEveryPlaceOfARun) {
  for (const std::uint8_t value : {2, 0x80, 0xFF}) {
    for (std::size_t place = 0; place < 20; ++place) {
      Stored s;
      s.nodes_before_payloads({}).varint(0).varint(0).varint(0).varint(0).varint(24);
      for (std::size_t i = 0; i < 24; ++i) s.byte(i == place ? value : i % 2);
      EXPECT_EQ(decode_error(s.bytes), "decode error: InvalidBooleanValue(" + std::to_string(value) + ")");
    }
  }
}

// Lists of unequal lengths, longer than the room reserved for lists that
// pair up: they are read in full and the first such node is named.
TEST(DecodePayloads, UnequalListsAreReadInFullAndTheFirstIsNamed) {
  const std::vector<char32_t> labels(4, U'x');
  Stored s;
  s.nodes_before_payloads(labels).varint(4);
  s.byte(1).varint(2).varint(1).varint(9).varint(1).varint(2);  // node 0: sound
  s.byte(1).varint(60).varint(60);                              // node 1: 60 ids, no counts
  for (std::uint32_t i = 0; i < 60; ++i) s.varint(i);
  s.varint(0);
  s.byte(1).varint(1).varint(0).varint(1).varint(1);  // node 2: no ids, one count
  s.byte(0);                                          // node 3: absent
  s.fields_after_payloads({}, labels.size());
  EXPECT_EQ(decode_error(s.bytes), "decode error: video_ids and video_counts length mismatch (payloads[1])");

  // A byte-level fault after them still comes first.
  s.bytes.back() = 2;
  EXPECT_EQ(decode_error(s.bytes), "decode error: InvalidBooleanValue(2)");
}

TEST(PayloadTable, AdoptTakesArraysLaidOutAsPushWouldLayThem) {
  const PayloadTable table = PayloadTable::adopt({{0, 2, 2, 3}, {5, 0, 7}, {1, 0, 1}, {4, 6, 8}, {1, 2, 3}});
  EXPECT_EQ(table, table_of({Payload{5, {4, 6}, {1, 2}}, std::nullopt, Payload{7, {8}, {3}}}));
}

TEST(PayloadTable, AdoptRefusesArraysThatBreakTheLayout) {
  const auto adopt_error = [](PayloadTable::Arrays arrays) {
    return internal_error_of([&] { (void)PayloadTable::adopt(std::move(arrays)); });
  };
  // offsets one short, flags one short, a first offset past 0, a decrease,
  // lists shorter and longer than the last offset
  EXPECT_EQ(adopt_error({{0, 1}, {1, 1}, {1, 1}, {1}, {1}}), "index out of bounds: the len is 2 but the index is 3");
  EXPECT_EQ(adopt_error({{0, 1}, {1}, {}, {1}, {1}}), "index out of bounds: the len is 0 but the index is 1");
  EXPECT_EQ(adopt_error({{1, 1}, {1}, {1}, {1}, {1}}), "index out of bounds: the len is 0 but the index is 1");
  EXPECT_EQ(adopt_error({{0, 2, 1}, {1, 1}, {1, 1}, {1}, {1}}), "index out of bounds: the len is 1 but the index is 2");
  EXPECT_EQ(adopt_error({{0, 2}, {1}, {1}, {1}, {1, 2}}), "index out of bounds: the len is 1 but the index is 2");
  EXPECT_EQ(adopt_error({{0, 1}, {1}, {1}, {1}, {1, 2}}), "index out of bounds: the len is 2 but the index is 1");
}

}  // namespace
}  // namespace quillon
