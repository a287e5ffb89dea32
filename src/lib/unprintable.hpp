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

// One character of UTF-8 text: its code point and the length of its sequence. A byte that starts
// no well-formed sequence stands for itself, a character of one byte that counts as unprintable
// (texts from Python are always well formed).
struct Utf8Char {
    char32_t code_point;
    std::size_t length;
    bool well_formed;
    bool unprintable() const { return !well_formed || tavrel::unprintable(code_point); }
};

// The character that `text` starts with; its first byte is 0x80 or more.
Utf8Char decode_utf8(std::string_view text);

// Whether a non-ASCII character of `text` is unprintable.
bool has_unprintable_non_ascii(std::string_view text);

}  // namespace tavrel
