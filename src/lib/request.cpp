// The request record's single-block storage.
#include "lib/request.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "base/copy.hpp"

namespace tavrel {

Request Request::from_texts(const Texts& texts, HttpMethod method, bool has_body) {
    Request request;
    request.header_count_ = (texts.size() - 2) / 2;
    request.method_ = method;
    request.has_body_ = has_body;
    std::size_t bytes = 0;
    texts.for_each([&](std::string_view text) { bytes += text.size(); });
    const std::size_t words = texts.size() + (bytes + sizeof(std::size_t) - 1) / sizeof(std::size_t);
    request.block_ = new std::size_t[words];  // NOLINT(cppcoreguidelines-owning-memory): released by release()
    request.owns_block_ = true;
    std::size_t* ends = request.block_;
    char* out = reinterpret_cast<char*>(ends + texts.size());
    std::size_t end = 0;
    texts.for_each([&](std::string_view text) {
        copy_short(out + end, text.data(), text.size());
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
    block_ = new std::size_t[words];  // NOLINT(cppcoreguidelines-owning-memory): released by release()
    owns_block_ = true;
    std::memcpy(block_, other.block_, words * sizeof(std::size_t));
}

void RecordArena::grow(std::size_t words) {
    constexpr std::size_t kDoublings = std::countr_zero(kLargestChunkWords / kFirstChunkWords);
    const std::size_t chunk = chunks_.size() >= kDoublings ? kLargestChunkWords : kFirstChunkWords << chunks_.size();
    const std::size_t size = std::max(words, chunk);
    chunks_.push_back(std::make_unique_for_overwrite<std::size_t[]>(size));
    next_ = chunks_.back().get();
    left_ = size;
}

Request& Request::operator=(const Request& other) {
    if (this != &other) *this = Request(other);
    return *this;
}

}  // namespace tavrel
