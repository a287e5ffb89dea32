// Compact JSON writer: one growing buffer, table-driven string escaping, shortest float digits.
#include "json/json_writer.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string_view>

namespace tavrel::json {
namespace {

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

void append_string(std::string& out, std::string_view text) {
    out += '"';
    std::size_t run_start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const char escape = kEscapes[byte];
        if (escape == 0) continue;
        out.append(text.data() + run_start, i - run_start);
        if (escape == 'u') {
            const char form[6] = {'\\', 'u', '0', '0', kHexDigits[byte >> 4], kHexDigits[byte & 0xF]};
            out.append(form, sizeof form);
        } else {
            const char form[2] = {'\\', escape};
            out.append(form, sizeof form);
        }
        run_start = i + 1;
    }
    out.append(text.data() + run_start, text.size() - run_start);
    out += '"';
}

template <typename Int>
void append_integer(std::string& out, Int value) {
    char buf[24];  // 20 digits and a sign at most
    const auto result = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, result.ptr);
}

// Lays out the shortest round-trip digits of `value`. The digit string and its decimal point
// position come from to_chars in scientific form ("d.ddde±xx"); the layout is ours:
//   value = digits * 10^k, point = number of digits + k
//   k >= 0 and point <= 16   -> digits, k zeros, ".0"          (123.0, 1000000000000000.0)
//   0 < point <= 16          -> digits with "." after `point`  (12.34)
//   -5 < point <= 0          -> "0.", -point zeros, digits     (0.00001)
//   otherwise                -> d[.ddd]e[-]exp, exp = point-1  (1e16, 1.5e20, 1e-7)
void append_double(std::string& out, double value) {
    if (!std::isfinite(value)) {
        out += "null";
        return;
    }
    char sci[32];  // "-d.dddddddddddddddde-xxx" is 24 characters at most
    const char* const sci_end = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific).ptr;

    char text[32];  // longest layout: "-0.0000" followed by 17 digits
    char* w = text;
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
        w = std::to_chars(w, text + sizeof text, point - 1).ptr;
    }
    out.append(text, w);
}

void append_number(std::string& out, const JsonNumber& number) {
    switch (number.form()) {
        case JsonNumber::Form::NonNegative: append_integer(out, number.non_negative()); return;
        case JsonNumber::Form::Negative: append_integer(out, number.negative()); return;
        case JsonNumber::Form::Float: append_double(out, number.floating()); return;
    }
}

}  // namespace

void write_json(const JsonValue& value, std::string& out) {
    switch (value.kind()) {
        case JsonKind::Null: out += "null"; return;
        case JsonKind::Bool: out += value.as_bool() ? "true" : "false"; return;
        case JsonKind::Number: append_number(out, value.as_number()); return;
        case JsonKind::String: append_string(out, value.as_string()); return;
        case JsonKind::Array: {
            out += '[';
            bool first = true;
            for (const JsonValue& element : value.as_array()) {
                if (!first) out += ',';
                first = false;
                write_json(element, out);
            }
            out += ']';
            return;
        }
        case JsonKind::Object: {
            out += '{';
            bool first = true;
            for (const JsonObject::Member& member : value.as_object()) {
                if (!first) out += ',';
                first = false;
                append_string(out, member.key);
                out += ':';
                write_json(member.value, out);
            }
            out += '}';
            return;
        }
    }
}

std::string to_json_text(const JsonValue& value) {
    std::string out;
    write_json(value, out);
    return out;
}

}  // namespace tavrel::json
