// Growing a vector that many calls append to, one run after another.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace quillon {

// Makes room for `extra` more elements, growing geometrically. Reserving
// exactly size() + extra on every call, as a flat table filled one payload at
// a time would, reallocates and copies the whole vector each time: quadratic.
template <class T>
void reserve_more(std::vector<T>& v, std::size_t extra) {
  const std::size_t need = v.size() + extra;
  if (need > v.capacity()) v.reserve(std::max(need, 2 * v.capacity()));
}

}  // namespace quillon
