// Curl command-line rendering with POSIX-shell-safe quoting.
#include "command.hpp"

#include <algorithm>
#include <string_view>

namespace tavrel {
namespace {

bool is_bare_url_char(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return std::string_view("-._/:@%+=,").find(c) != std::string_view::npos;
}

// Characters that keep their special meaning inside double quotes (and history expansion's "!").
bool is_double_quote_special(char c) { return std::string_view("\"\\$`!").find(c) != std::string_view::npos; }

// Appends `text` inside single quotes; an embedded ' closes the quote, adds \' and reopens it.
void append_single_quoted(std::string& out, std::string_view text) {
    out += '\'';
    for (std::size_t pos = 0;;) {
        std::size_t quote = text.find('\'', pos);
        if (quote == std::string_view::npos) {
            out.append(text.substr(pos));
            break;
        }
        out.append(text.substr(pos, quote - pos));
        out.append("'\\''");
        pos = quote + 1;
    }
    out += '\'';
}

}  // namespace

std::string render_command(const Request& request) {
    const std::string_view method = method_text(request.method);
    std::size_t size = 8 + method.size() + 1 + request.url.size() + 2;
    for (const Header& h : request.headers) size += 5 + h.key.size() + 2 + h.value.size() + 1;
    if (request.body) size += 5 + request.body->size() + 1;

    std::string out;
    out.reserve(size);
    out.append("curl -X ");
    out.append(method);
    out += ' ';
    const std::string& url = request.url;
    if (std::all_of(url.begin(), url.end(), is_bare_url_char)) {
        out.append(url);
    } else {
        append_single_quoted(out, url);
    }

    for (const Header& h : request.headers) {
        const bool plain = std::none_of(h.key.begin(), h.key.end(), is_double_quote_special) &&
                           std::none_of(h.value.begin(), h.value.end(), is_double_quote_special);
        if (plain) {
            out.append(" -H \"");
            out.append(h.key);
            out.append(": ");
            out.append(h.value);
            out += '"';
        } else {
            out.append(" -H ");
            std::string text;
            text.reserve(h.key.size() + 2 + h.value.size());
            text.append(h.key).append(": ").append(h.value);
            append_single_quoted(out, text);
        }
    }

    if (request.body) {
        out.append(" -d ");
        append_single_quoted(out, *request.body);
    }
    return out;
}

}  // namespace tavrel
