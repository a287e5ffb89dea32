// JsonText: the text of a JSON string or key, either owned or borrowed, with its escape class.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <utility>

#include "base/inline.hpp"
#include "scan/bytes16.hpp"

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

// The bytes the rule escapes, in two kinds read from it: those written as a backslash and
// themselves ('"' and '\'), and the control bytes, written otherwise, which are every byte below
// kControlLimit. The scans test for these two kinds, with the constants found here, and are
// proved below to pick out exactly the bytes of each for every byte value.
inline constexpr scan::ByteSet kEscaped = scan::ByteSet::where([](unsigned char b) { return escape_letter(b) != 0; });
inline constexpr scan::ByteSet kEscapedAsThemselves =
    scan::ByteSet::where([](unsigned char b) { return escape_letter(b) == static_cast<char>(b); });
inline constexpr scan::ByteSet kEscapedControls = scan::ByteSet::where(
    [](unsigned char b) { return escape_letter(b) != 0 && escape_letter(b) != static_cast<char>(b); });
inline constexpr unsigned char kControlLimit = static_cast<unsigned char>(kEscapedControls.leading());
inline constexpr std::array<unsigned char, 2> kSelfEscaped = kEscapedAsThemselves.members<2>();
inline constexpr unsigned char kQuote = kSelfEscaped[0], kBackslash = kSelfEscaped[1];

// On a block, a word or one byte (see scan/bytes16.hpp).
template <class B>
TAVREL_INLINE constexpr auto control_lanes(B bytes) {
    return below(bytes, kControlLimit);
}
template <class B>
TAVREL_INLINE constexpr auto quote_lanes(B bytes) {
    return eq(bytes, kQuote) | eq(bytes, kBackslash);
}
template <class B>
TAVREL_INLINE constexpr auto escape_lanes(B bytes) {
    return control_lanes(bytes) | quote_lanes(bytes);
}
static_assert(kEscapedControls.size() == kControlLimit, "the control bytes are those below a limit");
static_assert(scan::picks_out(kEscapedControls, [](auto b) { return control_lanes(b); }));
static_assert(scan::picks_out(kEscapedAsThemselves, [](auto b) { return quote_lanes(b); }));
static_assert(scan::picks_out(kEscaped, [](auto b) { return escape_lanes(b); }));

// One byte at a time, for the tails of the scans.
constexpr bool byte_needs_escape(unsigned char byte) {
    return byte < kControlLimit || byte == kQuote || byte == kBackslash;
}
static_assert(scan::picks_out(kEscaped, [](auto b) {
    if constexpr (std::is_same_v<decltype(b), scan::Byte>)
        return scan::ByteLane{byte_needs_escape(b.value)};
    else
        return escape_lanes(b);
}));

// The word tests by their bits, a high bit for each byte that passes.
constexpr std::uint64_t control_mask(std::uint64_t word) { return control_lanes(scan::Word{word}).bits; }
constexpr std::uint64_t escape_mask(std::uint64_t word) { return escape_lanes(scan::Word{word}).bits; }

}  // namespace detail

// One pass, sixteen bytes at a time, then eight; the tail (and every text during constant
// evaluation) byte by byte.
constexpr TextClass classify_text(std::string_view text) {
    TextClass cls;
    const char* p = text.data();
    std::size_t n = text.size();
    if (!std::is_constant_evaluated()) {
        scan::Lanes escapes = scan::no_lanes();
        scan::Bytes seen = scan::zero_bytes();
        for (; n >= scan::kBlock; p += scan::kBlock, n -= scan::kBlock) {
            const scan::Bytes block = scan::load(p);
            escapes = escapes | detail::escape_lanes(block);
            seen = seen | block;
        }
        cls.needs_escape = any(escapes);
        cls.non_ascii = any_high(seen);
        std::uint64_t escape_words = 0;
        std::uint64_t highs = 0;
        for (; n >= 8; p += 8, n -= 8) {
            const scan::Word word = scan::load_word(p);
            escape_words |= detail::escape_lanes(word).bits;
            highs |= word.bits;
        }
        cls.needs_escape |= escape_words != 0;
        cls.non_ascii |= scan::any_high(scan::Word{highs});
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
