// Copying short texts: the one copy of the command's words, the request record's texts and the
// JSON writer's plain texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "base/inline.hpp"

namespace tavrel {

// Copies 4 to 16 bytes by two overlapping moves of 8 bytes, or of 4 below 8, and returns the end
// of the copy. For a size known to lie there (a JSON key written with its quotes and colon).
TAVREL_INLINE char* copy_4_to_16(char* out, const char* in, std::size_t size) noexcept {
    if (size >= 8) {
        std::uint64_t first, last;
        std::memcpy(&last, in + size - 8, 8);
        std::memcpy(&first, in, 8);
        std::memcpy(out + size - 8, &last, 8);
        std::memcpy(out, &first, 8);
    } else {
        std::uint32_t first, last;
        std::memcpy(&last, in + size - 4, 4);
        std::memcpy(&first, in, 4);
        std::memcpy(out + size - 4, &last, 4);
        std::memcpy(out, &first, 4);
    }
    return out + size;
}

// Copies `size` bytes and returns the end of the copy. Most texts written are a few dozen bytes
// at most, and for those a few overlapping fixed-size moves (plain loads and stores) cost less
// than a call into the C library's memcpy. Forced inline: with a constant size (a fixed word of
// the command) it folds into the moves of that size alone.
TAVREL_INLINE char* copy_short(char* out, const char* in, std::size_t size) noexcept {
    if (size - 4 <= 12) return copy_4_to_16(out, in, size);  // 4 to 16, the most common
    if (size > 64) {
        std::memcpy(out, in, size);
    } else if (size > 16) {
        // The first and last 16 bytes, and for more than 32 the next and previous 16 as well.
        std::memcpy(out, in, 16);
        std::memcpy(out + size - 16, in + size - 16, 16);
        if (size > 32) {
            std::memcpy(out + 16, in + 16, 16);
            std::memcpy(out + size - 32, in + size - 32, 16);
        }
    } else if (size > 0) {
        out[0] = in[0];
        out[size / 2] = in[size / 2];
        out[size - 1] = in[size - 1];
    }
    return out + size;
}

}  // namespace tavrel
