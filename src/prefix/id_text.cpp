#include "id_text.hpp"

namespace quillon {

std::size_t id_text_size(const TrieView& trie, std::uint32_t video) {
  if (trie.id_mode == IdMode::Uuid) return 36;
  std::uint32_t id = at(trie.video_int_ids, video);
  std::size_t digits = 1;
  while (id >= 10) id /= 10, ++digits;
  return digits;
}

void write_id_text(const TrieView& trie, std::uint32_t video, char* out) {
  static constexpr char kHex[] = "0123456789abcdef";
  if (trie.id_mode == IdMode::Uuid) {
    const Uuid& id = at(trie.video_uuids, video);
    for (std::size_t i = 0; i < id.size(); ++i) {
      if (i == 4 || i == 6 || i == 8 || i == 10) *out++ = '-';
      *out++ = kHex[id[i] >> 4];
      *out++ = kHex[id[i] & 0xF];
    }
    return;
  }
  std::uint32_t id = at(trie.video_int_ids, video);
  char* end = out + id_text_size(trie, video);
  do {
    *--end = static_cast<char>('0' + id % 10);
    id /= 10;
  } while (id != 0);
}

}  // namespace quillon
