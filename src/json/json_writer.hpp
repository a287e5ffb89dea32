// Compact JSON text output of a JsonValue tree.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>

#include "base/text_sink.hpp"
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
// bytes, and returns the end of what was written. Nothing is written past that end.
char* write_json(const JsonValue& value, char* out);

// Appends the compact text of `value` to `out`.
void write_json(const JsonValue& value, std::string& out);

// A TextSink of its own heap storage, from malloc, growing with realloc (which can move the
// pages of a large buffer instead of copying them). Move-only.
class TextBuffer final : public TextSink {
public:
    TextBuffer() noexcept = default;
    TextBuffer(TextBuffer&& other) noexcept : TextSink(other) { other.forget(); }
    TextBuffer& operator=(TextBuffer&& other) noexcept {
        std::swap(begin_, other.begin_);
        std::swap(cursor_, other.cursor_);
        std::swap(limit_, other.limit_);
        std::swap(ascii_, other.ascii_);
        return *this;
    }
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;
    ~TextBuffer() { std::free(begin_); }

    // Room for `total` bytes in all, so appending up to there moves nothing.
    void reserve(std::size_t total);
    // `count` more bytes at the end, left for the caller to write; `ascii` says whether they
    // will all be ASCII. Invalidates earlier results.
    char* extend(std::size_t count, bool ascii) {
        char* const at = room(count);
        commit(at + count, ascii);
        return at;
    }
    void append_ascii(std::string_view bytes);

    std::string_view view() const noexcept { return {begin_ == nullptr ? "" : begin_, size()}; }

private:
    void grow(std::size_t count) override;
    void forget() noexcept {
        begin_ = cursor_ = limit_ = nullptr;
        ascii_ = true;
    }
};

// Appends the compact text of `value` to `out`, measured first so that exactly its size is asked for.
void write_json(const JsonValue& value, TextSink& out);

// The most room that write_json_within asks for at once.
inline constexpr std::size_t kLargestRoom = std::size_t{1} << 20;

// Appends the compact text of `value` to `out` in one pass, without measuring it: `bound` must
// be at least the size of the text (every text of the value counted six times over is always
// enough, see json_size_bound_of_text). Up to kLargestRoom that much room is asked for at once;
// above it, room is asked for as the writing goes, a long text in pieces, so that a large value
// never needs a buffer six times its size.
void write_json_within(const JsonValue& value, std::size_t bound, TextSink& out);

// The bytes that `text` takes inside a JSON string, its quotes not counted.
std::size_t escaped_size(std::string_view text);

// The most bytes a text of `size` bytes takes inside a JSON string: six for each of its bytes.
constexpr std::size_t json_size_bound_of_text(std::size_t size) { return 6 * size; }

// The compact text of `value` in a new string.
std::string to_json_text(const JsonValue& value);

}  // namespace tavrel::json
