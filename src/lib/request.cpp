// The request record's single-block storage.
#include "lib/request.hpp"

#include <cstring>

namespace tavrel {
namespace {

// Copies `size` bytes. Most texts of a request are a few dozen bytes, and for those a few
// overlapping fixed-size moves (which the compiler makes plain loads and stores) cost less than
// a call into the C library's memcpy.
void copy_text(char* out, const char* in, std::size_t size) noexcept {
    if (size > 64) {
        std::memcpy(out, in, size);
    } else if (size > 16) {
        // The first and last 16 bytes, and for more than 32 the next and previous 16 as well.
        std::memcpy(out, in, 16);
        std::memcpy(out + size - 16, in + size - 16, 16);
        if (size > 32) {
            std::memcpy(out + 16, in + 16, 16);
            std::memcpy(out + size - 32, in + size - 32, 16);
        }
    } else if (size >= 8) {
        std::memcpy(out, in, 8);
        std::memcpy(out + size - 8, in + size - 8, 8);
    } else if (size >= 4) {
        std::memcpy(out, in, 4);
        std::memcpy(out + size - 4, in + size - 4, 4);
    } else if (size > 0) {
        out[0] = in[0];
        out[size / 2] = in[size / 2];
        out[size - 1] = in[size - 1];
    }
}

}  // namespace

std::size_t Request::block_words() const noexcept {
    const std::size_t bytes = block_ ? block_[text_count() - 1] : 0;
    return text_count() + (bytes + sizeof(std::size_t) - 1) / sizeof(std::size_t);
}

Request Request::from_texts(const Texts& texts, HttpMethod method, bool has_body) {
    Request request;
    request.header_count_ = (texts.size() - 2) / 2;
    request.method_ = method;
    request.has_body_ = has_body;
    std::size_t bytes = 0;
    texts.for_each([&](std::string_view text) { bytes += text.size(); });
    const std::size_t words = texts.size() + (bytes + sizeof(std::size_t) - 1) / sizeof(std::size_t);
    request.block_ = std::make_unique_for_overwrite<std::size_t[]>(words);
    std::size_t* ends = request.block_.get();
    char* out = reinterpret_cast<char*>(ends + texts.size());
    std::size_t end = 0;
    texts.for_each([&](std::string_view text) {
        copy_text(out + end, text.data(), text.size());
        end += text.size();
        *ends++ = end;
    });
    return request;
}

Request::Request(std::string_view url, std::span<const HeaderView> headers, HttpMethod method,
                 std::optional<std::string_view> body) {
    Texts texts;
    texts.add(url);
    for (const HeaderView& h : headers) {
        texts.add(h.key);
        texts.add(h.value);
    }
    texts.add(body.value_or(std::string_view()));
    *this = from_texts(texts, method, body.has_value());
}

Request::Request(const Request& other)
    : header_count_(other.header_count_), method_(other.method_), has_body_(other.has_body_) {
    if (!other.block_) return;
    const std::size_t words = other.block_words();
    block_ = std::make_unique_for_overwrite<std::size_t[]>(words);
    std::memcpy(block_.get(), other.block_.get(), words * sizeof(std::size_t));
}

Request& Request::operator=(const Request& other) {
    if (this != &other) *this = Request(other);
    return *this;
}

}  // namespace tavrel
