// JsonText: the text of a JSON string or key, either owned or borrowed, with its escape class.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <utility>

namespace tavrel::json {

// What writing a text as a JSON string involves, found by one scan over its bytes.
struct TextClass {
    bool needs_escape = false;  // holds a byte below 0x20, '"' or '\'
    bool non_ascii = false;     // holds a byte of 0x80 or above
};

namespace detail {

inline constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
inline constexpr std::uint64_t kHighs = 0x8080808080808080ULL;

// Exact per-byte tests: each gives the high bit of every byte of `word` that passes, and no
// other bit. No carry crosses a byte (each sum is of seven-bit halves), so the set bits can be
// counted and told apart.
// A byte's high bit in the sum ends up set when the byte's low seven bits are non-zero (resp.
// 0x20 or above); or-ing in the byte itself accounts for its own high bit.
constexpr std::uint64_t zero_mask(std::uint64_t word) { return ~(((word & ~kHighs) + ~kHighs) | word) & kHighs; }
// Bytes below 0x20, written as the six-byte \u00xx or a two-byte short form.
constexpr std::uint64_t control_mask(std::uint64_t word) {
    return ~(((word & ~kHighs) + kOnes * (0x80 - 0x20)) | word) & kHighs;
}
// Bytes below 0x20, '"' and '\'.
constexpr std::uint64_t escape_mask(std::uint64_t word) {
    return control_mask(word) | zero_mask(word ^ (kOnes * '"')) | zero_mask(word ^ (kOnes * '\\'));
}

constexpr bool byte_needs_escape(unsigned char byte) { return byte < 0x20 || byte == '"' || byte == '\\'; }

}  // namespace detail

// One pass, eight bytes at a time; the tail (and every text during constant evaluation) byte by
// byte.
constexpr TextClass classify_text(std::string_view text) {
    TextClass cls;
    const char* p = text.data();
    std::size_t n = text.size();
    if (!std::is_constant_evaluated()) {
        std::uint64_t escapes = 0;
        std::uint64_t highs = 0;
        for (; n >= 8; p += 8, n -= 8) {
            std::uint64_t word;
            std::memcpy(&word, p, sizeof word);
            escapes |= detail::escape_mask(word);
            highs |= word;
        }
        cls.needs_escape = (escapes & detail::kHighs) != 0;
        cls.non_ascii = (highs & detail::kHighs) != 0;
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
// copy_owned(). The escape class is computed once, when the text is made.
class JsonText {
public:
    constexpr JsonText() noexcept = default;

    static constexpr JsonText borrow(std::string_view text) noexcept {
        return JsonText(text, classify_text(text), false);
    }
    // A borrowed part of `whole` (`part` lies inside it). A part of a text with nothing to
    // escape and nothing beyond ASCII has neither, so only other parts are scanned.
    static constexpr JsonText borrow_part(const JsonText& whole, std::string_view part) noexcept {
        return (whole.flags_ & (kNeedsEscape | kNonAscii)) == 0 ? JsonText(part.data(), part.size(), 0) : borrow(part);
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
    constexpr operator std::string_view() const noexcept { return view(); }
    constexpr std::size_t size() const noexcept { return size_; }
    constexpr bool owned() const noexcept { return (flags_ & kOwned) != 0; }
    constexpr TextClass text_class() const noexcept {
        return {(flags_ & kNeedsEscape) != 0, (flags_ & kNonAscii) != 0};
    }

    friend constexpr bool operator==(const JsonText& a, const JsonText& b) noexcept { return a.view() == b.view(); }
    friend constexpr bool operator==(const JsonText& a, std::string_view b) noexcept { return a.view() == b; }

private:
    static constexpr std::uint8_t kOwned = 1, kNeedsEscape = 2, kNonAscii = 4;

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
