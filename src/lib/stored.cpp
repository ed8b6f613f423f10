// PrefixSearch.to_bytes and PrefixSearch.from_bytes.
#include <array>

#include "binding.hpp"
#include "boundary.hpp"
#include "convert.hpp"
#include "methods.hpp"
#include "prefix/trie_codec.hpp"
#include "prefix_search.hpp"

namespace quillon::py {
namespace {

constexpr std::array<const char*, 1> kParams = {"b"};
constexpr Signature kSignature{"PrefixSearch", "from_bytes", kParams, 1};

}  // namespace

PyObject* to_bytes(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const Trie* const instance_trie = trie_of(self);
    if (instance_trie == nullptr) return nullptr;
    const Trie& trie = *instance_trie;
    // Sized exactly in a first pass, then encoded straight into the result.
    const std::size_t size = encoded_size(trie);
    Ref bytes = checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    encode(trie, {reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get())), size});
    return bytes.release();
  });
}

PyObject* from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[kParams.size()];
    if (!bind(kSignature, args, nargs, kwnames, slots)) return nullptr;
    const auto bytes = argument("b", to_byte_string(slots[0]));
    if (!bytes) return nullptr;
    Result<Trie> trie = decode(*bytes);
    if (!trie) {
      raise(trie.error());
      return nullptr;
    }
    return new_prefix_search(std::move(*trie));
  });
}

}  // namespace quillon::py
