// quillon._engine.IndexWriter: the build's terms, arriving sorted in batches
// of flat arrays, to an index file. The file is written through a mapping
// of its final size, its blocks reserved first, so that a full disk is an
// error and not a fault; the caller renames it into place.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "buffers.hpp"
#include "engine.hpp"
#include "index/index_sections.hpp"
#include "index/sorted_build.hpp"
#include "prefix/trie_codec.hpp"

namespace quillon::engine {
namespace {

struct WriterObject {
  PyObject_HEAD
  SortedTrieBuilder* builder;
  bool busy;  // a call runs without the interpreter lock
};

SortedTrieBuilder& builder_of(PyObject* self) { return *reinterpret_cast<WriterObject*>(self)->builder; }

// Marks the writer busy for one call: a second thread calling meanwhile
// gets RuntimeError rather than a builder changed under it.
class Busy {
 public:
  explicit Busy(PyObject* self) : self_(reinterpret_cast<WriterObject*>(self)) {
    if (self_->busy) {
      PyErr_SetString(PyExc_RuntimeError, "this IndexWriter is in use by another thread");
      self_ = nullptr;
      return;
    }
    self_->busy = true;
  }
  ~Busy() {
    if (self_ != nullptr) self_->busy = false;
  }
  Busy(const Busy&) = delete;
  Busy& operator=(const Busy&) = delete;
  explicit operator bool() const { return self_ != nullptr; }

 private:
  WriterObject* self_;
};

PyObject* writer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kKeywords[] = {nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, ":IndexWriter", const_cast<char**>(kKeywords))) return nullptr;
    auto* builder = new SortedTrieBuilder();
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
      delete builder;
      return nullptr;
    }
    reinterpret_cast<WriterObject*>(self)->builder = builder;
    reinterpret_cast<WriterObject*>(self)->busy = false;
    return self;
  });
}

void writer_dealloc(PyObject* self) {
  delete reinterpret_cast<WriterObject*>(self)->builder;
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// add(text, ends, totals, sizes, video_ids, counts, display_text=None,
//     display_ends=None): one batch of terms in code-point order.
PyObject* writer_add(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kKeywords[] = {"text", "ends", "totals", "sizes", "video_ids", "counts", "display_text",
                                      "display_ends", nullptr};
    PyObject *text = nullptr, *ends = nullptr, *totals = nullptr, *sizes = nullptr, *ids = nullptr, *counts = nullptr;
    PyObject *display_text = Py_None, *display_ends = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOO|OO:add", const_cast<char**>(kKeywords), &text, &ends, &totals,
                                     &sizes, &ids, &counts, &display_text, &display_ends))
      return nullptr;
    HeldArray<std::uint8_t> text_bytes, display_bytes;
    HeldArray<std::uint64_t> end_values, display_end_values;
    HeldArray<std::uint32_t> total_values, size_values, id_values, count_values;
    if (!text_bytes.take(text, "text") || !end_values.take(ends, "ends") || !total_values.take(totals, "totals") ||
        !size_values.take(sizes, "sizes") || !id_values.take(ids, "video_ids") || !count_values.take(counts, "counts") ||
        !display_bytes.take(display_text, "display_text") || !display_end_values.take(display_ends, "display_ends"))
      return nullptr;
    const TermBatch batch{text_bytes.span(),  end_values.span(),  total_values.span(),    size_values.span(),
                          id_values.span(),   count_values.span(), display_bytes.span(), display_end_values.span()};
    const Busy busy(self);
    if (!busy) return nullptr;
    std::optional<Error> error;
    {
      WithoutInterpreterLock unlocked;
      error = builder_of(self).add(batch);
    }
    if (error) {
      raise_error(*error);
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

// A text column from (bytes, ends): the texts of one column of the
// catalogue, or the site's own ids.
bool text_column(PyObject* pair, const char* name, TextColumn& out) {
  if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
    PyErr_Format(PyExc_TypeError, "%s must be a (bytes, ends) pair", name);
    return false;
  }
  HeldArray<std::uint8_t> bytes;
  HeldArray<std::uint64_t> ends;
  if (!bytes.take(PyTuple_GET_ITEM(pair, 0), name) || !ends.take(PyTuple_GET_ITEM(pair, 1), name)) return false;
  std::uint64_t previous = 0;
  for (const std::uint64_t end : ends.span()) {
    if (end < previous || end > bytes.span().size()) {
      PyErr_Format(PyExc_ValueError, "%s: an end that goes back or past the text", name);
      return false;
    }
    previous = end;
  }
  out.bytes.assign(bytes.span().begin(), bytes.span().end());
  out.offsets.assign(1, 0);
  out.offsets.insert(out.offsets.end(), ends.span().begin(), ends.span().end());
  return true;
}

