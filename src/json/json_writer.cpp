// Compact JSON writer: exact sizing, table-driven string escaping, shortest float digits.
#include "json/json_writer.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>

namespace tavrel::json {
namespace {

// The word scans find the first byte of a word in its lowest bits.
static_assert(std::endian::native == std::endian::little);

// Per byte: 0 when the byte is copied as it is, otherwise the letter after the backslash.
// 'u' stands for the six-character form \u00xx. Bytes from 0x20 up, except '"' and '\', are
// never escaped, so "/", DEL and all UTF-8 lead and continuation bytes go out raw.
constexpr std::array<char, 256> kEscapes = [] {
    std::array<char, 256> table{};
    for (std::size_t byte = 0; byte < 0x20; ++byte) table[byte] = 'u';
    table['\b'] = 'b';
    table['\t'] = 't';
    table['\n'] = 'n';
    table['\f'] = 'f';
    table['\r'] = 'r';
    table['"'] = '"';
    table['\\'] = '\\';
    return table;
}();

constexpr std::string_view kHexDigits = "0123456789abcdef";

// Bytes an escape adds to its one source byte.
constexpr std::size_t extra_of(char escape) { return escape == 0 ? 0 : escape == 'u' ? 5 : 1; }

constexpr std::array<std::uint8_t, 256> kExtra = [] {
    std::array<std::uint8_t, 256> table{};
    for (std::size_t byte = 0; byte < 256; ++byte) table[byte] = static_cast<std::uint8_t>(extra_of(kEscapes[byte]));
    return table;
}();

std::uint64_t load_word(const char* p) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

// Eight bytes at a time: a word without escapes adds nothing, a word whose escapes are all '"'
// or '\' adds one per escape, and only a word with a control byte is looked at byte by byte.
std::size_t escaped_size(const JsonText& text) {
    if (!text.text_class().needs_escape) return text.size();
    std::size_t size = text.size();
    const char* p = text.view().data();
    const char* const end = p + text.size();
    for (; end - p >= 8; p += 8) {
        const std::uint64_t word = load_word(p);
        const std::uint64_t escapes = detail::escape_mask(word);
        if (escapes == 0) continue;
        if (detail::control_mask(word) == 0) {
            // One bit per escape at the top of its byte: moved to the bottom, the multiplication
            // adds the eight bytes up into the top one (no popcount instruction is assumed).
            size += static_cast<std::size_t>(((escapes >> 7) * detail::kOnes) >> 56);
            continue;
        }
        for (int i = 0; i < 8; ++i) size += kExtra[static_cast<unsigned char>(p[i])];
    }
    for (; p != end; ++p) size += kExtra[static_cast<unsigned char>(*p)];
    return size;
}

// An empty text may have no data at all (an empty view), which memcpy must not be given.
char* put(char* out, std::string_view bytes) {
    if (bytes.empty()) return out;
    std::memcpy(out, bytes.data(), bytes.size());
    return out + bytes.size();
}

// The escape of one byte that needs one.
char* put_escape(char* out, unsigned char byte) {
    const char escape = kEscapes[byte];
    out[0] = '\\';
    out[1] = escape;
    if (escape != 'u') return out + 2;
    out[2] = '0';
    out[3] = '0';
    out[4] = kHexDigits[byte >> 4];
    out[5] = kHexDigits[byte & 0xF];
    return out + 6;
}

void store_word(char* out, std::uint64_t word) { std::memcpy(out, &word, sizeof word); }

// Copies `text` escaped, eight bytes at a time. Each word is stored whole; at each of its
// escapes the output moves on to that byte, the escape is written, and the rest of the word is
// stored again right after it, so every escape costs a few instructions and no call. A store
// of eight bytes never reaches past this text's output: while sixteen source bytes or more
// remain, each store covers source bytes of which at least eight are still to come, and each
// gives at least one output byte. Fewer than sixteen left: a word at a time from its first
// escape (the same bound holds for the word's own eight bytes), then the last bytes one by one.
char* put_escaped(char* out, std::string_view text) {
    const char* p = text.data();
    const char* const end = p + text.size();
    while (end - p >= 16) {
        const std::uint64_t word = load_word(p);
        store_word(out, word);
        std::uint64_t escapes = detail::escape_mask(word);
        unsigned done = 0;  // bytes of the word already gone out
        while (escapes != 0) {
            const auto at = static_cast<unsigned>(std::countr_zero(escapes)) / 8;
            out = put_escape(out + (at - done), static_cast<unsigned char>(p[at]));
            done = at + 1;
            // The bytes after the escape (done is 1..8; two shifts, as one of 64 is undefined).
            store_word(out, (word >> (8 * done - 1)) >> 1);
            escapes &= escapes - 1;
        }
        out += 8 - done;
        p += 8;
    }
    while (end - p >= 8) {
        const std::uint64_t word = load_word(p);
        store_word(out, word);
        const std::uint64_t escapes = detail::escape_mask(word);
        if (escapes == 0) {
            p += 8;
            out += 8;
            continue;
        }
        const auto plain = static_cast<std::size_t>(std::countr_zero(escapes) / 8);
        out = put_escape(out + plain, static_cast<unsigned char>(p[plain]));
        p += plain + 1;
    }
    for (; p != end; ++p) {
        const auto byte = static_cast<unsigned char>(*p);
        if (kEscapes[byte] == 0) {
            *out++ = *p;
        } else {
            out = put_escape(out, byte);
        }
    }
    return out;
}

char* put_string(char* out, const JsonText& text) {
    *out++ = '"';
    out = text.text_class().needs_escape ? put_escaped(out, text.view()) : put(out, text.view());
    *out++ = '"';
    return out;
}

// Lays out the shortest round-trip digits of a finite `value` in `text` (32 bytes) and returns
// the end. The digit string and its decimal point position come from to_chars in scientific
// form ("d.ddde±xx"); the layout is ours:
//   value = digits * 10^k, point = number of digits + k
//   k >= 0 and point <= 16   -> digits, k zeros, ".0"          (123.0, 1000000000000000.0)
//   0 < point <= 16          -> digits with "." after `point`  (12.34)
//   -5 < point <= 0          -> "0.", -point zeros, digits     (0.00001)
//   otherwise                -> d[.ddd]e[-]exp, exp = point-1  (1e16, 1.5e20, 1e-7)
char* format_double(char* text, double value) {
    char sci[32];  // "-d.dddddddddddddddde-xxx" is 24 characters at most
    const char* const sci_end = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific).ptr;

