#include "binding.hpp"

#include <cstring>
#include <string>
#include <vector>

namespace quillon::py {
namespace {

std::string full_name(const Signature& s) {
  return std::string(s.class_name) + "." + s.method_name + "()";
}

const char* was_or_were(Py_ssize_t n) { return n == 1 ? "was" : "were"; }

void raise_too_many(const Signature& s, Py_ssize_t nargs) {
  const std::string name = full_name(s);
  const std::size_t total = s.names.size();
  if (s.required != total)
    PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                 name.c_str(), s.required, total, nargs, was_or_were(nargs));
  else
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", name.c_str(),
                 total, nargs, was_or_were(nargs));
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quoted_list(std::span<const char* const> names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) out += ",";
      out += i + 1 == names.size() ? " and " : " ";
    }
    out += "'";
    out += names[i];
    out += "'";
  }
  return out;
}

}  // namespace

bool bind(const Signature& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** slots) {
  const std::size_t total = s.names.size();
  for (std::size_t i = 0; i < total; ++i) slots[i] = nullptr;
  if (static_cast<std::size_t>(nargs) > total) {
    raise_too_many(s, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];

  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t key_len = 0;
    const char* key_utf8 = PyUnicode_AsUTF8AndSize(key, &key_len);
    if (key_utf8 == nullptr) PyErr_Clear();  // unencodable: matches no parameter
    std::size_t match = total;
    for (std::size_t i = 0; key_utf8 != nullptr && i < total; ++i) {
      if (std::strlen(s.names[i]) == static_cast<std::size_t>(key_len) &&
          std::memcmp(s.names[i], key_utf8, static_cast<std::size_t>(key_len)) == 0) {
        match = i;
        break;
      }
    }
    const std::string name = full_name(s);
    if (match == total) {
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", name.c_str(), key);
      return false;
    }
    if (slots[match] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", name.c_str(),
                   s.names[match]);
      return false;
    }
    slots[match] = args[nargs + k];
  }

  if (static_cast<std::size_t>(nargs) < s.required) {
    std::vector<const char*> missing;
    for (std::size_t i = static_cast<std::size_t>(nargs); i < s.required; ++i)
      if (slots[i] == nullptr) missing.push_back(s.names[i]);
    const std::size_t count = missing.size();
    if (count > 0) {
      const std::string name = full_name(s);
      const std::string names = quoted_list(missing);
      PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", name.c_str(), count,
                   count == 1 ? "argument" : "arguments", names.c_str());
      return false;
    }
  }
  return true;
}

}  // namespace quillon::py
