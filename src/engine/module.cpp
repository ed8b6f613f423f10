// The module quillon._engine: Engine, IndexWriter and the two error classes.
#include "complete/suggest.hpp"
#include "engine.hpp"

namespace quillon::engine {

PyObject* index_format_error() {
  static PyObject* type = PyErr_NewExceptionWithDoc(
      "quillon._engine.IndexFormatError", "Bytes that are not a sound quillon index file; the message says why.",
      PyExc_ValueError, nullptr);
  return type;
}

PyObject* damaged_index_error() {
  static PyObject* type = PyErr_NewExceptionWithDoc(
      "quillon._engine.DamagedIndexError",
      "A search found the arrays of a mapped index file inconsistent: the file was damaged after it was checked.",
      PyExc_RuntimeError, nullptr);
  return type;
}

void raise_error(const Error& error) {
  if (error.type == ErrorType::Pending) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "an error was reported but none was set");
    return;
  }
  PyErr_SetString(PyExc_ValueError, error.message.c_str());
}

Ref new_text(std::string_view text) {
  return Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

namespace {

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "quillon._engine",
    "The package's native engine: index files mapped and searched in place, and written.",
    -1,
    nullptr,
    nullptr, nullptr, nullptr, nullptr,
};

bool add(PyObject* module, const char* name, PyObject* object) {
  if (object == nullptr) return false;
  return PyModule_AddObjectRef(module, name, object) == 0;
}

}  // namespace
}  // namespace quillon::engine

PyMODINIT_FUNC PyInit__engine() {
  using namespace quillon::engine;
  return guarded([]() -> PyObject* {
    Ref module = Ref::steal(PyModule_Create(&kModule));
    if (!module) return nullptr;
    if (!add(module.get(), "Engine", reinterpret_cast<PyObject*>(engine_type())) ||
        !add(module.get(), "IndexWriter", reinterpret_cast<PyObject*>(index_writer_type())) ||
        !add(module.get(), "IndexFormatError", index_format_error()) ||
        !add(module.get(), "DamagedIndexError", damaged_index_error()) ||
        PyModule_AddIntConstant(module.get(), "MAX_EDITS", quillon::kMaxSuggestEdits) < 0)
      return nullptr;
    return module.release();
  });
}