    char* w = text;  // longest layout: "-0.0000" followed by 17 digits
    const char* p = sci;
    if (*p == '-') *w++ = *p++;

    char digits[20];
    int count = 0;
    digits[count++] = *p++;
    if (*p == '.') {
        for (++p; *p != 'e'; ++p) digits[count++] = *p;
    }
    ++p;  // 'e'
    const bool exponent_negative = *p++ == '-';
    int exponent = 0;
    for (; p != sci_end; ++p) exponent = exponent * 10 + (*p - '0');
    if (exponent_negative) exponent = -exponent;

    const int point = exponent + 1;
    const int k = point - count;
    auto put_digits = [&](int from, int to) {
        for (int i = from; i < to; ++i) *w++ = digits[i];
    };
    auto put_zeros = [&](int n) {
        for (int i = 0; i < n; ++i) *w++ = '0';
    };

    if (k >= 0 && point <= 16) {
        put_digits(0, count);
        put_zeros(k);
        *w++ = '.';
        *w++ = '0';
    } else if (point > 0 && point <= 16) {
        put_digits(0, point);
        *w++ = '.';
        put_digits(point, count);
    } else if (point > -5 && point <= 0) {
        *w++ = '0';
        *w++ = '.';
        put_zeros(-point);
        put_digits(0, count);
    } else {
        *w++ = digits[0];
        if (count > 1) {
            *w++ = '.';
            put_digits(1, count);
        }
        *w++ = 'e';
        w = std::to_chars(w, text + 32, point - 1).ptr;
    }
    return w;
}

// The text of a number, formed in a small buffer: at most 20 digits and a sign for an
// integer, at most 24 characters for a float.
struct NumberText {
    char buf[32];
    std::size_t size;
    std::string_view view() const { return {buf, size}; }
};

NumberText number_text(const JsonNumber& number) {
    NumberText text{};
    char* end = text.buf;
    switch (number.form()) {
        case JsonNumber::Form::NonNegative:
            end = std::to_chars(text.buf, text.buf + 32, number.non_negative()).ptr;
            break;
        case JsonNumber::Form::Negative: end = std::to_chars(text.buf, text.buf + 32, number.negative()).ptr; break;
        case JsonNumber::Form::Float:
            // A float number is always finite; "null" is kept for safety should one not be.
            end = std::isfinite(number.floating()) ? format_double(text.buf, number.floating()) : put(text.buf, "null");
            break;
    }
    text.size = static_cast<std::size_t>(end - text.buf);
    return text;
}

void measure_into(const JsonValue& value, TextSize& size) {
    switch (value.kind()) {
        case JsonKind::Null: size.bytes += 4; return;
        case JsonKind::Bool: size.bytes += value.as_bool() ? 4 : 5; return;
        case JsonKind::Number: size.bytes += number_text(value.as_number()).size; return;
        case JsonKind::String: {
            const JsonText& text = value.as_text();
            size.bytes += 2 + escaped_size(text);
            size.ascii &= !text.text_class().non_ascii;
            return;
        }
        case JsonKind::Array: {
            const JsonArray& array = value.as_array();
            // "[", "]" and a "," between elements.
            size.bytes += array.empty() ? 2 : 1 + array.size();
            for (const JsonValue& element : array) measure_into(element, size);
            return;
        }
        case JsonKind::Object: {
            const JsonObject& object = value.as_object();
            // "{", "}", a "," between members, and per member the key's quotes and ":".
            size.bytes += object.empty() ? 2 : 1 + 4 * object.size();
            for (const JsonObject::Member& member : object) {
                size.bytes += escaped_size(member.key);
                size.ascii &= !member.key.text_class().non_ascii;
                measure_into(member.value, size);
            }
            return;
        }
    }
}

}  // namespace

