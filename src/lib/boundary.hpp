// The method boundary: where error values and internal errors become Python
// exceptions. No C++ exception crosses into the interpreter.
#pragma once

#include "py_ref.hpp"

#include <new>

#include "checked.hpp"
#include "error.hpp"

namespace quillon::py {

// PanicException: created once per process, its only base BaseException, so
// that `except Exception` does not swallow an internal failure. Null (with
// the interpreter's error set) only if the class cannot be created.
PyObject* panic_exception_type();

// Raises an internal failure's message as PanicException.
void raise_panic(const char* message) noexcept;

// Raises an Error value with its type and message; a Pending error is
// already set by the interpreter and stays as it is.
void raise(const Error& error);

// Runs a method body; an InternalError (or any other C++ exception) escaping
// it is raised as PanicException, running out of memory as MemoryError.
// Everything the body held has been released by unwinding at that point.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic("unknown internal error");
  }
  return nullptr;
}

}  // namespace quillon::py
