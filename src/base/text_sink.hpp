// TextSink: storage that a long text is appended to piece by piece. The JSON writer and the
// document write into it; the module's result strs (src/boundary) and the JSON layer's own
// heap buffer are sinks.
#pragma once

#include <cstddef>

namespace tavrel {

// A window [cursor, limit) of room that a writer fills and then commits, and that grows (moving
// what was written) when a writer asks for more room than is left. It knows whether everything
// committed is ASCII.
class TextSink {
public:
    // At least `count` bytes of room at the returned cursor, valid until the next call here.
    char* room(std::size_t count) {
        if (static_cast<std::size_t>(limit_ - cursor_) < count) grow(count);
        return cursor_;
    }
    // Ends the bytes written from the cursor at `end`, which lies within the room asked for;
    // `ascii` says whether they are all ASCII.
    void commit(char* end, bool ascii) noexcept {
        cursor_ = end;
        ascii_ &= ascii;
    }
    std::size_t size() const noexcept { return static_cast<std::size_t>(cursor_ - begin_); }
    std::size_t room_left() const noexcept { return static_cast<std::size_t>(limit_ - cursor_); }
    bool ascii() const noexcept { return ascii_; }

protected:
    TextSink() noexcept = default;
    ~TextSink() = default;
    TextSink(const TextSink&) = default;
    TextSink& operator=(const TextSink&) = default;
    // Makes room for `count` more bytes after the cursor, keeping the bytes before it, and sets
    // the three pointers anew; throws std::bad_alloc when that is impossible.
    virtual void grow(std::size_t count) = 0;

    char* begin_ = nullptr;
    char* cursor_ = nullptr;
    char* limit_ = nullptr;
    bool ascii_ = true;
};

}  // namespace tavrel
