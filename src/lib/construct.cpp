// PrefixSearch.from_internal_data_v2: the host's flat arrays to an instance.
#include <array>

#include "binding.hpp"
#include "boundary.hpp"
#include "convert.hpp"
#include "grow.hpp"
#include "methods.hpp"
#include "prefix/build.hpp"
#include "prefix_search.hpp"
#include "utf8.hpp"

namespace quillon::py {
namespace {

constexpr std::array<const char*, 6> kParams = {
    "node_shifts", "child_labels", "payloads", "child_transitions", "video_index", "video_top_n"};
constexpr Signature kSignature{"PrefixSearch", "from_internal_data_v2", kParams, 6};

// Each label contributes the code point of its first character (0 for "").
bool append_labels(PyObject* obj, std::vector<char32_t>& out) {
  return for_each_element(
      obj, [&](std::size_t count) { out.reserve(count); },
      [&](PyObject* item) {
        if (PyUnicode_Check(item) && PyUnicode_IS_ASCII(item)) {
          out.push_back(PyUnicode_GET_LENGTH(item) ? PyUnicode_READ_CHAR(item, 0) : 0);
          return true;
        }
        // The whole label must be encodable, even though only its first
        // character is kept.
        const auto text = to_text(item);
        if (text) out.push_back(utf8::first_code_point(*text));
        return text.has_value();
      });
}

// Payload entries are kept as objects (None as null) and converted later,
// after the array shapes have been checked.
bool append_payload_objects(PyObject* obj, std::vector<Ref>& out) {
  return for_each_element(
      obj, [&](std::size_t count) { out.reserve(count); },
      [&](PyObject* item) {
        out.push_back(item == Py_None ? Ref() : Ref::borrow(item));
        return true;
      });
}

// One id per element, each a sequence of byte values; bytes and bytearray
// objects are copied directly (iterating them yields the same values).
bool append_id_table(PyObject* obj, ByteStrings& out) {
  return for_each_element(
      obj, [&](std::size_t count) { out.starts.reserve(count + 1); },
      [&](PyObject* entry) {
        if (PyBytes_CheckExact(entry) || PyByteArray_CheckExact(entry)) {
          const char* data = PyBytes_CheckExact(entry) ? PyBytes_AS_STRING(entry) : PyByteArray_AS_STRING(entry);
          const Py_ssize_t size = PyBytes_CheckExact(entry) ? PyBytes_GET_SIZE(entry) : PyByteArray_GET_SIZE(entry);
          out.bytes.insert(out.bytes.end(), data, data + size);
          out.close_entry();
          return true;
        }
        const bool ok = for_each_element(
            entry, [&](std::size_t count) { reserve_more(out.bytes, count); },
            [&](PyObject* item) {
              const auto value = to_byte_value(item);
              if (value) out.bytes.push_back(*value);
              return value.has_value();
            });
        if (ok) out.close_entry();
        return ok;
      });
}

// Converts payload tuple (total_count, video_ids, video_counts) into `table`.
std::optional<Error> convert_payload(PyObject* entry, PayloadTable& table) {
  if (entry == nullptr) {
    table.push_absent();
    return std::nullopt;
  }
  if (!PyTuple_Check(entry)) {
    raise_cannot_convert(entry, "PyTuple");
    return Error::pending();
  }
  if (PyTuple_GET_SIZE(entry) != 3) return Error::value("Payload tuple must have 3 elements");
  const auto total_count = to_u32(PyTuple_GET_ITEM(entry, 0));
  if (!total_count) return Error::pending();
  if (!append_u32_sequence(PyTuple_GET_ITEM(entry, 1), table.ids())) return Error::pending();
  if (!append_u32_sequence(PyTuple_GET_ITEM(entry, 2), table.counts())) return Error::pending();
  if (!table.close_payload(*total_count))
    return Error::value("video_ids and video_counts length mismatch");
  return std::nullopt;
}

// Converts one parameter with `append`, wrapping its failure.
template <class T, class Append>
bool convert_argument(PyObject* obj, const char* name, T& out, Append&& append) {
  if (append(obj, out)) return true;
  wrap_argument_error(name);
  return false;
}

}  // namespace

PyObject* from_internal_data_v2(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[kParams.size()];
    if (!bind(kSignature, args, nargs, kwnames, slots)) return nullptr;

    FlatArrays in;
    std::vector<Ref> payloads;
    if (!convert_argument(slots[0], "node_shifts", in.node_shifts, append_u32_sequence) ||
        !convert_argument(slots[1], "child_labels", in.child_labels, append_labels) ||
        !convert_argument(slots[2], "payloads", payloads, append_payload_objects) ||
        !convert_argument(slots[3], "child_transitions", in.child_transitions, append_u32_sequence) ||
        !convert_argument(slots[4], "video_index", in.video_index, append_id_table))
      return nullptr;
    const auto top_n = argument("video_top_n", to_u32(slots[5]));
    if (!top_n) return nullptr;
    in.video_top_n = *top_n;

    Result<Trie> trie = build_trie(std::move(in), payloads.size(),
                                   [&](std::size_t i, PayloadTable& table) {
                                     return convert_payload(payloads[i].get(), table);
                                   });
    if (!trie) {
      raise(trie.error());
      return nullptr;
    }
    return new_prefix_search(std::move(*trie));
  });
}

}  // namespace quillon::py
