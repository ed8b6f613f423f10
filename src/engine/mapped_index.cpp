// quillon._engine.Engine: an index file mapped read-only and searched in
// place. Workers that map the same file share its pages; a file replaced by
// rename keeps answering from the old mapping until the last Engine on it
// goes.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "complete/suggest.hpp"
#include "engine.hpp"
#include "index/index_sections.hpp"
#include "prefix/id_text.hpp"

namespace quillon::engine {
namespace {

// A file's bytes mapped into memory, with the views opened on them.
struct Mapping {
  void* address = MAP_FAILED;
  std::size_t size = 0;
  std::uint64_t device = 0, inode = 0;
  std::int64_t modified_ns = 0, changed_ns = 0;
  index_file::OpenedIndex index;

  Mapping() = default;
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping() {
    if (address != MAP_FAILED) munmap(address, size);
  }
  std::span<const std::uint8_t> bytes() const { return {static_cast<const std::uint8_t*>(address), size}; }
};

struct EngineObject {
  PyObject_HEAD
  Mapping* mapping;
};

const index_file::OpenedIndex& index_of(PyObject* self) { return reinterpret_cast<EngineObject*>(self)->mapping->index; }

// Maps `path`; an Error says why it cannot (with errno's words).
Result<Mapping*> map_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Error::value(std::string("cannot open: ") + std::strerror(errno));
  struct stat info {};
  if (fstat(fd, &info) < 0) {
    const int error = errno;
    ::close(fd);
    return Error::value(std::string("cannot read: ") + std::strerror(error));
  }
  if (S_ISDIR(info.st_mode)) {
    ::close(fd);
    return Error::value("is a folder, not an index file");
  }
  if (!S_ISREG(info.st_mode) || info.st_size == 0) {
    ::close(fd);
    return Error::value(info.st_size == 0 ? "is empty, not an index file" : "is not a regular file");
  }
  auto* mapping = new Mapping();
  mapping->size = static_cast<std::size_t>(info.st_size);
  mapping->device = info.st_dev;
  mapping->inode = info.st_ino;
  mapping->modified_ns = std::int64_t{info.st_mtim.tv_sec} * 1000000000 + info.st_mtim.tv_nsec;
  mapping->changed_ns = std::int64_t{info.st_ctim.tv_sec} * 1000000000 + info.st_ctim.tv_nsec;
  mapping->address = mmap(nullptr, mapping->size, PROT_READ, MAP_SHARED, fd, 0);
  const int error = errno;
  ::close(fd);  // the mapping keeps the file
  if (mapping->address == MAP_FAILED) {
    delete mapping;
    return Error::value(std::string("cannot map: ") + std::strerror(error));
  }
  return mapping;
}

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kKeywords[] = {"path", "deep_check", nullptr};
    PyObject* path_bytes = nullptr;
    int deep_check = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&|p:Engine", const_cast<char**>(kKeywords), PyUnicode_FSConverter,
                                     &path_bytes, &deep_check))
      return nullptr;
    const Ref path_owner = Ref::steal(path_bytes);
    const std::string path(PyBytes_AS_STRING(path_bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(path_bytes)));
    std::optional<Error> failure;
    Mapping* mapping = nullptr;
    {
      WithoutInterpreterLock unlocked;
      auto mapped = map_file(path);
      if (!mapped) {
        failure = mapped.error();
      } else {
        mapping = *mapped;
        auto opened = index_file::open_index(mapping->bytes());
        if (!opened) {
          failure = opened.error();
        } else {
          mapping->index = std::move(*opened);
          if (deep_check)
            if (auto fault = index_file::deep_fault(mapping->index)) failure = Error::value(*fault);
        }
      }
    }
    if (failure) {
      delete mapping;
      PyErr_SetString(index_format_error(), failure->message.c_str());
      return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
      delete mapping;
      return nullptr;
    }
    reinterpret_cast<EngineObject*>(self)->mapping = mapping;
    return self;
  });
}

void engine_dealloc(PyObject* self) {
  delete reinterpret_cast<EngineObject*>(self)->mapping;
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// A tri-state argument: None, False or True.
bool tri_state(PyObject* obj, std::optional<bool>& out) {
  if (obj == nullptr || obj == Py_None) {
    out = std::nullopt;
    return true;
  }
  if (!PyBool_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "expected True, False or None, not '%s'", Py_TYPE(obj)->tp_name);
    return false;
  }
  out = obj == Py_True;
  return true;
}

bool optional_real(PyObject* obj, std::optional<double>& out) {
  if (obj == nullptr || obj == Py_None) return true;
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) return false;
  out = value;
  return true;
}

