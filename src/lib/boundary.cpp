#include "boundary.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace quillon::py {

PyObject* panic_exception_type() {
  // Created under the interpreter lock and kept for the life of the process.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "_quillon.PanicException",
        "An internal invariant of _quillon was broken (only inconsistent input data can cause "
        "this).\n\nDerives from BaseException so that `except Exception` does not swallow it.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

void raise_panic(const char* message) noexcept {
  try {
    std::fprintf(stderr, "_quillon: internal error: %s\n", message);
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // the class could not be made; its error is set
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)),
                                               "replace"));
    if (!text) return;
    Ref args = Ref::steal(PyTuple_Pack(1, text.get()));
    if (!args) return;
    PyErr_SetObject(type, args.get());
  } catch (...) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
}

void raise(const Error& error) {
  switch (error.type) {
    case ErrorType::ValueError: PyErr_SetString(PyExc_ValueError, error.message.c_str()); return;
    case ErrorType::Pending:
      if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
      return;
  }
}

}  // namespace quillon::py
