// UTF-8 <-> code points for query terms, hit texts and stored labels.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::utf8 {

// Length of the sequence that a byte starts: 1 to 4, or 0 for a byte that
// starts no sequence (a continuation byte, C0, C1, F5..FF).
std::size_t sequence_width(std::uint8_t first);

// The scalar value of one whole sequence (its width given by its first
// byte), or nothing for invalid UTF-8: a bad continuation byte, an overlong
// form, a surrogate, a value above U+10FFFF.
std::optional<char32_t> decode_sequence(std::span<const std::uint8_t> sequence);

// Appends the code points of `text`. Texts from the interpreter are always
// valid; an invalid byte still decodes (as U+FFFD) so no input is refused.
void decode(std::string_view text, std::vector<char32_t>& out);

// Writes the UTF-8 form of `cp` to out[0 ..) and returns its length (1 to
// 4); a value that is not a Unicode scalar value is written as U+FFFD so the
// output is always valid UTF-8.
std::size_t encode(char32_t cp, std::uint8_t out[4]);

// Appends the UTF-8 form of `cp` (as encode writes it).
void append(std::string& out, char32_t cp);

// The first code point of `text`, or 0 for an empty text.
char32_t first_code_point(std::string_view text);

// The number of code points in valid UTF-8 `text`: its bytes that are not
// continuation bytes.
std::size_t code_point_count(std::string_view text);

}  // namespace quillon::utf8
