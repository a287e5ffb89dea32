// Curl command-line rendering: POSIX-shell-safe quoting, and the options that make curl itself
// read each text as the request says.
#include "command.hpp"

#include <array>
#include <cstdint>
#include <string_view>

namespace tavrel {
namespace {

// Character classes, one table lookup per byte.
enum CharClass : std::uint8_t {
    kBareUrl = 1,       // may stand unquoted in a url word
    kDoubleSpecial = 2, // keeps a special meaning inside double quotes (and history expansion's "!")
    kGlob = 4,          // starts a curl url glob: "[...]" ranges and "{...}" sets
    kBlank = 8,         // space or tab: a header value made only of these is empty to curl
};

constexpr std::array<std::uint8_t, 256> kClasses = [] {
    std::array<std::uint8_t, 256> table{};
    for (int c = 'a'; c <= 'z'; ++c) table[static_cast<std::size_t>(c)] |= kBareUrl;
    for (int c = 'A'; c <= 'Z'; ++c) table[static_cast<std::size_t>(c)] |= kBareUrl;
    for (int c = '0'; c <= '9'; ++c) table[static_cast<std::size_t>(c)] |= kBareUrl;
    for (char c : std::string_view("-._/:@%+=,")) table[static_cast<unsigned char>(c)] |= kBareUrl;
    for (char c : std::string_view("\"\\$`!")) table[static_cast<unsigned char>(c)] |= kDoubleSpecial;
    for (char c : std::string_view("[]{}")) table[static_cast<unsigned char>(c)] |= kGlob;
    table[' '] |= kBlank;
    table['\t'] |= kBlank;
    return table;
}();

// The union of the classes of every byte of `text`, and whether every byte has `all_of`.
struct Scan {
    std::uint8_t any = 0;
    bool all = true;
};

Scan scan(std::string_view text, std::uint8_t all_of) {
    Scan result;
    for (const char c : text) {
        const std::uint8_t classes = kClasses[static_cast<unsigned char>(c)];
        result.any |= classes;
        result.all &= (classes & all_of) != 0;
    }
    return result;
}

bool any_of_class(std::string_view text, std::uint8_t classes) {
    for (const char c : text) {
        if (kClasses[static_cast<unsigned char>(c)] & classes) return true;
    }
    return false;
}

// Appends `text` for use inside single quotes: an embedded ' closes the quote, adds \' and
// reopens it.
void append_single_quote_escaped(std::string& out, std::string_view text) {
    for (std::size_t pos = 0;;) {
        const std::size_t quote = text.find('\'', pos);
        if (quote == std::string_view::npos) {
            out.append(text.substr(pos));
            return;
        }
        out.append(text.substr(pos, quote - pos));
        out.append("'\\''");
        pos = quote + 1;
    }
}

void append_single_quoted(std::string& out, std::string_view text) {
    out += '\'';
    append_single_quote_escaped(out, text);
    out += '\'';
}

void append_url(std::string& out, std::string_view url) {
    const Scan seen = scan(url, kBareUrl);
    // curl would expand [] and {} into several urls, and read a leading "-" as an option.
    if (seen.any & kGlob) out.append(" --globoff");
    if (url.starts_with('-')) out.append(" --url");
    out += ' ';
    if (seen.all) {
        out.append(url);
    } else {
        append_single_quoted(out, url);
    }
}

// `key: value`, or `key;` when the value is blank: curl drops a header given as `key:` with
// nothing after it, and sends `key;` as a header with an empty value.
void append_header(std::string& out, const HeaderView header) {
    const bool blank_value = !header.key.empty() && scan(header.value, kBlank).all;
    const std::string_view value = blank_value ? std::string_view() : std::string_view(header.value);
    const bool plain = !any_of_class(header.key, kDoubleSpecial) && !any_of_class(value, kDoubleSpecial);
    if (plain) {
        out.append(" -H \"");
        out.append(header.key);
        out.append(blank_value ? ";" : ": ");
        out.append(value);
        out += '"';
        return;
    }
    out.append(" -H '");
    append_single_quote_escaped(out, header.key);
    out.append(blank_value ? ";" : ": ");
    append_single_quote_escaped(out, value);
    out += '\'';
}

}  // namespace

std::string render_command(const Request& request) {
    const std::string_view method = method_text(request.method());
    const std::optional<std::string_view> body = request.body();
    std::size_t size = 8 + method.size() + 7 + 11 + 7 + request.url().size() + 3;
    for (const HeaderView h : request.headers()) size += 5 + h.key.size() + 2 + h.value.size() + 1;
    if (body) size += 12 + body->size() + 1;

    std::string out;
    out.reserve(size);
    out.append("curl -X ");
    out.append(method);
    // With -X HEAD alone curl waits for a body that a HEAD response never has.
    if (request.method() == HttpMethod::HEAD) out.append(" --head");
    append_url(out, request.url());
    for (const HeaderView h : request.headers()) append_header(out, h);
    if (body) {
        // -d would read "@name" as the name of a local file to send.
        out.append(body->starts_with('@') ? " --data-raw " : " -d ");
        append_single_quoted(out, *body);
    }
    return out;
}

}  // namespace tavrel