// The "videos" section from the keyword arguments keys, has_row, titles,
// field_names, fields.
bool video_table(PyObject* keys, PyObject* has_row, PyObject* titles, PyObject* names, PyObject* fields,
                 index_file::VideoTable& table) {
  if (keys != Py_None && !text_column(keys, "keys", table.keys)) return false;
  if (has_row == Py_None) return true;
  HeldArray<std::uint8_t> rows;
  if (!rows.take(has_row, "has_row")) return false;
  table.has_row.assign(rows.span().begin(), rows.span().end());
  if (!text_column(titles, "titles", table.titles)) return false;
  if (!PyList_Check(names) || !PyList_Check(fields) || PyList_GET_SIZE(names) != PyList_GET_SIZE(fields) ||
      static_cast<std::size_t>(PyList_GET_SIZE(names)) > index_file::kMostFields) {
    PyErr_Format(PyExc_ValueError, "field_names and fields must be lists of the same length, at most %d",
                 static_cast<int>(index_file::kMostFields));
    return false;
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names); ++i) {
    Py_ssize_t size = 0;
    const char* name = PyUnicode_AsUTF8AndSize(PyList_GET_ITEM(names, i), &size);
    if (name == nullptr) return false;
    table.field_names.push({name, static_cast<std::size_t>(size)});
    table.fields.emplace_back();
    if (!text_column(PyList_GET_ITEM(fields, i), "fields", table.fields.back())) return false;
  }
  return true;
}

// Writes `writer` to a new file at `path` (which must not exist). An Error
// names the system call that failed; the file is removed then.
std::optional<Error> write_file(const std::string& path, const index_file::ContainerWriter& writer) {
  const std::uint64_t size = writer.file_size();
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return Error::value(path + ": cannot create: " + std::strerror(errno));
  const auto fail = [&](const char* what, int error) {
    ::close(fd);
    ::unlink(path.c_str());
    return Error::value(path + ": " + what + ": " + std::strerror(error));
  };
  // Blocks reserved before the mapping is written: a full disk fails here.
  if (const int error = posix_fallocate(fd, 0, static_cast<off_t>(size)); error != 0) return fail("cannot reserve room", error);
  void* address = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (address == MAP_FAILED) return fail("cannot map", errno);
  try {
    writer.write({static_cast<std::uint8_t*>(address), size});
  } catch (...) {
    munmap(address, size);
    ::close(fd);
    ::unlink(path.c_str());
    throw;
  }
  if (msync(address, size, MS_SYNC) < 0) {
    const int error = errno;
    munmap(address, size);
    return fail("cannot write", error);
  }
  munmap(address, size);
  if (::fsync(fd) < 0) return fail("cannot flush", errno);
  if (::close(fd) < 0) {
    ::unlink(path.c_str());
    return Error::value(path + ": cannot close: " + std::strerror(errno));
  }
  return std::nullopt;
}

