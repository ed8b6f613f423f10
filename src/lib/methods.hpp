// The methods of PrefixSearch, in the order of its method table.
#pragma once

#include "py_ref.hpp"

namespace quillon::py {

// Static: builds an instance from the host's flat arrays.
PyObject* from_internal_data_v2(PyObject* unused, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);
// Instance: the stored form of the trie.
PyObject* to_bytes(PyObject* self, PyObject* unused);
// Static: an instance from the stored form.
PyObject* from_bytes(PyObject* unused, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// Instance: stored terms within max_dist edits of term.
PyObject* fuzzy_match(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// Instance: videos ranked for term, best first.
PyObject* fuzzy_match_video(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);

}  // namespace quillon::py
