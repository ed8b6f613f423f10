// Writes the seed corpus of the fuzz targets: `fuzz_seeds DIR` fills
// DIR/<target> for each target. The tries are the two stored examples (a
// two-node trie and the empty trie) and small tries built here: term tries
// with and without payloads, in both id modes, graphs with unlabelled nodes,
// shared children and cycles, and trees numbered out of order; the walk and
// mapped-index targets get them with queries. The index target gets sound
// index files as the package writes them (so that it mutates files that
// open), the completion target counted terms with queries.
#include <filesystem>
#include <fstream>
#include <random>

#include "fuzz_support.hpp"
#include "prefix/propagate.hpp"
#include "prefix/search_hints.hpp"
#include "reference/random_trie.hpp"

using namespace quillon;
using namespace quillon::fuzz;
using quillon::testing::Payload;
namespace fs = std::filesystem;

namespace {

// Node 0 with the single child node 1 labelled "a", both payloads
// {3, [0], [3]}, Int32 ids [1000], node 1 terminal.
const Bytes kTwoNodeTrie = {0x02, 0x00, 0x01, 0x02, 0x00, 0x61, 0x01, 0x01, 0x02, 0x01, 0x03, 0x01, 0x00, 0x01, 0x03,
                            0x01, 0x03, 0x01, 0x00, 0x01, 0x03, 0x00, 0x01, 0xFB, 0xE8, 0x03, 0x01, 0x02, 0x00, 0x01};
const Bytes kEmptyTrie(8, 0x00);

void write(const fs::path& dir, const std::string& name, const Bytes& bytes) {
  std::ofstream out(dir / name, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A term trie whose terminal nodes count a few videos, propagated.
Trie with_videos(const std::vector<std::u32string>& terms, std::mt19937& rng, bool uuids, std::uint32_t top_n) {
  Trie trie = testing::trie_from_terms(terms).trie;
  PayloadTable table;
  for (std::size_t i = 0; i < trie.node_count(); ++i) {
    if (!trie.is_terminal[i]) {
      table.push_absent();
      continue;
    }
    Payload p;
    for (std::size_t k = rng() % 4; k-- > 0;) {
      p.video_ids.push_back(rng() % 5);
      p.video_counts.push_back(1 + rng() % 9);
      p.total_count += p.video_counts.back();
    }
    table.push(p.view());
  }
  trie.payloads = std::move(table);
  for (std::uint32_t j = 0; j < 5; ++j) {
    if (uuids) {
      Uuid id{};
      id.fill(static_cast<std::uint8_t>(0x10 * j + 1));
      trie.video_uuids.push_back(id);
    } else {
      trie.video_int_ids.push_back(1000 + j);
    }
  }
  trie.id_mode = uuids ? IdMode::Uuid : IdMode::Int32;
  propagate(trie, top_n);
  return trie;
}

// A term trie disturbed: unlabelled nodes and extra edges, which may close
// cycles or share children.
Trie random_graph(std::mt19937& rng, std::size_t words, std::size_t extra_edges) {
  return testing::random_trie(
             rng, {.words = words, .word_length = 6, .unlabelled = 1.0 / 12, .extra_edges = extra_edges, .cycles = true})
      .trie();
}

// The bytes that read_build_case turns into a proper layout of `children`,
// with labels (positions in kAlphabet, 7 for none), payloads (empty: absent),
// 4-byte ids and top_n. Mirrors the reader field by field.
Bytes build_case_bytes(const testing::Children& children, const std::vector<std::uint8_t>& labels,
                       const std::vector<std::optional<Payload>>& payloads, std::size_t ids, std::uint8_t top_n) {
  Bytes out{static_cast<std::uint8_t>(children.size()), 0, 0};
  for (const auto& list : children) out.push_back(static_cast<std::uint8_t>(list.size()));
  for (const auto& list : children)
    for (const std::uint32_t child : list) out.push_back(static_cast<std::uint8_t>(child));
  out.insert(out.end(), labels.begin(), labels.end());
  out.push_back(0);
  for (const auto& p : payloads) {
    if (!p) {
      out.push_back(0);
      continue;
    }
    out.push_back(1);
    out.push_back(static_cast<std::uint8_t>(p->total_count));
    out.push_back(static_cast<std::uint8_t>(p->video_ids.size()));
    out.push_back(0);
    for (const std::uint32_t id : p->video_ids) out.push_back(static_cast<std::uint8_t>(id));
    for (const std::uint32_t count : p->video_counts) out.push_back(static_cast<std::uint8_t>(count));
  }
  out.push_back(static_cast<std::uint8_t>(ids));
  out.push_back(1);  // 4-byte ids
  for (std::size_t j = 0; j < ids; ++j) out.insert(out.end(), {static_cast<std::uint8_t>(j), 0, 0, 0});
  out.push_back(top_n);
  return out;
}

// Index files, each behind a query header: a trie of sorted random words
// with payloads, counted terms and a display text, as the writer makes
// them; with search edges or without; some with a videos section (the
// site's own keys, a catalogue with titles and two kept columns); and
// graphs, whose files only open (without completion records).
std::vector<Bytes> index_files(std::mt19937& rng) {
  std::vector<Bytes> files;
  const auto with_query = [&](const AlignedBytes& file) {
    std::vector<std::uint8_t> letters;
    for (std::size_t k = rng() % 6; k-- > 0;) letters.push_back(static_cast<std::uint8_t>(rng() % 6));
    Bytes input = write_index_query(static_cast<std::uint8_t>(rng() % 3), static_cast<std::uint8_t>(1 + rng() % 6),
                                    static_cast<std::uint8_t>(rng() % 16), letters);
    input.insert(input.end(), file.view().begin(), file.view().end());
    files.push_back(std::move(input));
  };
  for (std::size_t i = 0; i < 8; ++i) {
    const testing::RandomTrie shape = testing::random_trie(
        rng, {.words = 2 + i % 4, .word_length = 5, .terminal = 0.5, .child_order = testing::ChildOrder::Sorted});
    Trie trie = shape.trie();
    testing::give_random_payloads(rng, trie, {.entries = 3, .videos = 5, .id_table = 5});
    if (i % 4 == 3) trie.hints.edges.clear();  // no search edges, which a sound file may leave out
    std::vector<std::uint32_t> counts(trie.node_count());
    for (std::uint32_t& c : counts) c = rng() % 9;
    CompletionData completion;
    completion.nodes = *completion_nodes(trie, counts);
    if (trie.node_count() > 1) add_display(completion, 1, "", "A\u00E9");
    if (i % 2 == 0) {
      with_query(written_index(trie, &completion));
      continue;
    }
    index_file::VideoTable videos;
    for (std::size_t v = 0; v < trie.video_int_ids.size(); ++v) {
      videos.keys.push("video-" + std::to_string(v));
      videos.has_row.push_back(v % 3 == 2 ? 0 : 1);
      videos.titles.push(v % 3 == 2 ? "" : "Title " + std::to_string(v));
    }
    for (const char* name : {"channel", "tags"}) {
      videos.field_names.push(name);
      videos.fields.emplace_back();
      for (std::size_t v = 0; v < trie.video_int_ids.size(); ++v) videos.fields.back().push(v % 2 ? "x" : "\u4E2D");
    }
    with_query(written_index(trie, &completion, &videos));
  }
  // UUID ids, in a trie whose children stand in the order their terms came.
  Trie uuids = with_videos({U"a", U"ab", U"b\u00E9", U"\u4E2D\U0001F600"}, rng, true, 2);
  mark_hints(uuids);
  CompletionData uuid_completion;
  uuid_completion.nodes = *completion_nodes(uuids, std::vector<std::uint32_t>(uuids.node_count(), 3));
  with_query(written_index(uuids, &uuid_completion));
  for (std::size_t i = 0; i < 2; ++i) with_query(written_index(random_graph(rng, 4 + 3 * i, 2), nullptr));
  return files;
}

// Counted terms with queries for the completion target: letters as
// positions in kAlphabet.
std::vector<Bytes> completion_cases(std::mt19937& rng) {
  std::vector<Bytes> cases;
  const auto word = [&](std::size_t longest) {
    std::vector<std::uint8_t> letters;
    for (std::size_t k = 1 + rng() % longest; k-- > 0;) letters.push_back(static_cast<std::uint8_t>(rng() % 4));
    return letters;
  };
  // Equal counts, a term and its extensions, a swap of neighbours.
  const std::vector<std::pair<std::vector<std::uint8_t>, std::uint8_t>> ties = {
      {{0, 1}, 3}, {{0, 1, 2}, 3}, {{0, 0}, 3}, {{1, 3}, 3}, {{1}, 3}};
  cases.push_back(write_completion_case(ties, 1, {0, 4, false, {}}));
  cases.push_back(write_completion_case(ties, 2, {1, 3, false, {1, 0}}));
  cases.push_back(write_completion_case(ties, 3, {2, 11, true, {0, 2, 1}}));
  for (std::size_t i = 0; i < 12; ++i) {
    std::vector<std::pair<std::vector<std::uint8_t>, std::uint8_t>> terms;
    for (std::size_t t = 2 + rng() % (3 + i); t-- > 0;) terms.emplace_back(word(5), static_cast<std::uint8_t>(rng()));
    const SeedQuery query{static_cast<std::uint8_t>(rng() % 4), static_cast<std::uint8_t>(1 + rng() % 11), rng() % 3 == 0,
                          rng() % 4 == 0 ? std::vector<std::uint8_t>{} : word(6)};
    cases.push_back(write_completion_case(terms, static_cast<std::uint32_t>(rng()), query));
  }
  return cases;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  const fs::path root = argv[1];
  for (const char* target :
       {"decode_fuzzer", "walk_fuzzer", "build_fuzzer", "index_fuzzer", "complete_fuzzer", "mapped_fuzzer"})
    fs::create_directories(root / target);

  std::mt19937 rng(20261207);
  std::vector<Bytes> tries{kTwoNodeTrie, kEmptyTrie};
  const std::vector<std::u32string> worked{U"car", U"cart", U"cat", U"cut"};
  tries.push_back(encoded(testing::trie_from_terms(worked).trie));
  tries.push_back(encoded(with_videos(worked, rng, false, 3)));
  tries.push_back(encoded(with_videos({U"a", U"ab", U"b\u00E9", U"\u4E2D\U0001F600"}, rng, true, 2)));
  for (int i = 0; i < 6; ++i) {
    std::vector<std::u32string> terms;
    for (int w = 0; w < 4 + i * 3; ++w) terms.push_back(testing::random_word(rng, kAlphabet, 6));
    tries.push_back(encoded(with_videos(terms, rng, i % 2 == 0, 1 + i)));
  }
  for (std::size_t i = 0; i < 6; ++i) tries.push_back(encoded(random_graph(rng, 3 + i * 2, i % 3)));
  // Trees renumbered, so that children stand below their parents: the
  // search edges know nothing of what lies beneath them.
  for (std::size_t i = 0; i < 2; ++i)
    tries.push_back(encoded(testing::random_trie(rng, {.words = 5 + 4 * i, .word_length = 6, .shuffle_ids = true}).trie()));

  for (std::size_t i = 0; i < tries.size(); ++i) {
    write(root / "decode_fuzzer", "trie-" + std::to_string(i), tries[i]);
    // Each trie with a few queries: exact, near and far ones, with limits.
    for (std::uint8_t q = 0; q < 3; ++q) {
      std::vector<std::uint8_t> letters;
      for (std::size_t k = rng() % 6; k-- > 0;) letters.push_back(static_cast<std::uint8_t>(rng() % 6));
      Bytes input = write_walk_header(q, q == 2 ? std::optional<std::uint8_t>(2) : std::nullopt, letters);
      input.insert(input.end(), tries[i].begin(), tries[i].end());
      write(root / "walk_fuzzer", "query-" + std::to_string(i) + "-" + std::to_string(q), input);
      write(root / "mapped_fuzzer", "query-" + std::to_string(i) + "-" + std::to_string(q), input);
    }
  }

  // Flat arrays: the worked example (c, a, u, r, t, t, t below the root),
  // with payloads on the four terms, and a chain.
  const std::optional<Payload> none;
  const auto videos = [](std::uint32_t total, std::vector<std::uint32_t> ids, std::vector<std::uint32_t> counts) {
    return std::optional<Payload>(Payload{total, std::move(ids), std::move(counts)});
  };
  // The alphabet has only a, b, c and three others: the letters map onto it.
  write(root / "build_fuzzer", "terms",
        build_case_bytes({{1}, {2, 3}, {4, 5}, {6}, {7}, {}, {}, {}}, {7, 2, 0, 1, 1, 2, 2, 2},
                         {none, none, none, none, videos(3, {0, 1}, {2, 1}), videos(2, {1}, {2}),
                          videos(4, {2, 0}, {3, 1}), videos(1, {3}, {1})},
                         4, 2));
  write(root / "build_fuzzer", "chain",
        build_case_bytes({{1}, {2}, {3}, {}}, {7, 0, 0, 0},
                         {none, videos(1, {0}, {1}), none, videos(5, {1, 0}, {4, 1})}, 2, 1));
  write(root / "build_fuzzer", "empty", Bytes{0, 0, 0, 0, 0, 0, 0});

  // libFuzzer cuts longer inputs to the stage's -max_len (4096): a cut file
  // no longer opens, and would seed nothing.
  const std::vector<Bytes> files = index_files(rng);
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (files[i].size() > 4096) {
      std::fprintf(stderr, "index seed %zu has %zu bytes, more than the fuzz stage's 4096\n", i, files[i].size());
      return 1;
    }
    write(root / "index_fuzzer", "index-" + std::to_string(i), files[i]);
  }
  const std::vector<Bytes> cases = completion_cases(rng);
  for (std::size_t i = 0; i < cases.size(); ++i) write(root / "complete_fuzzer", "terms-" + std::to_string(i), cases[i]);
  return 0;
}
