// The request record's single-block storage.
#include "lib/request.hpp"

#include <cstring>

namespace tavrel {

std::size_t Request::block_words() const noexcept {
    const std::size_t bytes = block_ ? block_[text_count() - 1] : 0;
    return text_count() + (bytes + sizeof(std::size_t) - 1) / sizeof(std::size_t);
}

Request Request::assemble(std::span<const std::size_t> ends, std::string_view bytes, HttpMethod method, bool has_body) {
    Request request;
    request.header_count_ = (ends.size() - 2) / 2;
    request.method_ = method;
    request.has_body_ = has_body;
    const std::size_t words = ends.size() + (bytes.size() + sizeof(std::size_t) - 1) / sizeof(std::size_t);
    request.block_ = std::make_unique_for_overwrite<std::size_t[]>(words);
    std::memcpy(request.block_.get(), ends.data(), ends.size_bytes());
    if (!bytes.empty()) std::memcpy(request.block_.get() + ends.size(), bytes.data(), bytes.size());
    return request;
}

Request::Request(std::string_view url, std::span<const HeaderView> headers, HttpMethod method,
                 std::optional<std::string_view> body) {
    std::pmr::monotonic_buffer_resource scratch;
    Builder builder(&scratch);
    builder.reserve_headers(headers.size());
    builder.add_url(url);
    for (const HeaderView& h : headers) builder.add_header(h.key, h.value);
    *this = builder.finish(method, body);
}

Request Request::Builder::finish(HttpMethod method, std::optional<std::string_view> body) {
    add(body.value_or(std::string_view()));
    return assemble(ends_, bytes_, method, body.has_value());
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
