// Curl command-line rendering: POSIX-shell-safe quoting, and the options that make curl itself
// read each text as the request says.
#include "command.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace tavrel {
namespace {

// Byte classes, one table lookup per byte; a text's classes are the union over its bytes, so
// one pass tells everything the rendering needs to know about it.
enum CharClass : std::uint8_t {
    kNotBare = 1,        // may not stand unquoted in a url word
    kDoubleSpecial = 2,  // keeps a special meaning inside double quotes (and history expansion's "!")
    kGlob = 4,           // starts a curl url glob: "[...]" ranges and "{...}" sets
    kNotBlank = 8,       // other than space and tab: a header value made only of those is empty to curl
    kQuote = 16,         // "'", which single quoting must write as '\''
    kNonAscii = 32,
    kBlankValue = 64,  // not a byte class: marks a header whose value curl must receive as empty
};

constexpr std::array<std::uint8_t, 256> kClasses = [] {
    std::array<std::uint8_t, 256> table{};
    for (std::size_t byte = 0; byte < 256; ++byte) table[byte] = kNotBare | kNotBlank | (byte >= 0x80 ? kNonAscii : 0);
    auto clear = [&](unsigned char c, std::uint8_t bits) { table[c] &= static_cast<std::uint8_t>(~bits); };
    auto set = [&](unsigned char c, std::uint8_t bits) { table[c] |= bits; };
    for (char c = 'a'; c <= 'z'; ++c) clear(static_cast<unsigned char>(c), kNotBare);
    for (char c = 'A'; c <= 'Z'; ++c) clear(static_cast<unsigned char>(c), kNotBare);
    for (char c = '0'; c <= '9'; ++c) clear(static_cast<unsigned char>(c), kNotBare);
    for (char c : std::string_view("-._/:@%+=,")) clear(static_cast<unsigned char>(c), kNotBare);
    for (char c : std::string_view("\"\\$`!")) set(static_cast<unsigned char>(c), kDoubleSpecial);
    for (char c : std::string_view("[]{}")) set(static_cast<unsigned char>(c), kGlob);
    clear(' ', kNotBlank);
    clear('\t', kNotBlank);
    set('\'', kQuote);
    return table;
}();

std::uint8_t classes_of(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t n = text.size();
    // Two accumulators, four bytes a round: the lookups do not wait on each other.
    std::uint8_t a = 0;
    std::uint8_t b = 0;
    for (; n >= 4; n -= 4, p += 4) {
        a |= static_cast<std::uint8_t>(kClasses[p[0]] | kClasses[p[1]]);
        b |= static_cast<std::uint8_t>(kClasses[p[2]] | kClasses[p[3]]);
    }
    for (; n > 0; --n) a |= kClasses[*p++];
    return static_cast<std::uint8_t>(a | b);
}

// The classes a body needs (it is always single-quoted): kQuote and kNonAscii only, found with
// memchr and eight bytes at a time, since a body can be many megabytes.
std::uint8_t body_classes_of(std::string_view text) {
    std::uint8_t classes = text.find('\'') != std::string_view::npos ? kQuote : 0;
    std::uint64_t high = 0;
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, text.data() + i, sizeof word);
        high |= word;
    }
    for (; i < text.size(); ++i) high |= static_cast<unsigned char>(text[i]);
    if (high & 0x8080808080808080u) classes |= kNonAscii;
    return classes;
}

constexpr std::string_view kEscapedQuote = "'\\''";

// Counts the bytes it is given.
struct Counter {
    std::size_t size = 0;
    void put(std::string_view text) { size += text.size(); }
    // `text` inside single quotes, without the quotes themselves.
    void put_quoted(std::string_view text, std::uint8_t classes) {
        size += text.size();
        if (classes & kQuote)
            size += (kEscapedQuote.size() - 1) * static_cast<std::size_t>(std::ranges::count(text, '\''));
    }
};

