// The package's own extension, quillon._engine: an index file mapped into
// memory and searched in place (Engine), and the writer of index files
// (IndexWriter). Everything it computes comes from the same core as
// _quillon; this folder only turns Python objects into core values and back,
// and maps files.
//
// Unlike _quillon, it releases the interpreter lock while it searches or
// builds (a search borrows nothing from Python then), and its own errors
// are its own classes: IndexFormatError (a file that is not a sound index)
// and DamagedIndexError (a read that found the mapped arrays inconsistent).
#pragma once

#include "lib/py_ref.hpp"

#include <new>
#include <string>

#include "checked.hpp"
#include "error.hpp"

namespace quillon::engine {

using py::Ref;

// The module's exception classes, made at import and kept for the process.
PyObject* index_format_error();
PyObject* damaged_index_error();

// The Engine and IndexWriter types, made at import.
PyTypeObject* engine_type();
PyTypeObject* index_writer_type();

// Raises an Error value: ValueError, or the Pending error already set.
void raise_error(const Error& error);

// Runs a method body; an InternalError escaping it (a read outside an array
// of the mapped file) becomes DamagedIndexError, running out of memory
// MemoryError, and nothing else crosses into the interpreter.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const InternalError& e) {
    PyErr_Format(damaged_index_error(), "the index file is damaged: %s", e.what());
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_SystemError, "quillon._engine: %s", e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "quillon._engine: unknown internal error");
  }
  return nullptr;
}

// The interpreter lock released for the life of the object: for a core call
// that touches no Python object.
class WithoutInterpreterLock {
 public:
  WithoutInterpreterLock() : state_(PyEval_SaveThread()) {}
  ~WithoutInterpreterLock() { PyEval_RestoreThread(state_); }
  WithoutInterpreterLock(const WithoutInterpreterLock&) = delete;
  WithoutInterpreterLock& operator=(const WithoutInterpreterLock&) = delete;

 private:
  PyThreadState* state_;
};

// A new str from UTF-8 bytes; bytes that are not UTF-8 come out replaced.
Ref new_text(std::string_view text);

}  // namespace quillon::engine
