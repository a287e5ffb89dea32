// The characters that a command writes as escapes rather than as they are: those that Python's
// str.isprintable() calls unprintable (controls, format characters such as the bidi controls and
// zero-width characters, separators other than the ASCII space, private-use and unassigned code
// points), which a terminal or a browser would hide, reorder or act on.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tavrel {

#include "lib/unprintable_table.inc"

constexpr bool unprintable(char32_t code_point) {
    if (code_point >= 0x110000) return true;
    const auto& bits = kUnprintableBits[kUnprintablePage[code_point >> 8]];
    return (bits[(code_point >> 6) & 3] >> (code_point & 63)) & 1;
}

// For `text` starting with a byte of 0x80 or more: the length of the UTF-8 sequence it starts when
// the character is unprintable, else 0. A byte that starts no well-formed sequence counts as an
// unprintable character of one byte (texts from Python are always well formed).
std::size_t unprintable_prefix(std::string_view text);

// The length of the UTF-8 sequence that `text` starts with (1 for ASCII and for a byte that
// starts no well-formed sequence).
std::size_t sequence_length(std::string_view text);

// Whether a non-ASCII character of `text` is unprintable.
bool has_unprintable_non_ascii(std::string_view text);

}  // namespace tavrel
