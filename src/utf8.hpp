// UTF-8 <-> code points for query terms and hit texts.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quillon::utf8 {

// Appends the code points of `text`. Texts from the interpreter are always
// valid; any invalid byte still decodes (as U+FFFD) so no input is refused.
void decode(std::string_view text, std::vector<char32_t>& out);

// Appends the UTF-8 form of `cp`; a value that is not a Unicode scalar value
// is written as U+FFFD so the output is always valid UTF-8.
void append(std::string& out, char32_t cp);

// The first code point of `text`, or 0 for an empty text.
char32_t first_code_point(std::string_view text);

}  // namespace quillon::utf8
