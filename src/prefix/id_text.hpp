// The text that names a video of a trie's id table in answers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "trie_view.hpp"

namespace quillon {

// The id text of a video: the UUID as 36 lowercase hexadecimal digits and
// hyphens (8-4-4-4-12), or the 32-bit id in decimal. Checked: `video` must
// lie inside the id table.
std::size_t id_text_size(const TrieView& trie, std::uint32_t video);
// Writes exactly id_text_size(trie, video) characters to `out`.
void write_id_text(const TrieView& trie, std::uint32_t video, char* out);

}  // namespace quillon
