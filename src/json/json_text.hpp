// JsonText: the text of a JSON string or key, either owned or borrowed, with its escape class.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// For the few small functions on the hottest paths whose inlining the compiler's own estimate
// would refuse: inlined, they fold with their constant arguments.
#if defined(__GNUC__)
#define TAVREL_INLINE [[gnu::always_inline]] inline
#else
#define TAVREL_INLINE inline
#endif

namespace tavrel::json {

// What writing a text as a JSON string involves, found by one scan over its bytes.
struct TextClass {
    bool needs_escape = false;  // holds a byte below 0x20, '"' or '\'
    bool non_ascii = false;     // holds a byte of 0x80 or above
};

// The JSON escape rule, written once: 0 when a byte is copied as it is, otherwise the letter
// after the backslash, 'u' standing for the six-byte form \u00xx. Bytes from 0x20 up, except '"'
// and '\', are never escaped, so "/", DEL and all UTF-8 lead and continuation bytes go out raw.
constexpr char escape_letter(unsigned char byte) {
    switch (byte) {
        case '"': return '"';
        case '\\': return '\\';
        case '\b': return 'b';
        case '\t': return 't';
        case '\n': return 'n';
        case '\f': return 'f';
        case '\r': return 'r';
        default: return byte < 0x20 ? 'u' : 0;
    }
}

namespace detail {

// The scans test many bytes at once with these three constants; they must pick out exactly the
// bytes that escape_letter escapes (checked below for every byte).
inline constexpr unsigned char kControlLimit = 0x20, kQuote = '"', kBackslash = '\\';
constexpr bool byte_needs_escape(unsigned char byte) {
    return byte < kControlLimit || byte == kQuote || byte == kBackslash;
}

inline constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
inline constexpr std::uint64_t kHighs = 0x8080808080808080ULL;

// The high bit of every byte of 0x80 or above: a text is ASCII when no word of it has one.
constexpr std::uint64_t high_bits(std::uint64_t word) { return word & kHighs; }

// Exact per-byte tests: each gives the high bit of every byte of `word` that passes, and no
// other bit. No carry crosses a byte (each sum is of seven-bit halves), so the set bits can be
// counted and told apart.
// A byte's high bit in the sum ends up set when the byte's low seven bits are non-zero (resp.
// kControlLimit or above); or-ing in the byte itself accounts for its own high bit.
constexpr std::uint64_t zero_mask(std::uint64_t word) { return ~(((word & ~kHighs) + ~kHighs) | word) & kHighs; }
// Bytes below kControlLimit, written as the six-byte \u00xx or a two-byte short form.
constexpr std::uint64_t control_mask(std::uint64_t word) {
    return ~(((word & ~kHighs) + kOnes * (0x80 - kControlLimit)) | word) & kHighs;
}
// Bytes below kControlLimit, kQuote and kBackslash.
constexpr std::uint64_t escape_mask(std::uint64_t word) {
    return control_mask(word) | zero_mask(word ^ (kOnes * kQuote)) | zero_mask(word ^ (kOnes * kBackslash));
}

// Every byte, alone in a word of plain bytes and in every lane at once, is escaped by the word
// test exactly when the rule escapes it.
consteval bool scans_agree_with_the_rule() {
    for (unsigned byte = 0; byte < 256; ++byte) {
        const bool escaped = escape_letter(static_cast<unsigned char>(byte)) != 0;
        if (byte_needs_escape(static_cast<unsigned char>(byte)) != escaped) return false;
        if (escape_mask(kOnes * byte) != (escaped ? kHighs : 0)) return false;
        for (unsigned lane = 0; lane < 8; ++lane) {
            const std::uint64_t word =
                (kOnes * 'a' & ~(std::uint64_t{0xFF} << (8 * lane))) | (std::uint64_t{byte} << (8 * lane));
            if (escape_mask(word) != (escaped ? std::uint64_t{0x80} << (8 * lane) : 0)) return false;
            if ((high_bits(word) != 0) != (byte >= 0x80)) return false;
        }
    }
    return true;
}
static_assert(scans_agree_with_the_rule());

}  // namespace detail

// Whether any byte of `text` is 0x80 or above, eight bytes at a time.
inline bool has_non_ascii(std::string_view text) {
    const char* p = text.data();
    std::size_t n = text.size();
    std::uint64_t highs = 0;
    for (; n >= 8; p += 8, n -= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, sizeof word);
        highs |= word;
    }
    for (; n > 0; ++p, --n) highs |= static_cast<unsigned char>(*p);
    return detail::high_bits(highs) != 0;
}

