// PrefixSearch.fuzzy_match.
#include <array>

#include "binding.hpp"
#include "boundary.hpp"
#include "convert.hpp"
#include "methods.hpp"
#include "prefix/matcher.hpp"
#include "prefix_search.hpp"

namespace quillon::py {
namespace {

constexpr std::array<const char*, 3> kParams = {"term", "max_dist", "limit"};
constexpr Signature kSignature{"PrefixSearch", "fuzzy_match", kParams, 1};

}  // namespace

PyObject* fuzzy_match(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[kParams.size()];
    if (!bind(kSignature, args, nargs, kwnames, slots)) return nullptr;
    const auto borrow = SharedBorrow::take(self);
    if (!borrow) return nullptr;

    const auto term = argument("term", to_text(slots[0]));
    if (!term) return nullptr;
    std::uint32_t max_dist = 1;
    if (slots[1] != nullptr) {
      const auto value = argument("max_dist", to_u32(slots[1]));
      if (!value) return nullptr;
      max_dist = *value;
    }
    std::optional<std::uint32_t> limit;
    if (slots[2] != nullptr && slots[2] != Py_None) {
      limit = argument("limit", to_u32(slots[2]));
      if (!limit) return nullptr;
    }

    const Trie& trie = borrow->trie();
    const std::vector<MatchResult> hits = quillon::fuzzy_match(trie, *term, max_dist, limit);
    return new_list(hits, [&](const MatchResult& hit) {
             return new_tuple(new_str(hit.term), checked(PyLong_FromLong(at(trie.is_terminal, hit.node))),
                              checked(PyLong_FromUnsignedLongLong(hit.dist)));
           }).release();
  });
}

}  // namespace quillon::py
