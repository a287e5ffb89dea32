// Copying the short texts of a request.
#pragma once

#include <cstddef>
#include <cstring>

namespace tavrel {

// Copies `size` bytes. Most texts of a request are a few dozen bytes, and for those a few
// overlapping fixed-size moves (which the compiler makes plain loads and stores) cost less than
// a call into the C library's memcpy.
inline void copy_text(char* out, const char* in, std::size_t size) noexcept {
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
    } else if (size >= 8) {
        std::memcpy(out, in, 8);
        std::memcpy(out + size - 8, in + size - 8, 8);
    } else if (size >= 4) {
        std::memcpy(out, in, 4);
        std::memcpy(out + size - 4, in + size - 4, 4);
    } else if (size > 0) {
        out[0] = in[0];
        out[size / 2] = in[size / 2];
        out[size - 1] = in[size - 1];
    }
}

}  // namespace tavrel