// A schedule argument: None, or a sequence of edits per prefix length
// (small ints, never decreasing; at most one entry per code point and one).
bool schedule_argument(PyObject* obj, std::vector<std::uint32_t>& out) {
  if (obj == nullptr || obj == Py_None) return true;
  Ref items = Ref::steal(PySequence_Fast(obj, "schedule must be a sequence of ints"));
  if (!items) return false;
  const Py_ssize_t size = PySequence_Fast_GET_SIZE(items.get());
  if (size > 4096) {
    PyErr_SetString(PyExc_ValueError, "schedule: more than 4096 entries");
    return false;
  }
  for (Py_ssize_t i = 0; i < size; ++i) {
    const unsigned long value = PyLong_AsUnsignedLong(PySequence_Fast_GET_ITEM(items.get(), i));
    if (PyErr_Occurred()) return false;
    if (value > kMaxSuggestEdits || (!out.empty() && value < out.back())) {
      PyErr_SetString(PyExc_ValueError, "schedule: edits must not decrease and stay within MAX_EDITS");
      return false;
    }
    out.push_back(static_cast<std::uint32_t>(value));
  }
  return true;
}

// A str argument as UTF-8 (copied: the search runs without the lock).
bool text_argument(PyObject* obj, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "expected str, not '%s'", Py_TYPE(obj)->tp_name);
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) return false;
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

Ref completion_tuple(const index_file::OpenedIndex& index, const Completion& c) {
  const std::optional<std::string_view> display = index.completion.display(c.node);
  Ref shown = display ? new_text(*display) : Ref::borrow(Py_None);
  return Ref::steal(Py_BuildValue("(NNkkk)", new_text(c.term).release(), shown.release(),
                                  static_cast<unsigned long>(c.edits), static_cast<unsigned long>(c.count),
                                  static_cast<unsigned long>(c.covered)));
}

template <class Item, class Make>
Ref new_list(const std::vector<Item>& items, Make&& make) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return list;
  for (std::size_t i = 0; i < items.size(); ++i) {
    Ref item = make(items[i]);
    if (!item) return Ref();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return list;
}

// suggest(text, max_edits, completions, terms, videos, first_exact=False,
//         prefix_nodes=True, min_score=None)
//   -> (completions, terms, videos): [(term, display or None, edits, count,
//      covered)], [(term, distance)], [(video index, score)]
PyObject* engine_suggest(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kKeywords[] = {"text", "max_edits", "completions", "terms", "videos", "first_exact",
                                      "prefix_nodes", "min_score", "schedule", nullptr};
    PyObject* text_obj = nullptr;
    PyObject* prefix_obj = Py_True;
    PyObject* min_score_obj = Py_None;
    PyObject* schedule_obj = Py_None;
    unsigned int max_edits = 0, completions = 0, terms = 0, videos = 0;
    int first_exact = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OIIII|pOOO:suggest", const_cast<char**>(kKeywords), &text_obj,
                                     &max_edits, &completions, &terms, &videos, &first_exact, &prefix_obj,
                                     &min_score_obj, &schedule_obj))
      return nullptr;
    std::string text;
    std::vector<std::uint32_t> schedule;
    SuggestQuery q;
    if (!text_argument(text_obj, text) || !tri_state(prefix_obj, q.include_prefix_nodes) ||
        !optional_real(min_score_obj, q.min_score) || !schedule_argument(schedule_obj, schedule))
      return nullptr;
    q.schedule = schedule;
    q.text = text;
    q.max_edits = max_edits;
    q.completions = completions;
    q.terms = terms;
    q.videos = videos;
    q.first_exact = first_exact != 0;
    const index_file::OpenedIndex& index = index_of(self);
    Suggestions found;
    unsigned long edits_found = 0;
    {
      WithoutInterpreterLock unlocked;
      found = suggest(index.trie, index.completion, q);
    }
    Ref completion_list = new_list(found.completions, [&](const Completion& c) { return completion_tuple(index, c); });
    edits_found = found.edits;
    Ref term_list = new_list(found.terms, [](const MatchResult& m) {
      return Ref::steal(Py_BuildValue("(Nk)", new_text(m.term).release(), static_cast<unsigned long>(m.dist)));
    });
    Ref video_list = new_list(found.videos, [](const RankedVideo& v) {
      return Ref::steal(Py_BuildValue("(kd)", static_cast<unsigned long>(v.video), v.score));
    });
    if (!completion_list || !term_list || !video_list) return nullptr;
    Ref edits = Ref::steal(PyLong_FromUnsignedLong(edits_found));
    if (!edits) return nullptr;
    return PyTuple_Pack(4, completion_list.get(), term_list.get(), video_list.get(), edits.get());
  });
}