#if defined(__SSE2__)
namespace detail {
// Sixteen bytes at a time (SSE2 is part of every x86-64): a lane of all ones for each byte that
// the rule escapes, from the same three constants as the word test.
inline __m128i control_lanes(__m128i block) {
    return _mm_cmpeq_epi8(_mm_min_epu8(block, _mm_set1_epi8(kControlLimit - 1)), block);  // <= 0x1F
}
inline __m128i quote_lanes(__m128i block) {
    return _mm_or_si128(_mm_cmpeq_epi8(block, _mm_set1_epi8(static_cast<char>(kQuote))),
                        _mm_cmpeq_epi8(block, _mm_set1_epi8(static_cast<char>(kBackslash))));
}
}  // namespace detail
#endif

// One pass, sixteen bytes at a time with SSE2, then eight; the tail (and every text during
// constant evaluation) byte by byte.
constexpr TextClass classify_text(std::string_view text) {
    TextClass cls;
    const char* p = text.data();
    std::size_t n = text.size();
    if (!std::is_constant_evaluated()) {
#if defined(__SSE2__)
        __m128i escape_lanes = _mm_setzero_si128(), high_lanes = _mm_setzero_si128();
        for (; n >= 16; p += 16, n -= 16) {
            const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            escape_lanes =
                _mm_or_si128(escape_lanes, _mm_or_si128(detail::control_lanes(block), detail::quote_lanes(block)));
            high_lanes = _mm_or_si128(high_lanes, block);
        }
        cls.needs_escape = _mm_movemask_epi8(escape_lanes) != 0;
        cls.non_ascii = _mm_movemask_epi8(high_lanes) != 0;
#endif
        std::uint64_t escapes = 0;
        std::uint64_t highs = 0;
        for (; n >= 8; p += 8, n -= 8) {
            std::uint64_t word;
            std::memcpy(&word, p, sizeof word);
            escapes |= detail::escape_mask(word);
            highs |= word;
        }
        cls.needs_escape |= escapes != 0;
        cls.non_ascii |= detail::high_bits(highs) != 0;
    }
    for (; n > 0; ++p, --n) {
        const auto byte = static_cast<unsigned char>(*p);
        cls.needs_escape |= detail::byte_needs_escape(byte);
        cls.non_ascii |= byte >= 0x80;
    }
    return cls;
}

// A borrowed text points into storage that must outlive it (a stored record, a constant); an
// owned text holds a heap copy of its own. Move-only: a copy of an owned text is asked for with
// copy_owned(). The escape class is computed once, when the text is made, except for a text
// made by view_of(), which is left unclassified: the writer learns its class while copying it.
class JsonText {
public:
    constexpr JsonText() noexcept = default;

