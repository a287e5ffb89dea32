// The request record: the plain value a Tavrel object owns and a collection copies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <array>
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
    // The bytes of all its texts together: url, header keys and values, body.
    std::size_t text_bytes() const noexcept { return block_ ? block_[text_count() - 1] : 0; }

    class HeaderIterator;
    struct Headers;
    Headers headers() const noexcept;

    // The texts of one request in record order (url, each key and value, then the body, empty
    // when absent), gathered as views of storage that outlives the record's making. The record
    // is then made from them with one allocation and one copy of each text.
    class Texts {
    public:
        Texts() = default;
        Texts(const Texts&) = delete;
        Texts& operator=(const Texts&) = delete;
        void add(std::string_view text) {
            if (count_ == kInline) spill();
            if (count_ < kInline) {
                inline_[count_] = {text.data(), text.size()};
            } else {
                spilled_.push_back(text);
            }
            ++count_;
        }
        template <class F>
        void for_each(F&& f) const {
            if (count_ <= kInline) {
                for (std::size_t i = 0; i < count_; ++i) f(std::string_view(inline_[i].data, inline_[i].size));
            } else {
                for (std::string_view text : spilled_) f(text);
            }
        }
        std::size_t size() const noexcept { return count_; }

    private:
        // Url, body and 15 headers fit in place; more move to the heap.
        static constexpr std::size_t kInline = 32;
        struct Piece {
            const char* data;
            std::size_t size;
        };
        void spill() {
            spilled_.reserve(2 * kInline);
            for (const Piece& piece : inline_) spilled_.emplace_back(piece.data, piece.size);
        }
        // Left uninitialised: only the first count_ are ever read.
        std::array<Piece, kInline> inline_;
        std::vector<std::string_view> spilled_;
        std::size_t count_ = 0;
    };

    // The record of `texts` (url, header keys and values, body).
    static Request from_texts(const Texts& texts, HttpMethod method, bool has_body);

private:
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

// Walks the end offsets of the header texts: a header's key runs from the end of the text before
// it to its own end, and its value from there to the next end.
class Request::HeaderIterator {
public:
    using value_type = HeaderView;
    using difference_type = std::ptrdiff_t;
    HeaderIterator() = default;
    HeaderIterator(const std::size_t* ends, const char* texts) : ends_(ends), texts_(texts) {}
    HeaderView operator*() const noexcept {
        return {{texts_ + ends_[0], ends_[1] - ends_[0]}, {texts_ + ends_[1], ends_[2] - ends_[1]}};
    }
    HeaderIterator& operator++() noexcept {
        ends_ += 2;
        return *this;
    }
    HeaderIterator operator++(int) noexcept {
        HeaderIterator old = *this;
        ends_ += 2;
        return old;
    }
    bool operator==(const HeaderIterator& other) const noexcept { return ends_ == other.ends_; }

private:
    const std::size_t* ends_ = nullptr;  // at the end of the text before the header's key
    const char* texts_ = nullptr;
};

struct Request::Headers {
    const Request* request;
    HeaderIterator begin() const noexcept { return at(0); }
    HeaderIterator end() const noexcept { return at(request->header_count()); }
    std::size_t size() const noexcept { return request->header_count(); }

private:
    HeaderIterator at(std::size_t i) const noexcept {
        if (!request->block_) return {};
        const std::size_t* const ends = request->block_.get();
        return {ends + 2 * i, reinterpret_cast<const char*>(ends + request->text_count())};
    }
};

inline Request::Headers Request::headers() const noexcept { return {this}; }

}  // namespace tavrel
