// Arrays handed over as buffers (numpy arrays, array.array, bytes): read in
// place, as spans of unsigned integers of the width the caller names.
#pragma once

#include "lib/py_ref.hpp"

#include <cstdint>
#include <cstring>
#include <span>

namespace quillon::engine {

// A buffer held while a call uses it: one-dimensional, contiguous, of
// unsigned integers of sizeof(T) bytes in the machine's order (or bytes,
// for T = uint8_t). None gives an empty span.
template <class T>
class HeldArray {
 public:
  HeldArray() = default;
  HeldArray(const HeldArray&) = delete;
  HeldArray& operator=(const HeldArray&) = delete;
  ~HeldArray() {
    if (held_) PyBuffer_Release(&view_);
  }

  // False, with TypeError naming `name`, for anything else.
  bool take(PyObject* obj, const char* name) {
    if (obj == nullptr || obj == Py_None) return true;
    if (PyObject_GetBuffer(obj, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "%s must be a buffer of unsigned %d-byte integers, not '%s'", name,
                   static_cast<int>(sizeof(T)), Py_TYPE(obj)->tp_name);
      return false;
    }
    held_ = true;
    if (view_.itemsize != static_cast<Py_ssize_t>(sizeof(T)) || view_.ndim > 1 || !unsigned_format(view_.format)) {
      PyErr_Format(PyExc_TypeError, "%s must hold unsigned %d-byte integers in this machine's order, not format '%s'",
                   name, static_cast<int>(sizeof(T)), view_.format ? view_.format : "B");
      return false;
    }
    return true;
  }

  std::span<const T> span() const {
    if (!held_) return {};
    return {static_cast<const T*>(view_.buf), static_cast<std::size_t>(view_.len / view_.itemsize)};
  }

 private:
  static bool unsigned_format(const char* format) {
    if (format == nullptr) return sizeof(T) == 1;  // plain bytes
    if (*format == '@' || *format == '=' || *format == '<') ++format;
    if (format[0] == '\0' || format[1] != '\0') return false;
    return std::strchr(sizeof(T) == 1 ? "Bc" : "HILQN", *format) != nullptr;
  }

  Py_buffer view_{};
  bool held_ = false;
};

}  // namespace quillon::engine
