// Binding call arguments (fast-call convention with keywords) to parameters.
#pragma once

#include "py_ref.hpp"

#include <cstddef>
#include <initializer_list>
#include <span>

namespace quillon::py {

// One method's parameters: all positional-or-keyword, the first `required`
// of them required; no *args or **kwargs.
struct Signature {
  const char* class_name;
  const char* method_name;
  std::span<const char* const> names;
  std::size_t required;
};

// Fills slots[i] with the object passed for parameter i (borrowed from the
// call) or null where it was omitted. On failure sets TypeError with one of
// the binding messages and returns false. Too many positional arguments are
// reported first, then keyword problems in the call's keyword order, then
// missing required parameters.
bool bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** slots);

}  // namespace quillon::py