// write(path, video_index, top_n, keys=None, has_row=None, titles=None,
//       field_names=None, fields=None) -> {"nodes", "terms", "size", "sections"}
// video_index: the ids of the videos, 4 little-endian bytes (int ids) or 16
// (UUIDs) each, concatenated, with id_width saying which.
PyObject* writer_write(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kKeywords[] = {"path", "video_index", "id_width", "top_n", "keys", "has_row", "titles",
                                      "field_names", "fields", nullptr};
    PyObject* path_bytes = nullptr;
    PyObject* video_index = nullptr;
    unsigned int id_width = 0, top_n = 0;
    PyObject *keys = Py_None, *has_row = Py_None, *titles = Py_None, *names = Py_None, *fields = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&OII|OOOOO:write", const_cast<char**>(kKeywords),
                                     PyUnicode_FSConverter, &path_bytes, &video_index, &id_width, &top_n, &keys,
                                     &has_row, &titles, &names, &fields))
      return nullptr;
    const Ref path_owner = Ref::steal(path_bytes);
    const std::string path(PyBytes_AS_STRING(path_bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(path_bytes)));
    if (id_width != 4 && id_width != 16) {
      PyErr_SetString(PyExc_ValueError, "id_width must be 4 or 16");
      return nullptr;
    }
    HeldArray<std::uint8_t> ids;
    if (!ids.take(video_index, "video_index")) return nullptr;
    if (ids.span().size() % id_width != 0) {
      PyErr_SetString(PyExc_ValueError, "video_index is not a whole number of ids");
      return nullptr;
    }
    ByteStrings table;
    table.bytes.assign(ids.span().begin(), ids.span().end());
    table.starts.clear();
    for (std::size_t start = 0; start <= table.bytes.size(); start += id_width) table.starts.push_back(start);
    index_file::VideoTable videos;
    if (!video_table(keys, has_row, titles, names, fields, videos)) return nullptr;
    const std::size_t video_count = table.size();
    if (!videos.keys.bytes.empty() && videos.keys.size() != video_count) {
      PyErr_SetString(PyExc_ValueError, "keys must name every video of video_index");
      return nullptr;
    }

    const Busy busy(self);
    if (!busy) return nullptr;
    SortedTrieBuilder& builder = builder_of(self);
    const std::size_t terms = builder.terms();
    std::optional<Error> error;
    std::vector<index_file::ContainerWriter::Placed> layout;
    std::size_t nodes = 0;
    std::uint64_t size = 0;
    {
      WithoutInterpreterLock unlocked;
      auto built = builder.finish(std::move(table), top_n);
      if (!built) {
        error = built.error();
      } else {
        const Trie& trie = built->trie;
        nodes = trie.node_count();
        std::array<std::uint32_t, 2> params{};
        index_file::ContainerWriter writer;
        writer.add_raw_section(index_file::kTrieSection, encoded_size(trie),
                               [&](std::span<std::uint8_t> out) { encode(trie, out); });
        writer.add_array_section(index_file::kNodesSection, index_file::node_arrays(trie, params));
        writer.add_array_section(index_file::kCompletionSection, index_file::completion_arrays(built->completion));
        if (!videos.keys.bytes.empty() || !videos.has_row.empty())
          writer.add_array_section(index_file::kVideosSection, index_file::video_arrays(videos));
        layout = writer.layout();
        size = writer.file_size();
        error = write_file(path, writer);
      }
    }
    if (error) {
      raise_error(*error);
      return nullptr;
    }
    Ref sections = Ref::steal(PyList_New(0));
    if (!sections) return nullptr;
    for (const auto& placed : layout) {
      Ref entry = Ref::steal(Py_BuildValue("(sKK)", placed.name.c_str(), static_cast<unsigned long long>(placed.offset),
                                           static_cast<unsigned long long>(placed.length)));
      if (!entry || PyList_Append(sections.get(), entry.get()) < 0) return nullptr;
    }
    return Py_BuildValue("{s:n,s:n,s:K,s:n,s:O}", "nodes", static_cast<Py_ssize_t>(nodes), "terms",
                         static_cast<Py_ssize_t>(terms), "size", static_cast<unsigned long long>(size), "videos",
                         static_cast<Py_ssize_t>(video_count), "sections", sections.get());
  });
}

PyObject* get_nodes(PyObject* self, void*) { return PyLong_FromSize_t(builder_of(self).nodes()); }
PyObject* get_terms(PyObject* self, void*) { return PyLong_FromSize_t(builder_of(self).terms()); }

PyMethodDef kMethods[] = {
    {"add", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(writer_add)), METH_VARARGS | METH_KEYWORDS,
     "add($self, text, ends, totals, sizes, video_ids, counts, display_text=None, display_ends=None)\n--\n\n"
     "Adds a batch of terms, sorted by code point after those added before."},
    {"write", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(writer_write)), METH_VARARGS | METH_KEYWORDS,
     "write($self, path, video_index, id_width, top_n, keys=None, has_row=None, titles=None, field_names=None, fields=None)"
     "\n--\n\nWrites the index of the terms added to a new file at path."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetters[] = {
    {"nodes", get_nodes, nullptr, "Nodes of the trie so far.", nullptr},
    {"terms", get_terms, nullptr, "Terms added so far.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(writer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(writer_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetters},
    {Py_tp_doc, const_cast<char*>("IndexWriter()\n--\n\nSorted terms in batches to an index file.")},
    {0, nullptr},
};

PyType_Spec kSpec = {"quillon._engine.IndexWriter", static_cast<int>(sizeof(WriterObject)), 0, Py_TPFLAGS_DEFAULT,
                     kSlots};

}  // namespace

PyTypeObject* index_writer_type() {
  static PyTypeObject* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kSpec));
  return type;
}

}  // namespace quillon::engine
