#include "checked.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "reference/trie_builder.hpp"

namespace quillon {
namespace {

using testing::internal_error_of;

TEST(CheckedAt, ReadsEveryIndexBelowTheLength) {
  const std::vector<int> v{10, 20, 30};
  EXPECT_EQ(at(v, 0), 10);
  EXPECT_EQ(at(v, 2), 30);
  const std::span<const int> s(v);
  EXPECT_EQ(at(s, 1), 20);
}

TEST(CheckedAt, GivesAReferenceThatWritesThrough) {
  std::vector<std::uint32_t> v{1, 2, 3};
  at(v, 1) = 99;
  EXPECT_EQ(v, (std::vector<std::uint32_t>{1, 99, 3}));
  std::span<std::uint32_t> s(v);
  at(s, 2) = 7;
  EXPECT_EQ(v[2], 7u);
}

struct OutOfRange {
  std::size_t len;
  std::size_t index;
  const char* message;
};
void PrintTo(const OutOfRange& c, std::ostream* os) { *os << "len " << c.len << " index " << c.index; }

class CheckedAtOutOfRange : public ::testing::TestWithParam<OutOfRange> {};

TEST_P(CheckedAtOutOfRange, ThrowsInternalErrorWithLengthAndIndexOnVector) {
  const OutOfRange& c = GetParam();
  const std::vector<std::uint8_t> v(c.len, 1);
  EXPECT_EQ(internal_error_of([&] { (void)at(v, c.index); }), c.message);
}

TEST_P(CheckedAtOutOfRange, ThrowsInternalErrorWithLengthAndIndexOnSpan) {
  const OutOfRange& c = GetParam();
  const std::vector<std::uint32_t> v(c.len, 1);
  const std::span<const std::uint32_t> s(v);
  EXPECT_EQ(internal_error_of([&] { (void)at(s, c.index); }), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, CheckedAtOutOfRange,
    ::testing::Values(
        OutOfRange{0, 0, "index out of bounds: the len is 0 but the index is 0"},
        OutOfRange{3, 3, "index out of bounds: the len is 3 but the index is 3"},
        OutOfRange{3, 17, "index out of bounds: the len is 3 but the index is 17"},
        OutOfRange{1, std::numeric_limits<std::size_t>::max(),
                   "index out of bounds: the len is 1 but the index is 18446744073709551615"}),
    [](const ::testing::TestParamInfo<OutOfRange>& info) {
      return "Len" + std::to_string(info.param.len) + "Index" +
             (info.param.index == std::numeric_limits<std::size_t>::max()
                  ? std::string("Max")
                  : std::to_string(info.param.index));
    });

TEST(CheckedAt, InternalErrorIsARuntimeError) {
  const std::vector<int> v;
  EXPECT_THROW((void)at(v, 0), std::runtime_error);
}

}  // namespace
}  // namespace quillon
