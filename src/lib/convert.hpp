// Conversion of Python objects into native values and back.
//
// Every to_* function returns nothing exactly when it has set a Python
// exception; its messages are the module's documented ones.
#pragma once

#include "py_ref.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::py {

// TypeError "'{type qualname}' object cannot be converted to '{target}'".
void raise_cannot_convert(PyObject* obj, const char* target);

// A str (or subclass): its UTF-8 bytes, read in place for as long as the
// object lives. A string with a lone surrogate fails with UnicodeEncodeError.
std::optional<std::string_view> to_text(PyObject* obj);
// A bytes (or subclass): its buffer, in place.
std::optional<std::span<const std::uint8_t>> to_byte_string(PyObject* obj);
// An int, or any object with __index__: 0 to 4294967295.
std::optional<std::uint32_t> to_u32(PyObject* obj);
// Anything the interpreter converts to a C long: 0 to 255.
std::optional<std::uint8_t> to_byte_value(PyObject* obj);
// True or False, or a numpy boolean scalar; nothing else (not even 0 or 1).
std::optional<bool> to_flag(PyObject* obj);
// A float, or anything the interpreter converts to a C double.
std::optional<double> to_real(PyObject* obj);

// A sequence's reported length is only a hint: never reserve more than this
// many elements before they have arrived.
inline constexpr std::size_t kMaxReserveHint = std::size_t{1} << 16;

// Visits the elements of a sequence (anything PySequence_Check accepts,
// except a str) in iteration order: reserve(count) once, then
// element(borrowed item) -> bool for each, stopping at the first false.
// Exact lists and tuples are read directly; other sequences through their
// iterator.
template <class Reserve, class Element>
bool for_each_element(PyObject* obj, Reserve&& reserve, Element&& element) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(obj)) {
    raise_cannot_convert(obj, "Sequence");
    return false;
  }
  if (PyList_CheckExact(obj)) {
    reserve(static_cast<std::size_t>(PyList_GET_SIZE(obj)));
    // Re-read the size each time and hold the item: converting an element
    // may run Python code that changes the list, as the list iterator allows.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
      const Ref item = Ref::borrow(PyList_GET_ITEM(obj, i));
      if (!element(item.get())) return false;
    }
    return true;
  }
  if (PyTuple_CheckExact(obj)) {
    const Py_ssize_t size = PyTuple_GET_SIZE(obj);
    reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
      if (!element(PyTuple_GET_ITEM(obj, i))) return false;
    }
    return true;
  }
  const Py_ssize_t hint = PySequence_Size(obj);
  if (hint < 0) PyErr_Clear();
  reserve(std::min(static_cast<std::size_t>(std::max<Py_ssize_t>(hint, 0)), kMaxReserveHint));
  const Ref iterator = Ref::steal(PyObject_GetIter(obj));
  if (!iterator) return false;
  while (true) {
    const Ref item = Ref::steal(PyIter_Next(iterator.get()));
    if (!item) return !PyErr_Occurred();
    if (!element(item.get())) return false;
  }
}

// Appends the elements of a sequence of unsigned 32-bit integers to `out`.
// An exact array.array, memoryview or numpy.ndarray of native 4-byte unsigned
// integers is copied from its buffer, with the same result.
bool append_u32_sequence(PyObject* obj, std::vector<std::uint32_t>& out);

// After a failed conversion of parameter `name`: an exception of exactly
// TypeError becomes TypeError "argument '{name}': {message}" with the same
// __cause__; any other exception is left as it is.
void wrap_argument_error(const char* name);

template <class T>
std::optional<T> argument(const char* name, std::optional<T> converted) {
  if (!converted) wrap_argument_error(name);
  return converted;
}

// An argument where None means the same as omitting it: `out` stays empty
// for both. False when the conversion failed (error set and wrapped).
template <class T, class Convert>
bool optional_argument(PyObject* slot, const char* name, Convert&& convert, std::optional<T>& out) {
  if (slot == nullptr || slot == Py_None) return true;
  out = argument(name, convert(slot));
  return out.has_value();
}

// Result objects. A failure to create one (memory exhausted) prints the
// interpreter's error and throws InternalError "Python API call failed".
Ref checked(PyObject* created);
Ref new_str(std::string_view utf8);
// A list built at its final length: element i is build(values[i]).
template <class T, class Build>
Ref new_list(const std::vector<T>& values, Build&& build) {
  Ref list = checked(PyList_New(static_cast<Py_ssize_t>(values.size())));
  for (std::size_t i = 0; i < values.size(); ++i)
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), build(values[i]).release());
  return list;
}
// A tuple holding the given objects, in order.
template <class... Items>
Ref new_tuple(Items&&... items) {
  Ref tuple = checked(PyTuple_New(sizeof...(Items)));
  Py_ssize_t i = 0;
  (PyTuple_SET_ITEM(tuple.get(), i++, items.release()), ...);
  return tuple;
}

}  // namespace quillon::py
