// The PrefixSearch class: its type object, instances and the trie every
// instance method reads.
#pragma once

#include "py_ref.hpp"

#include "prefix/trie.hpp"

namespace quillon::py {

struct PrefixSearchObject {
  PyObject_HEAD
  Trie trie;  // owned, never changed after creation
};

// The type object, created on first need and kept for the life of the
// process. Null with PanicException set if it cannot be created.
PyTypeObject* prefix_search_type();

// A new instance owning `trie`; null with the interpreter's error set.
PyObject* new_prefix_search(Trie&& trie);

// The trie of `self`, a borrowed reference valid for the method call that
// was given `self` (the trie never changes). Null with TypeError
// "'{type}' object cannot be converted to 'PrefixSearch'" when `self` is
// not a PrefixSearch.
const Trie* trie_of(PyObject* self);

}  // namespace quillon::py