    static constexpr JsonText borrow(std::string_view text) noexcept {
        return JsonText(text, classify_text(text), false);
    }
    // A borrowed text left unclassified: making it reads no byte of it.
    static constexpr JsonText view_of(std::string_view text) noexcept {
        return JsonText(text.data(), text.size(), kUnclassified);
    }
    // A borrowed part of `whole` (`part` lies inside it). A part of a text with nothing to
    // escape and nothing beyond ASCII has neither, so only other parts are scanned; a part of an
    // unclassified text is left unclassified.
    static constexpr JsonText borrow_part(const JsonText& whole, std::string_view part) noexcept {
        if (whole.flags_ & kUnclassified) return view_of(part);
        return (whole.flags_ & (kNeedsEscape | kNonAscii)) == 0 ? JsonText(part.data(), part.size(), 0) : borrow(part);
    }
    // A key as it is written, `"key":`, given whole: the text is the key, and the writer copies
    // the quotes and the colon around it with it. Only for a constant key of plain ASCII, of 1 to
    // 13 bytes (so that it is written by one short copy).
    static consteval JsonText written_key(std::string_view written) {
        if (written.size() < 4 || written.size() > 16 || !written.starts_with('"') || !written.ends_with("\":")) {
            throw "a written key is a key of 1 to 13 bytes between quotes, then a colon";
        }
        const std::string_view key = written.substr(1, written.size() - 3);
        const TextClass cls = classify_text(key);
        if (cls.needs_escape || cls.non_ascii) throw "a written key needs no escape and is ASCII";
        return JsonText(key.data(), key.size(), kWritten);
    }
    static JsonText copy_of(std::string_view text) {
        if (text.empty()) return JsonText();
        char* copy = new char[text.size()];
        std::memcpy(copy, text.data(), text.size());
        return JsonText(std::string_view(copy, text.size()), classify_text(text), true);
    }
    JsonText copy_owned() const { return copy_of(view()); }
    // A borrowed text over the same bytes with the same class, so a constant text made (and
    // classified) once can be handed out without being looked at again.
    constexpr JsonText borrowed() const noexcept {
        return JsonText(data_, size_, static_cast<std::uint8_t>(flags_ & ~kOwned));
    }

    constexpr JsonText(JsonText&& other) noexcept
        : data_(std::exchange(other.data_, "")),
          size_(std::exchange(other.size_, 0)),
          flags_(std::exchange(other.flags_, 0)) {}
    constexpr JsonText& operator=(JsonText&& other) noexcept {
        if (this != &other) {
            release();
            data_ = std::exchange(other.data_, "");
            size_ = std::exchange(other.size_, 0);
            flags_ = std::exchange(other.flags_, 0);
        }
        return *this;
    }
    JsonText(const JsonText&) = delete;
    JsonText& operator=(const JsonText&) = delete;
    constexpr ~JsonText() { release(); }

    constexpr std::string_view view() const noexcept { return {data_, size_}; }
    // For a text made by written_key(): its quotes and colon lie around it, `"key":`.
    constexpr bool written() const noexcept { return (flags_ & kWritten) != 0; }
    constexpr std::string_view written_view() const noexcept { return {data_ - 1, size_ + 3}; }
    constexpr operator std::string_view() const noexcept { return view(); }
    constexpr std::size_t size() const noexcept { return size_; }
    constexpr bool owned() const noexcept { return (flags_ & kOwned) != 0; }
    constexpr bool classified() const noexcept { return (flags_ & kUnclassified) == 0; }
    // Found by a scan for an unclassified text.
    constexpr TextClass text_class() const noexcept {
        if (!classified()) return classify_text(view());
        return {(flags_ & kNeedsEscape) != 0, (flags_ & kNonAscii) != 0};
    }

    friend constexpr bool operator==(const JsonText& a, const JsonText& b) noexcept { return a.view() == b.view(); }
    friend constexpr bool operator==(const JsonText& a, std::string_view b) noexcept { return a.view() == b; }

private:
    static constexpr std::uint8_t kOwned = 1, kNeedsEscape = 2, kNonAscii = 4, kUnclassified = 8, kWritten = 16;

    constexpr JsonText(std::string_view text, TextClass cls, bool owned) noexcept
        : data_(text.data()),
          size_(text.size()),
          flags_(static_cast<std::uint8_t>((owned ? kOwned : 0) | (cls.needs_escape ? kNeedsEscape : 0) |
                                           (cls.non_ascii ? kNonAscii : 0))) {}
    constexpr JsonText(const char* data, std::size_t size, std::uint8_t flags) noexcept
        : data_(data), size_(size), flags_(flags) {}
    constexpr void release() noexcept {
        if (owned()) delete[] data_;
    }

    const char* data_ = "";
    std::size_t size_ = 0;
    std::uint8_t flags_ = 0;
};

}  // namespace tavrel::json