TextSize measure_json(const JsonValue& value) {
    TextSize size;
    measure_into(value, size);
    return size;
}

char* write_json(const JsonValue& value, char* out) {
    switch (value.kind()) {
        case JsonKind::Null: return put(out, "null");
        case JsonKind::Bool: return put(out, value.as_bool() ? "true" : "false");
        case JsonKind::Number: return put(out, number_text(value.as_number()).view());
        case JsonKind::String: return put_string(out, value.as_text());
        case JsonKind::Array: {
            *out++ = '[';
            bool first = true;
            for (const JsonValue& element : value.as_array()) {
                if (!first) *out++ = ',';
                first = false;
                out = write_json(element, out);
            }
            *out++ = ']';
            return out;
        }
        case JsonKind::Object: {
            *out++ = '{';
            bool first = true;
            for (const JsonObject::Member& member : value.as_object()) {
                if (!first) *out++ = ',';
                first = false;
                out = put_string(out, member.key);
                *out++ = ':';
                out = write_json(member.value, out);
            }
            *out++ = '}';
            return out;
        }
    }
    return out;
}

void write_json(const JsonValue& value, std::string& out) {
    const std::size_t start = out.size();
    out.resize(start + measure_json(value).bytes);
    write_json(value, out.data() + start);
}

void TextBuffer::reserve(std::size_t total) {
    if (total <= capacity_) return;
    void* grown = std::realloc(data_, total);
    if (grown == nullptr) throw std::bad_alloc();
    data_ = static_cast<char*>(grown);
    capacity_ = total;
}

void TextBuffer::grow(std::size_t count) {
    if (count > SIZE_MAX / 2 - size_) throw std::bad_alloc();
    reserve(std::max(2 * capacity_, size_ + count));
}

void TextBuffer::append_ascii(std::string_view bytes) {
    if (!bytes.empty()) std::memcpy(extend(bytes.size(), true), bytes.data(), bytes.size());
}

void write_json(const JsonValue& value, TextBuffer& out) {
    const TextSize size = measure_json(value);
    write_json(value, out.extend(size.bytes, size.ascii));
}

std::string to_json_text(const JsonValue& value) {
    std::string out;
    write_json(value, out);
    return out;
}

}  // namespace tavrel::json
