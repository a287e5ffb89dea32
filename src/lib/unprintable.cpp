// Finding the unprintable characters of UTF-8 text.
#include "unprintable.hpp"

namespace tavrel {
namespace {

struct Decoded {
    char32_t code_point;
    std::size_t length;  // 0: no well-formed sequence
};

// The character that the sequence at the start of `text` encodes; its first byte is 0x80 or more.
Decoded decode(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t length = p[0] >= 0xF0 ? 4 : p[0] >= 0xE0 ? 3 : p[0] >= 0xC2 ? 2 : 0;
    if (length == 0 || length > text.size() || p[0] > 0xF4) return {0, 0};
    char32_t code_point = p[0] & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80) return {0, 0};
        code_point = (code_point << 6) | (p[i] & 0x3F);
    }
    // Overlong forms and surrogates are not well formed.
    constexpr char32_t kShortest[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (code_point < kShortest[length] || (code_point >= 0xD800 && code_point < 0xE000)) return {0, 0};
    return {code_point, length};
}

}  // namespace

std::size_t unprintable_prefix(std::string_view text) {
    const Decoded decoded = decode(text);
    if (decoded.length == 0) return 1;
    return unprintable(decoded.code_point) ? decoded.length : 0;
}

std::size_t sequence_length(std::string_view text) {
    if (static_cast<unsigned char>(text[0]) < 0x80) return 1;
    const std::size_t length = decode(text).length;
    return length == 0 ? 1 : length;
}

bool has_unprintable_non_ascii(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            ++i;
            continue;
        }
        const std::string_view rest = text.substr(i);
        if (unprintable_prefix(rest) != 0) return true;
        i += sequence_length(rest);
    }
    return false;
}

}  // namespace tavrel