// complete(text, max_edits, limit, first_exact=False)
PyObject* engine_complete(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kKeywords[] = {"text", "max_edits", "limit", "first_exact", "schedule", nullptr};
    PyObject* text_obj = nullptr;
    PyObject* schedule_obj = Py_None;
    unsigned int max_edits = 0, limit = 0;
    int first_exact = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OII|pO:complete", const_cast<char**>(kKeywords), &text_obj,
                                     &max_edits, &limit, &first_exact, &schedule_obj))
      return nullptr;
    std::string text;
    std::vector<std::uint32_t> schedule;
    if (!text_argument(text_obj, text) || !schedule_argument(schedule_obj, schedule)) return nullptr;
    const index_file::OpenedIndex& index = index_of(self);
    std::vector<Completion> found;
    {
      WithoutInterpreterLock unlocked;
      found = complete(index.trie, index.completion,
                       {text, std::min(max_edits, kMaxSuggestEdits), limit, first_exact != 0, schedule});
    }
    return new_list(found, [&](const Completion& c) { return completion_tuple(index, c); }).release();
  });
}

// fuzzy_match(term, max_dist=1, limit=None): as PrefixSearch.fuzzy_match.
PyObject* engine_fuzzy_match(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kKeywords[] = {"term", "max_dist", "limit", nullptr};
    PyObject* text_obj = nullptr;
    PyObject* limit_obj = Py_None;
    unsigned int max_dist = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|IO:fuzzy_match", const_cast<char**>(kKeywords), &text_obj,
                                     &max_dist, &limit_obj))
      return nullptr;
    std::string text;
    if (!text_argument(text_obj, text)) return nullptr;
    std::optional<std::uint32_t> limit;
    if (limit_obj != Py_None) {
      const unsigned long value = PyLong_AsUnsignedLong(limit_obj);
      if (PyErr_Occurred()) return nullptr;
      limit = static_cast<std::uint32_t>(std::min<unsigned long>(value, UINT32_MAX));
    }
    const index_file::OpenedIndex& index = index_of(self);
    std::vector<MatchResult> hits;
    {
      WithoutInterpreterLock unlocked;
      hits = fuzzy_match(index.trie, text, max_dist, limit);
    }
    return new_list(hits, [&](const MatchResult& m) {
             return Ref::steal(Py_BuildValue("(Nkk)", new_text(m.term).release(),
                                             static_cast<unsigned long>(at(index.trie.is_terminal, m.node)),
                                             static_cast<unsigned long>(m.dist)));
           }).release();
  });
}

// fuzzy_match_video(term, max_dist=1, limit=None, include_prefix_nodes=None,
// min_score=None): as PrefixSearch.fuzzy_match_video, from the mapped file.
PyObject* engine_fuzzy_match_video(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kKeywords[] = {"term", "max_dist", "limit", "include_prefix_nodes", "min_score", nullptr};
    PyObject* text_obj = nullptr;
    PyObject* limit_obj = Py_None;
    PyObject* prefix_obj = Py_None;
    PyObject* min_score_obj = Py_None;
    unsigned int max_dist = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|IOOO:fuzzy_match_video", const_cast<char**>(kKeywords), &text_obj,
                                     &max_dist, &limit_obj, &prefix_obj, &min_score_obj))
      return nullptr;
    std::string text;
    RankingQuery q;
    if (!text_argument(text_obj, text) || !tri_state(prefix_obj, q.include_prefix_nodes) ||
        !optional_real(min_score_obj, q.min_score))
      return nullptr;
    if (limit_obj != Py_None) {
      const unsigned long value = PyLong_AsUnsignedLong(limit_obj);
      if (PyErr_Occurred()) return nullptr;
      q.limit = static_cast<std::uint32_t>(std::min<unsigned long>(value, UINT32_MAX));
    }
    q.term = text;
    q.max_dist = max_dist;
    const index_file::OpenedIndex& index = index_of(self);
    std::vector<RankedVideo> ranked;
    {
      WithoutInterpreterLock unlocked;
      ranked = rank_videos(index.trie, q);
    }
    return new_list(ranked, [&](const RankedVideo& r) {
             std::string id(id_text_size(index.trie, r.video), '\0');
             write_id_text(index.trie, r.video, id.data());
             return Ref::steal(Py_BuildValue("(Nd)", new_text(id).release(), r.score));
           }).release();
  });
}

