// Compact JSON writer: exact sizing, escaping a block of bytes at a time, shortest float digits.
#include "base/copy.hpp"
#include "base/inline.hpp"
#include "json/json_writer.hpp"

#include <algorithm>
#include <array>
#include <cassert>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>

#include "scan/bytes16.hpp"

namespace tavrel::json {
namespace {

using detail::control_lanes;
using detail::escape_lanes;
using detail::quote_lanes;

constexpr std::string_view kHexDigits = "0123456789abcdef";

// Bytes that the escape of each byte adds to the byte itself.
constexpr std::array<std::uint8_t, 256> kExtra = [] {
    std::array<std::uint8_t, 256> table{};
    for (std::size_t byte = 0; byte < 256; ++byte) {
        const char letter = escape_letter(static_cast<unsigned char>(byte));
        table[byte] = letter == 0 ? 0 : letter == 'u' ? 5 : 1;
    }
    return table;
}();

// The letters of escape_letter, looked up.
constexpr std::array<char, 256> kLetters = [] {
    std::array<char, 256> table{};
    for (std::size_t byte = 0; byte < 256; ++byte) table[byte] = escape_letter(static_cast<unsigned char>(byte));
    return table;
}();

std::uint64_t load_word(const char* p) { return scan::load_word(p).bits; }

void store_word(char* out, std::uint64_t word) { scan::store_word(out, {word}); }

// The high bits of a scanned text are gathered here: non-zero when some byte is 0x80 or above.
using HighBits = std::uint64_t;

// One bit per escaped byte of a block.
TAVREL_INLINE unsigned escape_bits(scan::Bytes block) { return scan::mask(escape_lanes(block)); }

// Sixteen bytes at a time while they last: each '"' and '\' adds one byte, counted in lanes that
// are added up every scan::kCountLimit blocks, before they can overflow; a run of blocks with a control
// byte (rare) is counted again byte by byte. Then eight bytes at a time: a word without escapes
// adds nothing, a word whose escapes are all '"' or '\' adds one per escape, and a word with a
// control byte goes byte by byte. The bytes are or-ed into `highs`. The source is prefetched a
// kilobyte ahead: a long text is usually not in the cache, and the hardware's own prefetch does
// not keep this loop fed.
std::size_t scan_escaped_size(std::string_view text, HighBits& highs) {
    std::size_t size = text.size();
    const char* p = text.data();
    const char* const end = p + text.size();
    while (end - p >= 16) {
        const char* const start = p;
        const char* const stop = p + 16 * std::min(scan::kCountLimit, static_cast<std::size_t>(end - p) / 16);
        scan::LaneCounts counts;
        scan::Bytes seen = scan::zero_bytes();
        scan::Lanes controls = scan::no_lanes();
        for (; p != stop; p += 16) {
            scan::prefetch(p + 1024);
            const scan::Bytes block = scan::load(p);
            seen = seen | block;
            controls = controls | control_lanes(block);
            counts.add(quote_lanes(block));
        }
        if (any_high(seen)) highs |= 0x80;
        if (any(controls)) {
            // Control bytes (rare) escape to two or six bytes: these blocks are counted byte by byte.
            for (const char* q = start; q != stop; ++q) size += kExtra[static_cast<unsigned char>(*q)];
            continue;
        }
        size += counts.total();
    }
    for (; end - p >= 8; p += 8) {
        const std::uint64_t word = load_word(p);
        highs |= word;
        const std::uint64_t escapes = detail::escape_mask(word);
        if (escapes == 0) continue;
        if (detail::control_mask(word) == 0) {
            // One bit per escape at the top of its byte: moved to the bottom, the multiplication
            // adds the eight bytes up into the top one (no popcount instruction is assumed).
            size += static_cast<std::size_t>(((escapes >> 7) * scan::kOnes) >> 56);
            continue;
        }
        for (int i = 0; i < 8; ++i) size += kExtra[static_cast<unsigned char>(p[i])];
    }
    for (; p != end; ++p) {
        highs |= static_cast<unsigned char>(*p);
        size += kExtra[static_cast<unsigned char>(*p)];
    }
    return size;
}

}  // namespace

std::size_t escaped_size(std::string_view text) {
    HighBits highs = 0;
    return scan_escaped_size(text, highs);
}

namespace {

// A classified text is scanned only when it needs escapes; an unclassified one is scanned once,
// its high bits or-ed into `highs`.
std::size_t escaped_size_of(const JsonText& text, HighBits& highs) {
    if (!text.classified()) return scan_escaped_size(text.view(), highs);
    const TextClass cls = text.text_class();
    if (cls.non_ascii) highs |= 0x80;
    return cls.needs_escape ? scan_escaped_size(text.view(), highs) : text.size();
}

// The escape of one byte that needs one.
char* put_escape(char* out, unsigned char byte) {
    const char letter = kLetters[byte];
    out[0] = '\\';
    out[1] = letter;
    if (letter != 'u') return out + 2;
    out[2] = '0';
    out[3] = '0';
    out[4] = kHexDigits[byte >> 4];
    out[5] = kHexDigits[byte & 0xF];
    return out + 6;
}

// A text of 4 to 32 bytes without escapes, checked and copied whole by two overlapping loads
// (of sixteen bytes from 16 bytes up, of eight or four below); false (nothing written) when it
// holds an escape or has another size. The one quick path for a short plain text: before a text
// of unknown class is copied escaped, and for the last bytes of a long one.
TAVREL_INLINE bool put_short_plain(char*& out, std::string_view text, HighBits& highs) {
    const char* const p = text.data();
    const std::size_t size = text.size();
    if (size >= 16 && size <= 32) {
        const scan::Bytes first = scan::load(p);
        const scan::Bytes last = scan::load(p + size - 16);
        if (any(escape_lanes(first) | escape_lanes(last))) return false;
        if (any_high(first | last)) highs |= 0x80;
        scan::store(out + size - 16, last);
        scan::store(out, first);
    } else if (size >= 8 && size < 16) {
        const std::uint64_t first = load_word(p), last = load_word(p + size - 8);
        if ((detail::escape_mask(first) | detail::escape_mask(last)) != 0) return false;
        highs |= first | last;
        store_word(out + size - 8, last);
        store_word(out, first);
    } else if (size >= 4 && size < 8) {
        std::uint32_t first, last;
        std::memcpy(&first, p, 4);
        std::memcpy(&last, p + size - 4, 4);
        const std::uint64_t both = first | std::uint64_t{last} << 32;
        if (detail::escape_mask(both) != 0) return false;
        highs |= both;
        std::memcpy(out + size - 4, &last, 4);
        std::memcpy(out, &first, 4);
    } else {
        return false;
    }
    out += size;
    return true;
}

// Copies `text` escaped, eight bytes at a time, or-ing its words into `highs`. Each word is
// stored whole; at each of its escapes the output moves on to that byte, the escape is written,
// and the rest of the word is stored again right after it, so an escape is written without a
// call. A store of eight bytes never reaches past this text's output: while sixteen source bytes
// or more remain, each store covers source bytes of which at least eight are still to come, and
// each gives at least one output byte. Fewer than sixteen left: a word at a time from its first
// escape (the same bound holds for the word's own eight bytes), then the last bytes one by one.
char* put_escaped_words(char* out, const char* p, const char* const end, HighBits& highs) {
    while (end - p >= 16) {
        const std::uint64_t word = load_word(p);
        highs |= word;
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
            highs |= word;
            p += 8;
            out += 8;
            continue;
        }
        const auto plain = static_cast<std::size_t>(std::countr_zero(escapes) / 8);
        highs |= word & ((std::uint64_t{1} << (8 * plain)) - 1);
        out = put_escape(out + plain, static_cast<unsigned char>(p[plain]));
        p += plain + 1;
    }
    for (; p != end; ++p) {
        const auto byte = static_cast<unsigned char>(*p);
        highs |= byte;
        if (kLetters[byte] == 0) {
            *out++ = *p;
        } else {
            out = put_escape(out, byte);
        }
    }
    return out;
}

// The sixteen bytes at `p`, already stored whole at `out`, with their escapes (`escapes`, one bit
// per byte) written in: at each, the output moves on to that byte, the escape is written, and the
// sixteen source bytes after the escaped one are stored right after it, so a block of many
// escapes is finished without leaving the loop. Returns the end of the block's output.
TAVREL_INLINE char* put_block_escapes(char* out, const char* p, unsigned escapes, bool controls) {
    unsigned done = 0;  // bytes of the block already gone out
    if (!controls) {
        // Only '"' and '\\', each written as a backslash and itself: no lookup, no branch.
        do {
            const auto at = static_cast<unsigned>(std::countr_zero(escapes));
            out += at - done;
            const auto pair = static_cast<std::uint16_t>('\\' | static_cast<unsigned char>(p[at]) << 8);
            std::memcpy(out, &pair, 2);
            out += 2;
            done = at + 1;
            scan::store(out, scan::load(p + done));
            escapes &= escapes - 1;
        } while (escapes != 0);
        return out + (16 - done);
    }
    while (escapes != 0) {
        const auto at = static_cast<unsigned>(std::countr_zero(escapes));
        out = put_escape(out + (at - done), static_cast<unsigned char>(p[at]));
        done = at + 1;
        scan::store(out, scan::load(p + done));
        escapes &= escapes - 1;
    }
    return out + (16 - done);
}

// Copies `text` escaped, sixteen bytes at a time while at least 32 remain, then the rest as a
// short plain text or a word at a time; the source and the output are prefetched a kilobyte
// ahead (see scan_escaped_size). A block is stored whole, then its escapes written in. No store
// reaches past this text's output: each covers source bytes of which at least sixteen are still
// to come, and each gives at least one output byte.
char* put_escaped(char* out, std::string_view text, HighBits& highs) {
    const char* p = text.data();
    const char* const end = p + text.size();
    scan::Bytes seen = scan::zero_bytes();
    for (; end - p >= 32; p += 16) {
        scan::prefetch(p + 1024);
        scan::prefetch(out + 1024);
        const scan::Bytes block = scan::load(p);
        seen = seen | block;
        scan::store(out, block);
        const unsigned escapes = escape_bits(block);
        out = escapes == 0 ? out + 16 : put_block_escapes(out, p, escapes, any(control_lanes(block)));
    }
    if (any_high(seen)) highs |= 0x80;
    if (put_short_plain(out, std::string_view(p, static_cast<std::size_t>(end - p)), highs)) return out;
    return put_escaped_words(out, p, end, highs);
}

TAVREL_INLINE char* put(char* out, std::string_view bytes) { return copy_short(out, bytes.data(), bytes.size()); }

// A text between quotes. A text known to need no escape is copied; any other one (unclassified
// or with escapes) is copied escaped, and its high bits are found on the way.
TAVREL_INLINE char* put_string(char* out, const JsonText& text, HighBits& highs) {
    *out++ = '"';
    if (text.classified()) {
        const TextClass cls = text.text_class();
        if (cls.non_ascii) highs |= 0x80;
        out = cls.needs_escape ? put_escaped(out, text.view(), highs) : put(out, text.view());
    } else if (!put_short_plain(out, text.view(), highs)) {
        out = put_escaped(out, text.view(), highs);
    }
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

void measure_into(const JsonValue& value, std::size_t& bytes, HighBits& highs) {
    switch (value.kind()) {
        case JsonKind::Null: bytes += 4; return;
        case JsonKind::Bool: bytes += value.as_bool() ? 4 : 5; return;
        case JsonKind::Number: bytes += number_text(value.as_number()).size; return;
        case JsonKind::String: bytes += 2 + escaped_size_of(value.as_text(), highs); return;
        case JsonKind::Array: {
            const JsonArray& array = value.as_array();
            // "[", "]" and a "," between elements.
            bytes += array.empty() ? 2 : 1 + array.size();
            for (const JsonValue& element : array) measure_into(element, bytes, highs);
            return;
        }
        case JsonKind::Object: {
            const JsonObject& object = value.as_object();
            // "{", "}", a "," between members, and per member the key's quotes and ":".
            bytes += object.empty() ? 2 : 1 + 4 * object.size();
            for (const JsonObject::Member& member : object) {
                bytes += escaped_size_of(member.key, highs);
                measure_into(member.value, bytes, highs);
            }
            return;
        }
    }
}

// Builds with assert() on (the sanitizer build, TAVREL_ASSERTS) check, before every write into
// room reserved beforehand, that the write ends within it.
#if !defined(NDEBUG)
#define TAVREL_CHECK_ROOM 1
#endif

// Where the writer takes its room from. With Reserved the caller asked for room for the whole
// value beforehand, up to `end`, so the writer only writes (and, checking, asserts that it stays
// within). With Pieces the room is asked for as the writer
// goes, before each token and each punctuation byte, and a long text is copied in pieces of kPiece
// bytes, so no request is much larger than a piece. A text or piece asks for its bound, or for its
// exact size when the bound is more than the room left, and everything else for its exact size:
// an output sized exactly beforehand never grows.
#if defined(TAVREL_CHECK_ROOM)
class Reserved {
public:
    explicit Reserved(char* end) noexcept : end_(end) {}
    char* ensure(char* out, std::size_t count) const {
        assert(out <= end_ && count <= static_cast<std::size_t>(end_ - out) && "a write passes the reserved room");
        return out;
    }
    char* text(char* out, const JsonText& text, HighBits& highs) const {
        const bool plain = text.classified() && !text.text_class().needs_escape;
        ensure(out, 2 + (plain ? text.size() : escaped_size(text.view())));
        return put_string(out, text, highs);
    }

private:
    char* end_;
};
#else
struct Reserved {
    explicit Reserved(char*) noexcept {}
    TAVREL_INLINE static char* ensure(char* out, std::size_t) { return out; }
    TAVREL_INLINE static char* text(char* out, const JsonText& text, HighBits& highs) {
        return put_string(out, text, highs);
    }
};
#endif

class Pieces {
public:
    static constexpr std::size_t kPiece = std::size_t{64} << 10;

    explicit Pieces(TextSink& sink) noexcept : sink_(sink) {}

    char* start() { return sink_.room(0); }
    // Room for `count` bytes after what was written up to `out` (which is kept).
    char* ensure(char* out, std::size_t count) {
        sink_.commit(out, true);
        return sink_.room(count);
    }
    char* text(char* out, const JsonText& text, HighBits& highs) {
        if (text.size() <= kPiece) return put_string(ensure_text(out, text.view(), 2), text, highs);
        const bool plain = text.classified() && !text.text_class().needs_escape;
        if (plain && text.text_class().non_ascii) highs |= 0x80;
        out = ensure(out, 1);
        *out++ = '"';
        for (std::string_view rest = text.view(); !rest.empty(); rest.remove_prefix(std::min(rest.size(), kPiece))) {
            const std::string_view piece = rest.substr(0, kPiece);
            out = ensure_text(out, piece, 0);
            out = plain ? put(out, piece) : put_escaped(out, piece, highs);
        }
        out = ensure(out, 1);
        *out++ = '"';
        return out;
    }

private:
    // Room for `text` escaped and `extra` bytes more.
    char* ensure_text(char* out, std::string_view text, std::size_t extra) {
        sink_.commit(out, true);
        const std::size_t bound = json_size_bound_of_text(text.size()) + extra;
        return sink_.room(sink_.room_left() >= bound ? bound : escaped_size(text) + extra);
    }

    TextSink& sink_;
};

template <class Room>
char* write_value(const JsonValue& value, char* out, HighBits& highs, Room& room);

// An element or member value: a string, the most common, is written here without a call.
template <class Room>
TAVREL_INLINE char* write_element(const JsonValue& value, char* out, HighBits& highs, Room& room) {
    if (value.kind() == JsonKind::String) return room.text(out, value.as_text(), highs);
    return write_value(value, out, highs, room);
}

// A punctuation byte, in room asked for.
template <class Room>
TAVREL_INLINE char* put_byte(char* out, char byte, Room& room) {
    out = room.ensure(out, 1);
    *out++ = byte;
    return out;
}

// "[", each element and a "," after it, then the last "," becomes the "]" (an empty array writes
// its "]" after the "[").
template <class Room>
TAVREL_INLINE char* write_array(const JsonArray& array, char* out, HighBits& highs, Room& room) {
    out = put_byte(out, '[', room);
    for (const JsonValue& element : array) {
        out = write_element(element, out, highs, room);
        out = put_byte(out, ',', room);
    }
    if (!array.empty()) --out;
    return put_byte(out, ']', room);
}

// A member's key with its quotes and colon: a written key is copied whole.
template <class Room>
TAVREL_INLINE char* write_key(const JsonText& key, char* out, HighBits& highs, Room& room) {
    if (key.written()) {
        const std::string_view written = key.written_view();
        return copy_4_to_16(room.ensure(out, written.size()), written.data(), written.size());
    }
    out = room.text(out, key, highs);
    return put_byte(out, ':', room);
}

// "{", each member and a "," after it, the last "," becoming the "}", as for an array.
template <class Room>
TAVREL_INLINE char* write_object(const JsonObject& object, char* out, HighBits& highs, Room& room) {
    out = put_byte(out, '{', room);
    for (const JsonObject::Member& member : object) {
        out = write_key(member.key, out, highs, room);
        out = write_element(member.value, out, highs, room);
        out = put_byte(out, ',', room);
    }
    if (!object.empty()) --out;
    return put_byte(out, '}', room);
}

template <class Room>
char* write_value(const JsonValue& value, char* out, HighBits& highs, Room& room) {
    switch (value.kind()) {
        case JsonKind::Null: return put(room.ensure(out, 4), "null");
        case JsonKind::Bool: {
            const std::string_view literal = value.as_bool() ? std::string_view("true") : std::string_view("false");
            return put(room.ensure(out, literal.size()), literal);
        }
        case JsonKind::Number: {
            // By memcpy: the moves of copy_short for a text of its size could reach past the
            // small buffer, as far as the compiler can tell.
            const NumberText number = number_text(value.as_number());
            char* const at = room.ensure(out, number.size);
            std::memcpy(at, number.buf, number.size);
            return at + number.size;
        }
        case JsonKind::String: return room.text(out, value.as_text(), highs);
        case JsonKind::Array: return write_array(value.as_array(), out, highs, room);
        case JsonKind::Object: return write_object(value.as_object(), out, highs, room);
    }
    return out;
}

}  // namespace

TextSize measure_json(const JsonValue& value) {
    TextSize size;
    HighBits highs = 0;
    measure_into(value, size.bytes, highs);
    size.ascii = (highs & scan::kHighs) == 0;
    return size;
}

char* write_json(const JsonValue& value, char* out) {
    HighBits highs = 0;
#if defined(TAVREL_CHECK_ROOM)
    Reserved room(out + measure_json(value).bytes);
#else
    Reserved room(nullptr);
#endif
    return write_value(value, out, highs, room);
}

void write_json(const JsonValue& value, std::string& out) {
    const std::size_t start = out.size();
    out.resize(start + measure_json(value).bytes);
    write_json(value, out.data() + start);
}

void TextBuffer::reserve(std::size_t total) {
    const std::size_t capacity = static_cast<std::size_t>(limit_ - begin_);
    if (total <= capacity) return;
    const std::size_t size = this->size();
    void* grown = std::realloc(begin_, total);
    if (grown == nullptr) throw std::bad_alloc();
    begin_ = static_cast<char*>(grown);
    cursor_ = begin_ + size;
    limit_ = begin_ + total;
}

void TextBuffer::grow(std::size_t count) {
    const std::size_t size = this->size();
    if (count > SIZE_MAX / 2 - size) throw std::bad_alloc();
    reserve(std::max(2 * static_cast<std::size_t>(limit_ - begin_), size + count));
}

void TextBuffer::append_ascii(std::string_view bytes) {
    if (!bytes.empty()) std::memcpy(extend(bytes.size(), true), bytes.data(), bytes.size());
}

void write_json(const JsonValue& value, TextSink& out) {
    const TextSize size = measure_json(value);
    char* const at = out.room(size.bytes);
    write_json(value, at);
    out.commit(at + size.bytes, size.ascii);
}

void write_json_within(const JsonValue& value, std::size_t bound, TextSink& out) {
    HighBits highs = 0;
    char* end = nullptr;
    if (bound <= kLargestRoom) {
        char* const at = out.room(bound);
        Reserved room(at + bound);
        end = write_value(value, at, highs, room);
    } else {
        Pieces room(out);
        end = write_value(value, room.start(), highs, room);
    }
    out.commit(end, (highs & scan::kHighs) == 0);
}

std::string to_json_text(const JsonValue& value) {
    std::string out;
    write_json(value, out);
    return out;
}

}  // namespace tavrel::json
