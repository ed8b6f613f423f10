// The module _quillon: one class, PrefixSearch, listed in __all__.
#include <atomic>
#include <cstdint>

#include "boundary.hpp"
#include "prefix_search.hpp"

namespace quillon::py {
namespace {

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_quillon",
    "",       // doc
    0,        // no per-module state
    nullptr,  // no module-level functions
    nullptr, nullptr, nullptr, nullptr,
};

// The interpreter that first imported the module; -1 until then. The
// module's objects belong to that interpreter alone.
std::atomic<std::int64_t> g_interpreter{-1};
// Kept after the first successful initialisation, never released.
PyObject* g_module = nullptr;

bool add_class(PyObject* module) {
  PyTypeObject* type = prefix_search_type();
  if (type == nullptr) return false;
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  const Ref name = Ref::steal(PyUnicode_FromStringAndSize("PrefixSearch", 12));
  if (!name || PyList_Append(all.get(), name.get()) < 0) return false;
  return PyObject_SetAttr(module, name.get(), reinterpret_cast<PyObject*>(type)) == 0;
}

PyObject* initialise() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return nullptr;
  std::int64_t expected = -1;
  if (!g_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "_quillon does not support subinterpreters: it is already in use by another "
                    "interpreter of this process");
    return nullptr;
  }
  if (g_module != nullptr) return Py_NewRef(g_module);
  Ref module = Ref::steal(PyModule_Create2(&kModule, PYTHON_API_VERSION));
  if (!module || !add_class(module.get())) return nullptr;
  g_module = Py_NewRef(module.get());
  return module.release();
}

}  // namespace
}  // namespace quillon::py

PyMODINIT_FUNC PyInit__quillon() {
  return quillon::py::guarded([] { return quillon::py::initialise(); });
}
