// Compact JSON text output of a JsonValue tree.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>

#include "json/json_value.hpp"

namespace tavrel::json {

// The exact length of the compact text of a value, and whether all of it is ASCII.
struct TextSize {
    std::size_t bytes = 0;
    bool ascii = true;
};

// Compact text: no whitespace between tokens, object members in the object's key order,
// strings escaped only where JSON requires it (control bytes, '"', '\'). Non-ASCII bytes are
// copied as they are, so UTF-8 content gives UTF-8 output.
TextSize measure_json(const JsonValue& value);

// Writes the compact text of `value` at `out`, which has room for measure_json(value).bytes
// bytes, and returns the end of what was written.
char* write_json(const JsonValue& value, char* out);

// Appends the compact text of `value` to `out`.
void write_json(const JsonValue& value, std::string& out);

// A growable byte buffer that text is appended to, knowing whether all of it is ASCII. Its
// storage comes from malloc and grows with realloc, which can move the pages of a large buffer
// instead of copying them. Running out of memory throws std::bad_alloc. Move-only.
class TextBuffer {
public:
    TextBuffer() noexcept = default;
    TextBuffer(TextBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)),
          ascii_(std::exchange(other.ascii_, true)) {}
    TextBuffer& operator=(TextBuffer&& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
        std::swap(ascii_, other.ascii_);
        return *this;
    }
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;
    ~TextBuffer() { std::free(data_); }

    // Room for `total` bytes in all, so appending up to there moves nothing.
    void reserve(std::size_t total);
    // `count` more bytes at the end, left for the caller to write; `ascii` says whether they
    // will all be ASCII. Invalidates earlier results.
    char* extend(std::size_t count, bool ascii) {
        if (capacity_ - size_ < count) grow(count);
        char* const at = data_ + size_;
        size_ += count;
        ascii_ &= ascii;
        return at;
    }
    void append_ascii(std::string_view bytes);

    std::string_view view() const noexcept { return {data_ == nullptr ? "" : data_, size_}; }
    std::size_t size() const noexcept { return size_; }
    bool ascii() const noexcept { return ascii_; }

private:
    void grow(std::size_t count);

    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    bool ascii_ = true;
};

// Appends the compact text of `value` to `out`.
void write_json(const JsonValue& value, TextBuffer& out);

// The compact text of `value` in a new string.
std::string to_json_text(const JsonValue& value);

}  // namespace tavrel::json
