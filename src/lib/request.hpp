// The request record: the plain value a Tavrel object owns and a collection copies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <array>
#include <cassert>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "http_method.hpp"
#include "scan/bytes16.hpp"

namespace tavrel {

struct HeaderView {
    std::string_view key;
    std::string_view value;
};

// All texts of a request live in one block, so that making, copying and releasing a record costs
// one allocation each (or none, for a copy into a RecordArena), and a stored record is little more
// than its bytes.
//
// Block layout, in std::size_t words: the end offsets of the texts url, key 0, value 0, ...,
// key n-1, value n-1, body (empty when absent), then the texts' bytes back to back. Text i runs
// from the end of text i-1 (0 for the url) to its own end.
//
// Copying copies the whole block; copies share nothing. A moved-from record is empty (empty url,
// no headers, no body) and may be assigned to or destroyed. A record copied into a RecordArena
// does not own its block and must not outlive the arena.
class RecordArena;

class Request {
public:
    // A record holds no pointer into itself, so its bytes may be moved to grow a vector of them.
    // libc++ then grows a collection's stored list with one copy of the bytes instead of a move
    // and a destruction per record (libstdc++ ignores the name).
    using __trivially_relocatable = Request;  // NOLINT(bugprone-reserved-identifier)

    // The empty GET request.
    Request() noexcept = default;
    Request(std::string_view url, std::span<const HeaderView> headers, HttpMethod method,
            std::optional<std::string_view> body);
    Request(const Request& other);
    Request& operator=(const Request& other);
    Request(Request&& other) noexcept
        : block_(std::exchange(other.block_, nullptr)),
          header_count_(std::exchange(other.header_count_, 0)),
          method_(std::exchange(other.method_, HttpMethod::GET)),
          has_body_(std::exchange(other.has_body_, false)),
          owns_block_(std::exchange(other.owns_block_, false)) {}
    Request& operator=(Request&& other) noexcept {
        if (this != &other) {
            release();
            block_ = std::exchange(other.block_, nullptr);
            header_count_ = std::exchange(other.header_count_, 0);
            method_ = std::exchange(other.method_, HttpMethod::GET);
            has_body_ = std::exchange(other.has_body_, false);
            owns_block_ = std::exchange(other.owns_block_, false);
        }
        return *this;
    }
    ~Request() { release(); }

    // A copy whose block comes from `arena`: it lives no longer than the arena. (Inline: it is
    // all a collection's add_request does beside its checks.)
    inline Request(const Request& other, RecordArena& arena);

    std::string_view url() const noexcept { return text(0); }
    HttpMethod method() const noexcept { return method_; }
    // nullopt: no body; "" is a present, empty body.
    std::optional<std::string_view> body() const noexcept {
        if (!has_body_) return std::nullopt;
        return text(2 * header_count_ + 1);
    }
    // In the order the caller gave them; duplicates kept.
    std::size_t header_count() const noexcept { return header_count_; }
    inline HeaderView header(std::size_t i) const noexcept;
    // The bytes of all the texts together.
    std::size_t text_bytes() const noexcept { return block_ ? block_[text_count() - 1] : 0; }
    // Header i's key and value as one text: they lie back to back.
    std::string_view header_text(std::size_t i) const noexcept {
        const HeaderView h = header(i);
        return {h.key.data(), h.key.size() + h.value.size()};
    }
    // The keys and values of all headers as one text: they lie back to back, in order.
    std::string_view headers_text() const noexcept {
        if (header_count_ == 0) return {};
        return {bytes() + block_[0], block_[2 * header_count_] - block_[0]};
    }
    // Every text is preceded in the block by at least this many bytes of the record (the table of
    // text ends comes first, and it has two entries at least), so a reader may load the
    // kReadableBefore bytes that end where any non-empty text ends.
    static constexpr std::size_t kReadableBefore = 2 * sizeof(std::size_t);
    // One of this record's texts (the url, a header's key or value, header_text(i),
    // headers_text(), the body), or several back to back, as a text that the byte scans may read
    // a block at a time however short it is.
    scan::LoadableText loadable(std::string_view text) const noexcept {
        static_assert(kReadableBefore >= scan::kBlock);
        assert(text.empty() ||
               (block_ && bytes() <= text.data() && text.data() + text.size() <= bytes() + text_bytes()));
        return scan::LoadableText::with_block_before(text);
    }

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
    std::size_t block_words() const noexcept {
        return text_count() + (text_bytes() + sizeof(std::size_t) - 1) / sizeof(std::size_t);
    }
    // The texts' bytes, after the table of their ends.
    const char* bytes() const noexcept { return reinterpret_cast<const char*>(block_ + text_count()); }
    void release() noexcept {
        if (owns_block_) delete[] block_;  // NOLINT(cppcoreguidelines-owning-memory): owned exactly when owns_block_
    }
    std::string_view text(std::size_t i) const noexcept {
        if (!block_) return {};
        const std::size_t begin = i == 0 ? 0 : block_[i - 1];
        return {bytes() + begin, block_[i] - begin};
    }

    std::size_t* block_ = nullptr;  // null only for the empty request
    std::size_t header_count_ = 0;
    HttpMethod method_ = HttpMethod::GET;
    bool has_body_ = false;
    bool owns_block_ = false;  // from new[]; otherwise from an arena, or none
};

// Storage for the blocks of records that live exactly as long as one owner (a collection's
// stored list): cut from chunks allocated in bulk, with room for a few records at first and then
// for more and more, and freed all together, which saves an allocation and a release per record.
class RecordArena {
public:
    RecordArena() = default;
    // A moved-from arena is empty: it hands out nothing of the chunks it gave away.
    RecordArena(RecordArena&& other) noexcept
        : chunks_(std::move(other.chunks_)),
          next_(std::exchange(other.next_, nullptr)),
          left_(std::exchange(other.left_, 0)) {}
    RecordArena& operator=(RecordArena&&) = delete;
    RecordArena(const RecordArena&) = delete;
    RecordArena& operator=(const RecordArena&) = delete;
    ~RecordArena() = default;

    // Room for `words` words, kept until the arena goes.
    std::size_t* allocate(std::size_t words) {
        if (words > left_) grow(words);
        std::size_t* const block = next_;
        next_ += words;
        left_ -= words;
        return block;
    }

private:
    // A new chunk with room for at least `words` words.
    void grow(std::size_t words);

    static constexpr std::size_t kFirstChunkWords = 256, kLargestChunkWords = std::size_t{1} << 16;
    std::vector<std::unique_ptr<std::size_t[]>> chunks_;
    std::size_t* next_ = nullptr;
    std::size_t left_ = 0;
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
    HeaderIterator at(std::size_t i) const noexcept {
        if (!request->block_) return {};
        return {request->block_ + 2 * i, request->bytes()};
    }
};

inline Request::Headers Request::headers() const noexcept { return {this}; }

inline HeaderView Request::header(std::size_t i) const noexcept { return *Headers{this}.at(i); }

inline Request::Request(const Request& other, RecordArena& arena)
    : header_count_(other.header_count_), method_(other.method_), has_body_(other.has_body_) {
    if (!other.block_) return;
    const std::size_t words = other.block_words();
    block_ = arena.allocate(words);
    std::memcpy(block_, other.block_, words * sizeof(std::size_t));
}

}  // namespace tavrel
