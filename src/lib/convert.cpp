#include "convert.hpp"

#include <cstring>

#include "checked.hpp"
#include "grow.hpp"

namespace quillon::py {

void raise_cannot_convert(PyObject* obj, const char* target) {
  const Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (!qualname) return;
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", qualname.get(), target);
}

std::optional<std::string_view> to_text(PyObject* obj) {
  if (!PyUnicode_Check(obj)) {
    raise_cannot_convert(obj, "PyString");
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) return std::nullopt;
  return std::string_view(data, static_cast<std::size_t>(size));
}

std::optional<std::span<const std::uint8_t>> to_byte_string(PyObject* obj) {
  if (!PyBytes_Check(obj)) {
    raise_cannot_convert(obj, "PyBytes");
    return std::nullopt;
  }
  const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AsString(obj));
  return std::span<const std::uint8_t>(data, static_cast<std::size_t>(PyBytes_Size(obj)));
}

std::optional<std::uint32_t> to_u32(PyObject* obj) {
  unsigned long long value;
  if (PyLong_Check(obj)) {
    value = PyLong_AsUnsignedLongLong(obj);
  } else {
    const Ref index = Ref::steal(PyNumber_Index(obj));
    if (!index) return std::nullopt;
    value = PyLong_AsUnsignedLongLong(index.get());
  }
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;
  if (value > UINT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

std::optional<std::uint8_t> to_byte_value(PyObject* obj) {
  const long value = PyLong_AsLong(obj);
  if (value == -1 && PyErr_Occurred()) return std::nullopt;
  if (value < 0 || value > 255) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return std::nullopt;
  }
  return static_cast<std::uint8_t>(value);
}

namespace {

// numpy's boolean scalar type is recognised by name, without importing numpy.
bool is_numpy_bool_type(PyTypeObject* type) {
  const Ref module = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  if (!PyUnicode_Check(module.get()) || PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0)
    return false;
  const Ref name = Ref::steal(PyType_GetName(type));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
         PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
}

}  // namespace

std::optional<bool> to_flag(PyObject* obj) {
  if (PyBool_Check(obj)) return obj == Py_True;
  PyTypeObject* type = Py_TYPE(obj);
  if (is_numpy_bool_type(type)) {
    const inquiry truth = type->tp_as_number ? type->tp_as_number->nb_bool : nullptr;
    if (truth == nullptr) {
      PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion",
                   reinterpret_cast<PyObject*>(type));
      return std::nullopt;
    }
    const int value = truth(obj);
    if (value == 1) return true;
    if (value == 0) return false;
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return std::nullopt;
  }
  raise_cannot_convert(obj, "PyBool");
  return std::nullopt;
}

std::optional<double> to_real(PyObject* obj) {
  if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) return std::nullopt;
  return value;
}

namespace {

// Whether `type` is the class `name` of module `module_name`, for a module
// already imported (no object can be of a module never imported).
bool is_class_of(PyTypeObject* type, const char* module_name, const char* name) {
  const Ref key = Ref::steal(PyUnicode_FromString(module_name));
  const Ref module = key ? Ref::steal(PyImport_GetModule(key.get())) : Ref();
  const Ref found = module ? Ref::steal(PyObject_GetAttrString(module.get(), name)) : Ref();
  if (!found) {
    PyErr_Clear();
    return false;
  }
  return found.get() == reinterpret_cast<PyObject*>(type);
}

// Exactly memoryview, array.array or numpy.ndarray: types whose iteration
// yields the elements of their buffer. The name is compared first, cheaply;
// then the class itself, so that neither a subclass (which may iterate
// differently) nor a namesake passes.
bool iterates_as_its_buffer(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  if (type == &PyMemoryView_Type) return true;
  if (std::strcmp(type->tp_name, "array.array") == 0) return is_class_of(type, "array", "array");
  if (std::strcmp(type->tp_name, "numpy.ndarray") == 0) return is_class_of(type, "numpy", "ndarray");
  return false;
}

// A buffer held for the duration of a conversion.
class HeldBuffer {
 public:
  HeldBuffer(PyObject* obj, int flags) : held_(PyObject_GetBuffer(obj, &view_, flags) == 0) {}
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;
  ~HeldBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }
  bool held() const { return held_; }
  const Py_buffer& view() const { return view_; }

 private:
  Py_buffer view_{};
  bool held_;
};

bool is_native_u32_format(const char* format, Py_ssize_t itemsize) {
  if (format == nullptr || itemsize != 4) return false;
  if (format[0] == '@') ++format;
  return (format[0] == 'I' || format[0] == 'L') && format[1] == '\0';
}

// A one-dimensional, contiguous buffer of native 4-byte unsigned integers
// that iterates as its buffer is copied as it is: the result is the generic
// path's, without an object per element. Other formats, strided or
// multi-dimensional buffers take the generic path. False when `obj` is not
// such a buffer.
bool append_u32_buffer(PyObject* obj, std::vector<std::uint32_t>& out) {
  if (!iterates_as_its_buffer(obj)) return false;
  const HeldBuffer buffer(obj, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT);
  if (!buffer.held()) {
    PyErr_Clear();  // the generic path meets the same refusal and reports it
    return false;
  }
  const Py_buffer& view = buffer.view();
  if (view.ndim != 1 || !is_native_u32_format(view.format, view.itemsize)) return false;
  const auto count = static_cast<std::size_t>(view.len) / sizeof(std::uint32_t);
  reserve_more(out, count);
  const std::size_t start = out.size();
  out.resize(start + count);
  std::memcpy(out.data() + start, view.buf, count * sizeof(std::uint32_t));
  return true;
}

}  // namespace

bool append_u32_sequence(PyObject* obj, std::vector<std::uint32_t>& out) {
  if (append_u32_buffer(obj, out)) return true;
  return for_each_element(
      obj, [&](std::size_t count) { reserve_more(out, count); },
      [&](PyObject* item) {
        const auto value = to_u32(item);
        if (value) out.push_back(*value);
        return value.has_value();
      });
}

void wrap_argument_error(const char* name) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref original_type = Ref::steal(type);
  Ref original = Ref::steal(value);
  Ref original_traceback = Ref::steal(traceback);
  if (!original || Py_TYPE(original.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_Restore(original_type.release(), original.release(), original_traceback.release());
    return;
  }
  const Ref text = Ref::steal(PyObject_Str(original.get()));
  if (!text) return;
  const Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return;
  const Ref wrapped = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!wrapped) return;
  // The new error takes over the old one's cause (normally none).
  PyException_SetCause(wrapped.get(), PyException_GetCause(original.get()));
  PyErr_SetObject(PyExc_TypeError, wrapped.get());
}

Ref checked(PyObject* created) {
  if (created == nullptr) {
    if (PyErr_Occurred()) PyErr_Print();
    throw InternalError("Python API call failed");
  }
  return Ref::steal(created);
}

Ref new_str(std::string_view utf8) {
  return checked(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}

}  // namespace quillon::py
