// The stored form of a trie: the fields in declaration order, unsigned
// integers and counts as variable-length little-endian values, no header.
// The search hints are not stored; decoding derives them again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "../error.hpp"
#include "trie.hpp"

namespace quillon {

std::size_t encoded_size(const Trie& trie);
// Writes the stored form into `out`, which must hold exactly
// encoded_size(trie) bytes.
void encode(const Trie& trie, std::span<std::uint8_t> out);
// Decodes a trie from the start of `bytes` (bytes after it are ignored).
// Fails with ValueError "decode error: ..." on a fault in the bytes, or,
// once the bytes decoded, on arrays that contradict each other (see
// structural_fault).
Result<Trie> decode(std::span<const std::uint8_t> bytes);

}  // namespace quillon
