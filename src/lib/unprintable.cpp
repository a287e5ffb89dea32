// Finding the unprintable characters of UTF-8 text.
#include "unprintable.hpp"

namespace tavrel {

Utf8Char decode_utf8(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const Utf8Char ill_formed{p[0], 1, false};
    const std::size_t length = p[0] >= 0xF0 ? 4 : p[0] >= 0xE0 ? 3 : p[0] >= 0xC2 ? 2 : 0;
    if (length == 0 || length > text.size() || p[0] > 0xF4) return ill_formed;
    char32_t code_point = p[0] & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80) return ill_formed;
        code_point = (code_point << 6) | (p[i] & 0x3F);
    }
    // Overlong forms and surrogates are not well formed.
    constexpr char32_t kShortest[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (code_point < kShortest[length] || (code_point >= 0xD800 && code_point < 0xE000)) return ill_formed;
    return {code_point, length, true};
}

bool has_unprintable_non_ascii(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            ++i;
            continue;
        }
        const Utf8Char c = decode_utf8(text.substr(i));
        if (c.unprintable()) return true;
        i += c.length;
    }
    return false;
}

}  // namespace tavrel
