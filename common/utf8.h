// UTF-8, one character at a time.
#pragma once

#include <cstddef>
#include <string_view>

namespace qvcommon {

// The length (1 to 4) of the well-formed UTF-8 character that starts at
// text[at], or 0 when the bytes there are none: a stray continuation byte,
// an overlong form, a surrogate, a value past U+10FFFF or a cut sequence.
std::size_t Utf8CharacterLength(std::string_view text, std::size_t at) noexcept;

}  // namespace qvcommon
