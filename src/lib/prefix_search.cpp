#include "prefix_search.hpp"

#include <cstdio>
#include <new>

#include "boundary.hpp"
#include "methods.hpp"

namespace quillon::py {
namespace {

// Doc strings carry the Python signature ("name(params)\n--\n\n") so that
// __text_signature__ and inspect.signature work; the rest of each doc is empty.
PyMethodDef kMethods[] = {
    {"from_internal_data_v2", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(from_internal_data_v2)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_internal_data_v2(node_shifts, child_labels, payloads, child_transitions, video_index, "
     "video_top_n)\n--\n\n"},
    {"to_bytes", to_bytes, METH_NOARGS, "to_bytes($self)\n--\n\n"},
    {"from_bytes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(from_bytes)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, "from_bytes(b)\n--\n\n"},
    {"fuzzy_match", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fuzzy_match)),
     METH_FASTCALL | METH_KEYWORDS, "fuzzy_match(term, max_dist=1, limit=None)\n--\n\n"},
    {"fuzzy_match_video", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fuzzy_match_video)),
     METH_FASTCALL | METH_KEYWORDS,
     "fuzzy_match_video(term, max_dist=1, limit=None, include_prefix_nodes=None, "
     "min_score=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* refuse_construction(PyTypeObject* type, PyObject*, PyObject*) {
  const Ref name = Ref::steal(PyType_GetName(type));
  if (!name) return nullptr;
  PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
  return nullptr;
}

void deallocate(PyObject* obj) {
  auto* self = reinterpret_cast<PrefixSearchObject*>(obj);
  self->trie.~Trie();
  PyTypeObject* type = Py_TYPE(obj);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(obj);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

PyType_Slot kSlots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(deallocate)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "builtins.PrefixSearch",
    static_cast<int>(sizeof(PrefixSearchObject)),
    0,
    Py_TPFLAGS_DEFAULT,  // no Py_TPFLAGS_BASETYPE: not subclassable
    kSlots,
};

}  // namespace

PyTypeObject* prefix_search_type() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) {
    PyObject* created = PyType_FromSpec(&kSpec);
    if (created == nullptr) {
      PyErr_Print();
      raise_panic("failed to create type object for PrefixSearch");
      return nullptr;
    }
    type = reinterpret_cast<PyTypeObject*>(created);
  }
  return type;
}

PyObject* new_prefix_search(Trie&& trie) {
  PyTypeObject* type = prefix_search_type();
  if (type == nullptr) return nullptr;
  const auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* obj = alloc(type, 0);
  if (obj == nullptr) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return nullptr;  // `trie` is released by its owner
  }
  auto* self = reinterpret_cast<PrefixSearchObject*>(obj);
  new (&self->trie) Trie(std::move(trie));
  return obj;
}

const Trie* trie_of(PyObject* self) {
  PyTypeObject* type = prefix_search_type();
  if (type == nullptr) return nullptr;
  if (!PyType_IsSubtype(Py_TYPE(self), type)) {
    const Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(self)));
    if (qualname)
      PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'PrefixSearch'", qualname.get());
    return nullptr;
  }
  return &reinterpret_cast<PrefixSearchObject*>(self)->trie;
}

}  // namespace quillon::py
