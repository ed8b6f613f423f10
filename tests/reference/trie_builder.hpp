// Helpers that build small tries for the core tests and the fuzzers: from
// explicit child lists (any numbering, repeats and self edges allowed), from
// a list of terms, or as a single chain; an owning payload record, and
// readers that turn a PayloadTable back into such records for comparison.
#pragma once

#include <cstdint>
#include <map>
#include <ostream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "checked.hpp"
#include "payload.hpp"
#include "prefix/trie.hpp"

namespace quillon::testing {

// One payload that owns its lists, for writing expectations.
struct Payload {
  std::uint32_t total_count = 0;
  std::vector<std::uint32_t> video_ids;
  std::vector<std::uint32_t> video_counts;

  PayloadView view() const { return {total_count, video_ids, video_counts}; }
  bool operator==(const Payload&) const = default;
};

// Readable failure output.
inline void PrintTo(const Payload& p, std::ostream* os) {
  *os << "{total " << p.total_count << ", ids [";
  for (std::size_t i = 0; i < p.video_ids.size(); ++i) *os << (i ? ", " : "") << p.video_ids[i];
  *os << "], counts [";
  for (std::size_t i = 0; i < p.video_counts.size(); ++i)
    *os << (i ? ", " : "") << p.video_counts[i];
  *os << "]}";
}

// The message of the InternalError that `f` throws, or a marker text when it
// returns normally; any other exception escapes and fails the test.
template <class F>
std::string internal_error_of(F&& f) {
  try {
    f();
  } catch (const InternalError& e) {
    return e.what();
  }
  return "<returned without InternalError>";
}

using Children = std::vector<std::vector<std::uint32_t>>;
using OptPayload = std::optional<Payload>;

inline PayloadTable table_of(const std::vector<OptPayload>& payloads) {
  PayloadTable table;
  for (const OptPayload& p : payloads) {
    if (p)
      table.push(p->view());
    else
      table.push_absent();
  }
  return table;
}

inline OptPayload payload_at(const PayloadTable& table, std::size_t node) {
  const std::optional<PayloadView> view = table.get(node);
  if (!view) return std::nullopt;
  return Payload{view->total_count,
                 {view->video_ids.begin(), view->video_ids.end()},
                 {view->video_counts.begin(), view->video_counts.end()}};
}

inline std::vector<OptPayload> payloads_of(const PayloadTable& table) {
  std::vector<OptPayload> out;
  for (std::size_t i = 0; i < table.size(); ++i) out.push_back(payload_at(table, i));
  return out;
}

// Lays the child lists out as node_shifts / child_transitions, in the given
// order: node i's run starts where node i - 1's ended.
inline void lay_out_edges(const Children& children, Trie& trie) {
  trie.node_shifts.clear();
  trie.child_transitions.clear();
  for (const auto& list : children) {
    trie.node_shifts.push_back(static_cast<std::uint32_t>(trie.child_transitions.size()));
    trie.child_transitions.insert(trie.child_transitions.end(), list.begin(), list.end());
  }
}

// A trie whose node i has the children children[i] (in that order), the label
// labels[i] and, when terminal[i], a present empty payload.
inline Trie make_trie(const Children& children, const std::vector<char32_t>& labels,
                      const std::vector<bool>& terminal) {
  Trie trie;
  lay_out_edges(children, trie);
  trie.child_labels = labels;
  for (std::size_t i = 0; i < labels.size(); ++i) {
    const bool t = i < terminal.size() && terminal[i];
    trie.is_terminal.push_back(t ? 1 : 0);
    if (t)
      trie.payloads.push(PayloadView{});
    else
      trie.payloads.push_absent();
  }
  return trie;
}

// A trie for propagation: node i has children[i] and payloads[i]; every label
// is 'x' and a node is terminal when its payload is present.
inline Trie make_payload_trie(const Children& children, const std::vector<OptPayload>& payloads) {
  Trie trie;
  lay_out_edges(children, trie);
  trie.child_labels.assign(children.size(), U'x');
  for (const OptPayload& p : payloads) trie.is_terminal.push_back(p ? 1 : 0);
  trie.payloads = table_of(payloads);
  return trie;
}

// A trie holding `terms`. Nodes are numbered in order of creation, so every
// child has a larger id than its parent, and each node's children are stored
// in the order in which they were first met in `terms`.
struct TermTrie {
  Trie trie;
  std::map<std::u32string, std::uint32_t> node_of;  // term -> its end node
};

inline TermTrie trie_from_terms(const std::vector<std::u32string>& terms) {
  Children children{{}};
  std::vector<char32_t> labels{0};
  std::vector<bool> terminal{false};
  TermTrie out;
  for (const std::u32string& term : terms) {
    std::uint32_t node = 0;
    std::u32string prefix;
    for (const char32_t cp : term) {
      prefix.push_back(cp);
      std::optional<std::uint32_t> next;
      for (const std::uint32_t c : children[node])
        if (labels[c] == cp) next = c;
      if (!next) {
        next = static_cast<std::uint32_t>(labels.size());
        children[node].push_back(*next);
        children.emplace_back();
        labels.push_back(cp);
        terminal.push_back(false);
      }
      node = *next;
      out.node_of.emplace(prefix, node);
    }
    terminal[node] = true;
  }
  out.trie = make_trie(children, labels, terminal);
  return out;
}

// A chain: root, then `depth` nodes each labelled `label`, node d at depth d;
// node d is terminal when d is in `terminal_depths`.
inline Trie make_chain(std::size_t depth, char32_t label,
                       const std::vector<std::size_t>& terminal_depths) {
  Children children(depth + 1);
  for (std::size_t d = 0; d < depth; ++d) children[d].push_back(static_cast<std::uint32_t>(d + 1));
  std::vector<char32_t> labels(depth + 1, label);
  labels[0] = 0;
  std::vector<bool> terminal(depth + 1, false);
  for (const std::size_t d : terminal_depths) terminal.at(d) = true;
  return make_trie(children, labels, terminal);
}

// UTF-8 form of a code point string, written independently of the core.
inline std::string to_utf8(const std::u32string& s) {
  std::string out;
  for (const char32_t cp : s) {
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

}  // namespace quillon::testing
