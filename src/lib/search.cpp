// PrefixSearch.fuzzy_match and PrefixSearch.fuzzy_match_video.
#include <array>

#include "binding.hpp"
#include "boundary.hpp"
#include "convert.hpp"
#include "methods.hpp"
#include "prefix/id_text.hpp"
#include "prefix/matcher.hpp"
#include "prefix/ranking.hpp"
#include "prefix_search.hpp"

namespace quillon::py {
namespace {

constexpr std::array<const char*, 3> kMatchParams = {"term", "max_dist", "limit"};
constexpr Signature kMatchSignature{"PrefixSearch", "fuzzy_match", kMatchParams, 1};
constexpr std::array<const char*, 5> kVideoParams = {"term", "max_dist", "limit", "include_prefix_nodes",
                                                     "min_score"};
constexpr Signature kVideoSignature{"PrefixSearch", "fuzzy_match_video", kVideoParams, 1};

// The parameters both searches share: term, max_dist (1 when omitted, None
// refused) and limit (None or omitted: no limit).
bool convert_search_arguments(PyObject* const* slots, std::string_view& term, std::uint32_t& max_dist,
                              std::optional<std::uint32_t>& limit) {
  const auto text = argument("term", to_text(slots[0]));
  if (!text) return false;
  term = *text;
  if (slots[1] != nullptr) {
    const auto value = argument("max_dist", to_u32(slots[1]));
    if (!value) return false;
    max_dist = *value;
  }
  return optional_argument(slots[2], "limit", to_u32, limit);
}

// A str of `size` ASCII characters written in place by `write(char*)`.
template <class Write>
Ref new_ascii_str(std::size_t size, Write&& write) {
  Ref text = checked(PyUnicode_New(static_cast<Py_ssize_t>(size), 127));
  write(reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.get())));
  return text;
}

}  // namespace

PyObject* fuzzy_match(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[kMatchParams.size()];
    if (!bind(kMatchSignature, args, nargs, kwnames, slots)) return nullptr;
    const Trie* const instance_trie = trie_of(self);
    if (instance_trie == nullptr) return nullptr;
    std::string_view term;
    std::uint32_t max_dist = 1;
    std::optional<std::uint32_t> limit;
    if (!convert_search_arguments(slots, term, max_dist, limit)) return nullptr;

    const Trie& trie = *instance_trie;
    const std::vector<MatchResult> hits = quillon::fuzzy_match(trie, term, max_dist, limit);
    return new_list(hits, [&](const MatchResult& hit) {
             return new_tuple(new_str(hit.term), checked(PyLong_FromLong(at(trie.is_terminal, hit.node))),
                              checked(PyLong_FromUnsignedLongLong(hit.dist)));
           }).release();
  });
}

PyObject* fuzzy_match_video(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[kVideoParams.size()];
    if (!bind(kVideoSignature, args, nargs, kwnames, slots)) return nullptr;
    const Trie* const instance_trie = trie_of(self);
    if (instance_trie == nullptr) return nullptr;
    RankingQuery query;
    if (!convert_search_arguments(slots, query.term, query.max_dist, query.limit) ||
        !optional_argument(slots[3], "include_prefix_nodes", to_flag, query.include_prefix_nodes) ||
        !optional_argument(slots[4], "min_score", to_real, query.min_score))
      return nullptr;

    const Trie& trie = *instance_trie;
    const std::vector<RankedVideo> ranked = rank_videos(trie, query);
    return new_list(ranked, [&](const RankedVideo& r) {
             Ref id = new_ascii_str(id_text_size(trie, r.video),
                                    [&](char* out) { write_id_text(trie, r.video, out); });
             return new_tuple(std::move(id), checked(PyFloat_FromDouble(r.score)));
           }).release();
  });
}

}  // namespace quillon::py