// The video index argument of the video_* methods, checked against the table.
std::optional<std::uint32_t> video_argument(PyObject* self, PyObject* arg) {
  const unsigned long value = PyLong_AsUnsignedLong(arg);
  if (PyErr_Occurred()) return std::nullopt;
  const std::size_t videos = index_of(self).trie.id_table_size();
  if (value >= videos) {
    PyErr_Format(PyExc_IndexError, "video %lu of an index of %zu videos", value, videos);
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

// video_key(index): the video's id as the site wrote it (its own string),
// or as the id text of the trie (a decimal number or a UUID).
PyObject* engine_video_key(PyObject* self, PyObject* arg) {
  return guarded([&]() -> PyObject* {
    const auto video = video_argument(self, arg);
    if (!video) return nullptr;
    const index_file::OpenedIndex& index = index_of(self);
    if (index.videos.string_keys()) return new_text(index.videos.keys.text(*video)).release();
    std::string id(id_text_size(index.trie, *video), '\0');
    write_id_text(index.trie, *video, id.data());
    return new_text(id).release();
  });
}

// video_title(index): the catalogue's title, or None without a row.
PyObject* engine_video_title(PyObject* self, PyObject* arg) {
  return guarded([&]() -> PyObject* {
    const auto video = video_argument(self, arg);
    if (!video) return nullptr;
    const index_file::VideoTableView& videos = index_of(self).videos;
    if (!videos.catalogued() || !at(videos.has_row, *video)) Py_RETURN_NONE;
    return new_text(videos.titles.text(*video)).release();
  });
}

// video_fields(index): the kept columns as a dict, or None without a row.
PyObject* engine_video_fields(PyObject* self, PyObject* arg) {
  return guarded([&]() -> PyObject* {
    const auto video = video_argument(self, arg);
    if (!video) return nullptr;
    const index_file::VideoTableView& videos = index_of(self).videos;
    if (!videos.catalogued() || !at(videos.has_row, *video)) Py_RETURN_NONE;
    Ref fields = Ref::steal(PyDict_New());
    if (!fields) return nullptr;
    for (std::size_t i = 0; i < videos.fields.size(); ++i) {
      const Ref name = new_text(videos.field_names.text(i));
      const Ref value = new_text(at(videos.fields, i).text(*video));
      if (!name || !value || PyDict_SetItem(fields.get(), name.get(), value.get()) < 0) return nullptr;
    }
    return fields.release();
  });
}

PyObject* engine_field_names(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const index_file::VideoTableView& videos = index_of(self).videos;
    Ref names = Ref::steal(PyList_New(0));
    if (!names) return nullptr;
    for (std::size_t i = 0; i < videos.field_names.size(); ++i) {
      const Ref name = new_text(videos.field_names.text(i));
      if (!name || PyList_Append(names.get(), name.get()) < 0) return nullptr;
    }
    return names.release();
  });
}

// stored_trie(): a copy of the module's stored form, for
// PrefixSearch.from_bytes.
PyObject* engine_stored_trie(PyObject* self, PyObject*) {
  const std::span<const std::uint8_t> bytes = index_of(self).stored_trie;
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()), static_cast<Py_ssize_t>(bytes.size()));
}

// sections(): [(name, offset, length)] in the file's order.
PyObject* engine_sections(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    return new_list(index_of(self).sections, [](const index_file::Section& s) {
             return Ref::steal(Py_BuildValue("(NKK)", new_text(s.name).release(),
                                             static_cast<unsigned long long>(s.offset),
                                             static_cast<unsigned long long>(s.bytes.size())));
           }).release();
  });
}

