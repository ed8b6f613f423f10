// Checked element access and the internal error it raises.
//
// Every index into a trie array goes through `at`: arrays that contradict each
// other (only possible with inconsistent input) stop the current call with an
// InternalError instead of reading outside an array. The Python boundary turns
// it into PanicException.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <stdexcept>
#include <string>

namespace quillon {

// A broken invariant: the one kind of failure that unwinds.
class InternalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

[[noreturn]] void throw_out_of_bounds(std::size_t len, std::size_t index);

// REQUIRES nothing: an index at or past the end throws InternalError
// "index out of bounds: the len is {len} but the index is {index}".
template <class Container>
[[nodiscard]] inline decltype(auto) at(Container& c, std::size_t index) {
  if (index >= c.size()) [[unlikely]] throw_out_of_bounds(c.size(), index);
  return c[index];
}

// REQUIRES nothing: the elements [begin, end) of `c` as one span, checked
// once for a loop that reads them all; an end past c.size() throws as `at`
// would for the first index past it.
template <class T>
[[nodiscard]] inline std::span<const T> at_run(std::span<const T> c, std::size_t begin, std::size_t end) {
  if (end > c.size() || begin > end) [[unlikely]] throw_out_of_bounds(c.size(), end > c.size() ? std::max(begin, c.size()) : begin);
  return c.subspan(begin, end - begin);
}

}  // namespace quillon
