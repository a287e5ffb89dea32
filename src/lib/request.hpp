// The request record: the plain value a Tavrel object owns and a collection copies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <memory_resource>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "http_method.hpp"

namespace tavrel {

struct HeaderView {
    std::string_view key;
    std::string_view value;
};

// All texts of a request live in one heap block, so that making, copying and releasing a
// record costs one allocation each, and a stored record is little more than its bytes.
//
// Block layout, in std::size_t words: the end offsets of the texts url, key 0, value 0, ...,
// key n-1, value n-1, body (empty when absent), then the texts' bytes back to back. Text i runs
// from the end of text i-1 (0 for the url) to its own end.
//
// Copying copies the whole block; copies share nothing. A moved-from record is empty (empty url,
// no headers, no body) and may be assigned to or destroyed.
class Request {
public:
    // The empty GET request.
    Request() noexcept = default;
    Request(std::string_view url, std::span<const HeaderView> headers, HttpMethod method,
            std::optional<std::string_view> body);
    Request(const Request& other);
    Request& operator=(const Request& other);
    Request(Request&& other) noexcept { *this = std::move(other); }
    Request& operator=(Request&& other) noexcept {
        block_ = std::move(other.block_);
        header_count_ = std::exchange(other.header_count_, 0);
        method_ = std::exchange(other.method_, HttpMethod::GET);
        has_body_ = std::exchange(other.has_body_, false);
        return *this;
    }
    ~Request() = default;

    std::string_view url() const noexcept { return text(0); }
    HttpMethod method() const noexcept { return method_; }
    // nullopt: no body; "" is a present, empty body.
    std::optional<std::string_view> body() const noexcept {
        if (!has_body_) return std::nullopt;
        return text(2 * header_count_ + 1);
    }
    // In the order the caller gave them; duplicates kept.
    std::size_t header_count() const noexcept { return header_count_; }
    HeaderView header(std::size_t i) const noexcept { return {text(2 * i + 1), text(2 * i + 2)}; }

    class HeaderIterator;
    struct Headers;
    Headers headers() const noexcept;

    // Gathers the texts of one request in order (url, each key and value, then the body) in
    // scratch storage taken from `scratch`, then makes the record in one allocation.
    class Builder {
    public:
        explicit Builder(std::pmr::memory_resource* scratch) : bytes_(scratch), ends_(scratch) {}
        void reserve_headers(std::size_t count) { ends_.reserve(2 * count + 2); }
        void reserve_bytes(std::size_t count) { bytes_.reserve(count); }
        void add_url(std::string_view url) { add(url); }
        void add_header(std::string_view key, std::string_view value) {
            add(key);
            add(value);
        }
        Request finish(HttpMethod method, std::optional<std::string_view> body);

    private:
        void add(std::string_view text) {
            bytes_.append(text);
            ends_.push_back(bytes_.size());
        }
        std::pmr::string bytes_;
        std::pmr::vector<std::size_t> ends_;
    };

private:
    static Request assemble(std::span<const std::size_t> ends, std::string_view bytes, HttpMethod method,
                            bool has_body);
    std::size_t text_count() const noexcept { return 2 * header_count_ + 2; }
    std::size_t block_words() const noexcept;
    std::string_view text(std::size_t i) const noexcept {
        if (!block_) return {};
        const std::size_t begin = i == 0 ? 0 : block_[i - 1];
        return {reinterpret_cast<const char*>(block_.get() + text_count()) + begin, block_[i] - begin};
    }

    std::unique_ptr<std::size_t[]> block_;  // null only for the empty request
    std::size_t header_count_ = 0;
    HttpMethod method_ = HttpMethod::GET;
    bool has_body_ = false;
};

class Request::HeaderIterator {
public:
    using value_type = HeaderView;
    using difference_type = std::ptrdiff_t;
    HeaderIterator() = default;
    HeaderIterator(const Request* request, std::size_t i) : request_(request), i_(i) {}
    HeaderView operator*() const noexcept { return request_->header(i_); }
    HeaderIterator& operator++() noexcept {
        ++i_;
        return *this;
    }
    HeaderIterator operator++(int) noexcept {
        HeaderIterator old = *this;
        ++i_;
        return old;
    }
    bool operator==(const HeaderIterator& other) const noexcept { return i_ == other.i_; }

private:
    const Request* request_ = nullptr;
    std::size_t i_ = 0;
};

struct Request::Headers {
    const Request* request;
    HeaderIterator begin() const noexcept { return {request, 0}; }
    HeaderIterator end() const noexcept { return {request, request->header_count()}; }
    std::size_t size() const noexcept { return request->header_count(); }
};

inline Request::Headers Request::headers() const noexcept { return {this}; }

}  // namespace tavrel