// deep_check(): raises IndexFormatError for what opening does not check.
PyObject* engine_deep_check(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    std::optional<std::string> fault;
    {
      WithoutInterpreterLock unlocked;
      fault = index_file::deep_fault(index_of(self));
    }
    if (fault) {
      PyErr_SetString(index_format_error(), fault->c_str());
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

// The mapped bytes as a read-only buffer: memoryview(engine) hashes or
// slices the file without a copy.
int engine_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  const Mapping& mapping = *reinterpret_cast<EngineObject*>(self)->mapping;
  return PyBuffer_FillInfo(view, self, mapping.address, static_cast<Py_ssize_t>(mapping.size), 1, flags);
}

// (st_dev, st_ino, st_size, st_mtime_ns, st_ctime_ns) of the file mapped,
// as it was when it was opened.
PyObject* get_identity(PyObject* self, void*) {
  const Mapping& m = *reinterpret_cast<EngineObject*>(self)->mapping;
  return Py_BuildValue("(KKKLL)", static_cast<unsigned long long>(m.device), static_cast<unsigned long long>(m.inode),
                       static_cast<unsigned long long>(m.size), static_cast<long long>(m.modified_ns),
                       static_cast<long long>(m.changed_ns));
}

PyObject* get_node_count(PyObject* self, void*) { return PyLong_FromSize_t(index_of(self).trie.node_count()); }
PyObject* get_video_count(PyObject* self, void*) { return PyLong_FromSize_t(index_of(self).trie.id_table_size()); }
PyObject* get_size(PyObject* self, void*) {
  return PyLong_FromSize_t(reinterpret_cast<EngineObject*>(self)->mapping->size);
}
PyObject* get_has_completions(PyObject* self, void*) {
  return PyBool_FromLong(!index_of(self).completion.nodes.empty());
}
PyObject* get_id_kind(PyObject* self, void*) {
  const index_file::OpenedIndex& index = index_of(self);
  if (index.videos.string_keys()) return PyUnicode_FromString("string");
  return PyUnicode_FromString(index.trie.id_mode == IdMode::Int32 ? "int" : "uuid");
}
PyObject* get_catalogued(PyObject* self, void*) { return PyBool_FromLong(index_of(self).videos.catalogued()); }

PyMethodDef kMethods[] = {
    {"suggest", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_suggest)), METH_VARARGS | METH_KEYWORDS,
     "suggest($self, text, max_edits, completions, terms, videos, first_exact=False, prefix_nodes=True, min_score=None, "
     "schedule=None)\n--\n\n"
     "(completions, terms, videos, edits) for `text`, normalised as the terms are: the fewest edits up to max_edits "
     "that fill the completions."},
    {"complete", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_complete)), METH_VARARGS | METH_KEYWORDS,
     "complete($self, text, max_edits, limit, first_exact=False, schedule=None)\n--\n\n"
     "[(term, display or None, edits, count, covered)], best first."},
    {"fuzzy_match", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_fuzzy_match)),
     METH_VARARGS | METH_KEYWORDS, "fuzzy_match($self, term, max_dist=1, limit=None)\n--\n\nAs PrefixSearch.fuzzy_match."},
    {"fuzzy_match_video", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_fuzzy_match_video)),
     METH_VARARGS | METH_KEYWORDS,
     "fuzzy_match_video($self, term, max_dist=1, limit=None, include_prefix_nodes=None, min_score=None)\n--\n\n"
     "As PrefixSearch.fuzzy_match_video."},
    {"video_key", engine_video_key, METH_O, "video_key($self, video, /)\n--\n\nThe video's id as the site wrote it."},
    {"video_title", engine_video_title, METH_O, "video_title($self, video, /)\n--\n\nIts catalogue title, or None."},
    {"video_fields", engine_video_fields, METH_O, "video_fields($self, video, /)\n--\n\nIts kept catalogue columns, or None."},
    {"field_names", engine_field_names, METH_NOARGS, "field_names($self)\n--\n\nThe kept catalogue columns."},
    {"stored_trie", engine_stored_trie, METH_NOARGS, "stored_trie($self)\n--\n\nThe bytes of PrefixSearch.to_bytes."},
    {"sections", engine_sections, METH_NOARGS, "sections($self)\n--\n\n[(name, offset, length)]."},
    {"deep_check", engine_deep_check, METH_NOARGS, "deep_check($self)\n--\n\nChecks what opening does not."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetters[] = {
    {"node_count", get_node_count, nullptr, "Nodes of the trie.", nullptr},
    {"video_count", get_video_count, nullptr, "Videos of the id table.", nullptr},
    {"size", get_size, nullptr, "Bytes of the file.", nullptr},
    {"has_completions", get_has_completions, nullptr, "Whether the file holds completion records.", nullptr},
    {"id_kind", get_id_kind, nullptr, "'int', 'uuid' or 'string'.", nullptr},
    {"catalogued", get_catalogued, nullptr, "Whether the file holds a catalogue.", nullptr},
    {"identity", get_identity, nullptr, "(st_dev, st_ino, st_size, st_mtime_ns, st_ctime_ns) when opened.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(engine_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetters},
    {Py_bf_getbuffer, reinterpret_cast<void*>(engine_getbuffer)},
    {Py_tp_doc, const_cast<char*>("Engine(path, deep_check=False)\n--\n\nAn index file mapped and searched in place.")},
    {0, nullptr},
};

PyType_Spec kSpec = {"quillon._engine.Engine", static_cast<int>(sizeof(EngineObject)), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

PyTypeObject* engine_type() {
  static PyTypeObject* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kSpec));
  return type;
}

}  // namespace quillon::engine