// Copies the bytes it is given; the buffer was sized by a Counter over the same calls.
struct Writer {
    char* out;
    void put(std::string_view text) {
        if (text.empty()) return;  // an empty view may have no data pointer, which memcpy must not get
        std::memcpy(out, text.data(), text.size());
        out += text.size();
    }
    void put_quoted(std::string_view text, std::uint8_t classes) {
        if (!(classes & kQuote)) return put(text);
        // An embedded ' closes the quote, adds \' and reopens it.
        for (std::size_t pos = 0;;) {
            const std::size_t quote = text.find('\'', pos);
            if (quote == std::string_view::npos) return put(text.substr(pos));
            put(text.substr(pos, quote - pos));
            put(kEscapedQuote);
            pos = quote + 1;
        }
    }
};

}  // namespace

template <class Sink>
void CommandText::emit(Sink& sink) const {
    sink.put("curl -X ");
    sink.put(method_text(request_.method()));
    // With -X HEAD alone curl waits for a body that a HEAD response never has.
    if (request_.method() == HttpMethod::HEAD) sink.put(" --head");

    // curl would expand [] and {} into several urls, and read a leading "-" as an option.
    const std::string_view url = request_.url();
    if (url_classes_ & kGlob) sink.put(" --globoff");
    if (url.starts_with('-')) sink.put(" --url");
    if (url_classes_ & kNotBare) {
        sink.put(" '");
        sink.put_quoted(url, url_classes_);
        sink.put("'");
    } else {
        sink.put(" ");
        sink.put(url);
    }

    for (std::size_t i = 0; i < request_.header_count(); ++i) {
        const HeaderView header = request_.header(i);
        const std::uint8_t classes = header_classes_[i];
        const bool blank = classes & kBlankValue;
        const std::string_view separator = blank ? ";" : ": ";
        const std::string_view value = blank ? std::string_view() : header.value;
        if (!(classes & kDoubleSpecial)) {
            sink.put(" -H \"");
            sink.put(header.key);
            sink.put(separator);
            sink.put(value);
            sink.put("\"");
        } else {
            sink.put(" -H '");
            sink.put_quoted(header.key, classes);
            sink.put(separator);
            sink.put_quoted(value, classes);
            sink.put("'");
        }
    }

    if (const std::optional<std::string_view> body = request_.body()) {
        // -d would read "@name" as the name of a local file to send.
        sink.put(body->starts_with('@') ? " --data-raw '" : " -d '");
        sink.put_quoted(*body, body_classes_);
        sink.put("'");
    }
}

CommandText::CommandText(const Request& request, std::pmr::memory_resource* scratch)
    : request_(request), header_classes_(scratch) {
    url_classes_ = classes_of(request.url());
    std::uint8_t all = url_classes_;
    header_classes_.reserve(request.header_count());
    for (const HeaderView header : request.headers()) {
        // `key: value`, or `key;` when the value is blank: curl drops a header given as `key:`
        // with nothing after it, and sends `key;` as a header with an empty value. A blank value
        // is not written, so then only the key's classes count.
        const std::uint8_t key = classes_of(header.key);
        const std::uint8_t value = classes_of(header.value);
        const bool blank = !header.key.empty() && !(value & kNotBlank);
        header_classes_.push_back(blank ? static_cast<std::uint8_t>(key | kBlankValue)
                                        : static_cast<std::uint8_t>(key | value));
        all |= blank ? key : static_cast<std::uint8_t>(key | value);
    }
    if (const std::optional<std::string_view> body = request.body()) {
        body_classes_ = body_classes_of(*body);
        all |= body_classes_;
    }
    ascii_ = !(all & kNonAscii);
    Counter counter;
    emit(counter);
    size_ = counter.size;
}

void CommandText::write(char* out) const {
    Writer writer{out};
    emit(writer);
}

std::string render_command(const Request& request) {
    std::pmr::monotonic_buffer_resource scratch;
    const CommandText command(request, &scratch);
    std::string text(command.size(), '\0');
    command.write(text.data());
    return text;
}

}  // namespace tavrel
