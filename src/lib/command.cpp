// Curl command-line rendering: quoting that every POSIX shell and fish read alike, and the
// options that make curl itself read each text as the request says.
#include "command.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "base/copy.hpp"
#include "base/inline.hpp"
#include "lib/unprintable.hpp"
#include "scan/bytes16.hpp"

namespace tavrel {
namespace {

// Byte classes, one table lookup per byte; a text's classes are the union over its bytes, so
// one pass tells everything the rendering needs to know about it.
constexpr unsigned kNotBare = 1;        // may not stand unquoted in a url word
constexpr unsigned kDoubleSpecial = 2;  // keeps a special meaning inside double quotes (and history expansion's "!")
constexpr unsigned kGlob = 4;           // starts a curl url glob: "[...]" ranges and "{...}" sets
constexpr unsigned kNotBlank = 8;       // other than space and tab: a header value made only of those is empty to curl
constexpr unsigned kQuote = 16;         // "'", which single quoting must write as '\''
constexpr unsigned kNonAscii = 32;      // may be an unprintable character
constexpr unsigned kControl = 64;       // U+0001-U+001F (tab included) and U+007F: written as an escape
constexpr unsigned kNoHeader = 128;     // U+0000-U+0008, U+000A-U+001F and U+007F: no HTTP header can carry it
constexpr unsigned kNul = 256;          // no shell word can carry it
constexpr unsigned kBackslash = 512;    // fish reads "\\" and "\'" inside single quotes as escapes
// Not byte classes: facts about a whole text or header, worked out from the ones above.
constexpr unsigned kEscaped = 1024;     // written through printf: holds a character that must be an escape
constexpr unsigned kBlankValue = 2048;  // marks a header whose value curl must receive as empty

constexpr std::array<std::uint16_t, 256> kClasses = [] {
    std::array<std::uint16_t, 256> table{};
    for (std::size_t byte = 0; byte < 256; ++byte) {
        table[byte] = static_cast<std::uint16_t>(kNotBare | kNotBlank | (byte >= 0x80 ? kNonAscii : 0));
    }
    auto clear = [&](unsigned char c, unsigned bits) { table[c] = static_cast<std::uint16_t>(table[c] & ~bits); };
    auto set = [&](unsigned char c, unsigned bits) { table[c] = static_cast<std::uint16_t>(table[c] | bits); };
    for (char c = 'a'; c <= 'z'; ++c) clear(static_cast<unsigned char>(c), kNotBare);
    for (char c = 'A'; c <= 'Z'; ++c) clear(static_cast<unsigned char>(c), kNotBare);
    for (char c = '0'; c <= '9'; ++c) clear(static_cast<unsigned char>(c), kNotBare);
    for (char c : std::string_view("-._/:@%+=,")) clear(static_cast<unsigned char>(c), kNotBare);
    for (char c : std::string_view("\"\\$`!")) set(static_cast<unsigned char>(c), kDoubleSpecial);
    for (char c : std::string_view("[]{}")) set(static_cast<unsigned char>(c), kGlob);
    clear(' ', kNotBlank);
    clear('\t', kNotBlank);
    set('\'', kQuote);
    for (unsigned char c = 1; c < 0x20; ++c) set(c, kControl);
    set(0x7F, kControl);
    for (unsigned char c = 0; c < 0x20; ++c) set(c, kNoHeader);
    clear('\t', kNoHeader);
    set(0x7F, kNoHeader);
    set(0, kNul);
    set('\\', kBackslash);
    return table;
}();

unsigned classes_of(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t n = text.size();
    // Two accumulators, four bytes a round: the lookups do not wait on each other.
    unsigned a = 0;
    unsigned b = 0;
    for (; n >= 4; n -= 4, p += 4) {
        a |= kClasses[p[0]] | kClasses[p[1]];
        b |= kClasses[p[2]] | kClasses[p[3]];
    }
    for (; n > 0; --n) a |= kClasses[*p++];
    return a | b;
}

// Sixteen bytes at a time, for the common texts: a url made only of bytes that may stand bare,
// headers with nothing that double quotes would not keep as it is, and the body. A url or header
// that these tests do not let pass goes on to the per-byte table above. Each test is written once
// for a block, a word and a byte (src/scan/bytes16.hpp), and proved below against the set of
// bytes that the table gives for its rule.

// Bytes that may stand in an unquoted url word: letters, digits and - . _ / : @ % + = ,
template <class B>
constexpr auto bare_lanes(B block) {
    return scan::within(block | 0x20, 'a', 'z') | scan::within(block, '+', ':') |  // + , - . / 0-9 :
           scan::eq(block, '%') | scan::eq(block, '=') | scan::eq(block, '@') | scan::eq(block, '_');
}

// Bytes that a header in double quotes cannot hold as they are: control characters and DEL, every
// byte of 0x80 or above (the C1 controls and other unprintable characters are among them), and
// " \ $ ` !
template <class B>
constexpr auto header_special_lanes(B block) {
    return scan::below_or_high(block, 0x20) | scan::eq(block, 0x7F) | scan::eq(block, '"') | scan::eq(block, '\\') |
           scan::eq(block, '$') | scan::eq(block, '`') | scan::eq(block, '!');
}

// A few more than those: also # % & and ', which lie among them, and the "@", ";" and ":" that
// ask for a closer look at a header's key; a quicker test for all headers at once, after which
// those headers need nothing more worked out. Below "(" are the controls, the space (taken out
// again) and ! " # $ % & '; "@" and "`" are the bytes that setting 0x20 makes "`", ":" and ";"
// those that setting 0x01 makes ";".
template <class B>
constexpr auto header_special_or_near_lanes(B block) {
    return (scan::below_or_high(block, '(') & ~scan::eq(block, ' ')) | scan::eq(block | 0x20, '`') |
           scan::eq(block | 0x01, ';') | scan::eq(block, '\\') | scan::eq(block, 0x7F);
}

constexpr bool has_class(unsigned char byte, unsigned classes) { return (kClasses[byte] & classes) != 0; }
constexpr unsigned kNotDoubleQuoted = kDoubleSpecial | kControl | kNonAscii | kNul;
constexpr bool key_needs_a_look(unsigned char byte) { return byte == '@' || byte == ';' || byte == ':'; }
static_assert(scan::picks_out(scan::ByteSet::where([](unsigned char b) { return !has_class(b, kNotBare); }),
                              [](auto block) { return bare_lanes(block); }));
static_assert(scan::picks_out(scan::ByteSet::where([](unsigned char b) { return has_class(b, kNotDoubleQuoted); }),
                              [](auto block) { return header_special_lanes(block); }));
// The quick test lets nothing pass that the exact one or a key's rules would stop; the bytes it
// stops besides those are # % & and '.
static_assert(scan::picks_out(scan::ByteSet::where([](unsigned char b) {
                                  return has_class(b, kNotDoubleQuoted) || key_needs_a_look(b) || b == '#' ||
                                         b == '%' || b == '&' || b == '\'';
                              }),
                              [](auto block) { return header_special_or_near_lanes(block); }));

// Whether a byte of `text` is one that `lanes_of` picks out. The SIMD versions test a block at a
// time; the portable one looks each byte up in a table made from the same test, which takes fewer
// instructions than the tests on words.
template <class LanesOf>
bool any_picked(scan::LoadableText text, LanesOf lanes_of) {
#if defined(TAVREL_SCAN_PORTABLE)
    static constexpr std::array<bool, 256> kPicked = [] {
        std::array<bool, 256> picked{};
        for (unsigned byte = 0; byte < 256; ++byte) {
            picked[byte] = scan::any(LanesOf{}(scan::Byte{static_cast<unsigned char>(byte)}));
        }
        return picked;
    }();
    static_cast<void>(lanes_of);
    // Eight lookups a round, or-ed together: one branch for eight bytes.
    const auto* p = reinterpret_cast<const unsigned char*>(text.view().data());
    std::size_t n = text.view().size();
    for (; n >= 8; n -= 8, p += 8) {
        if (kPicked[p[0]] | kPicked[p[1]] | kPicked[p[2]] | kPicked[p[3]] | kPicked[p[4]] | kPicked[p[5]] |
            kPicked[p[6]] | kPicked[p[7]]) {
            return true;
        }
    }
    for (; n > 0; --n, ++p) {
        if (kPicked[*p]) return true;
    }
    return false;
#else
    return scan::any_lane(text, [&](scan::Bytes block) { return lanes_of(block); });
#endif
}

// The classes of a url made only of bytes that may stand bare, or nullopt for any other url.
std::optional<unsigned> plain_url_classes(scan::LoadableText url) {
    if (any_picked(url, [](auto block) { return ~bare_lanes(block); })) return std::nullopt;
    return url.view().empty() ? 0 : kNotBlank;
}
// Whether a header (its key and value, back to back in the record) needs only double quotes.
bool plain_header(scan::LoadableText key_and_value) {
    return !any_picked(key_and_value, [](auto block) { return header_special_lanes(block); });
}
// Whether all headers need only double quotes and none has "@", ";" or ":": then nothing more
// about them has to be worked out before they are written but the first byte of each key.
bool surely_plain_headers(scan::LoadableText keys_and_values) {
    return !any_picked(keys_and_values, [](auto block) { return header_special_or_near_lanes(block); });
}

// A value of only spaces and tabs, or none, which curl takes for no value, beside a key.
bool blank_value(HeaderView header) {
    return !header.key.empty() && std::ranges::all_of(header.value, [](char c) { return c == ' ' || c == '\t'; });
}

// `text` without the line feeds it ends with.
std::string_view without_final_line_feeds(std::string_view text) {
    const std::size_t end = text.find_last_not_of('\n');
    return text.substr(0, end == std::string_view::npos ? 0 : end + 1);
}

// Adds kEscaped to the classes of a text that holds a character to be written as an escape: a
// control character or an unprintable one. Line feeds that end the text are left out: no escape
// can give them (a command substitution drops them), so they stay as they are, in single quotes.
unsigned with_escapes(std::string_view text, unsigned classes) {
    if (!(classes & (kControl | kNonAscii))) return classes;
    const std::string_view head = without_final_line_feeds(text);
    const bool control = (classes & kControl) && (classes_of(head) & kControl);
    const bool escaped = control || ((classes & kNonAscii) && has_unprintable_non_ascii(head));
    return escaped ? classes | kEscaped : classes;
}

// The classes a body needs (it is always quoted): kQuote, kBackslash, kNonAscii, kControl and
// kNul, found in one pass over the body, since it can be many megabytes.
template <class B>
constexpr auto control_lanes(B block) {
    return scan::below(block, 0x20) | scan::eq(block, 0x7F);
}
static_assert(scan::picks_out(scan::ByteSet::where([](unsigned char b) { return has_class(b, kControl | kNul); }),
                              [](auto block) { return control_lanes(block); }));

unsigned body_classes_of(scan::LoadableText body) {
#if defined(TAVREL_SCAN_PORTABLE)
    // One table lookup a byte takes fewer instructions than these four tests on words.
    unsigned classes = classes_of(body.view()) & (kQuote | kBackslash | kNonAscii | kControl | kNul);
#else
    scan::Lanes quotes = scan::no_lanes(), backslashes = scan::no_lanes(), highs = scan::no_lanes(),
                controls = scan::no_lanes();
    scan::for_each_block(body, [&](scan::Bytes block, scan::Lanes valid) {
        quotes = quotes | (scan::eq(block, '\'') & valid);
        backslashes = backslashes | (scan::eq(block, '\\') & valid);
        highs = highs | (scan::high(block) & valid);
        controls = controls | (control_lanes(block) & valid);
    });
    unsigned classes = (scan::any(quotes) ? kQuote : 0) | (scan::any(backslashes) ? kBackslash : 0) |
                       (scan::any(highs) ? kNonAscii : 0);
    // Rare: a second look at a body holding control characters tells which.
    if (scan::any(controls)) classes |= classes_of(body.view()) & (kControl | kNul);
#endif
    return with_escapes(body.view(), classes);
}

// "U+000D": the character of a control byte.
std::string code_point(unsigned char byte) {
    constexpr std::string_view kHex = "0123456789ABCDEF";
    return std::string("U+00") + kHex[byte >> 4] + kHex[byte & 0xF];
}

// A header key for a message: in double quotes, with backslash, double quote and the characters
// that would hide or break the message's line (controls and other unprintable characters)
// written as in a Python string literal.
std::string quoted_key(std::string_view key) {
    constexpr std::string_view kHex = "0123456789abcdef";
    std::string out = "\"";
    for (std::size_t i = 0; i < key.size();) {
        const auto byte = static_cast<unsigned char>(key[i]);
        const Utf8Char c = byte >= 0x80 ? decode_utf8(key.substr(i)) : Utf8Char{byte, 1, true};
        if (byte >= 0x80 && !c.unprintable()) {
            out += key.substr(i, c.length);
            i += c.length;
            continue;
        }
        if (byte == '\\' || byte == '"') {
            out += '\\';
            out += key[i];
        } else if (byte == '\t' || byte == '\n' || byte == '\r') {
            out += byte == '\t' ? "\\t" : byte == '\n' ? "\\n" : "\\r";
        } else if (byte < 0x20 || byte >= 0x7F) {
            const int digits = c.code_point < 0x100 ? 2 : c.code_point < 0x10000 ? 4 : 8;
            out += digits == 2 ? "\\x" : digits == 4 ? "\\u" : "\\U";
            for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) out += kHex[(c.code_point >> shift) & 0xF];
        } else {
            out += key[i];
        }
        i += c.length;
    }
    out += '"';
    return out;
}

// Why a header key cannot be sent as it is, or nullopt: curl would read a file for it, drop it,
// or send another header; a server would read it as part of the header before it.
std::optional<std::string_view> key_refusal(std::string_view key) {
    if (key.empty()) return "is empty, which curl drops";
    if (key.front() == '@') return "starts with \"@\", which curl reads as a file name";
    if (key.front() == ' ' || key.front() == '\t') {
        return key.front() == ' ' ? "starts with a space, which makes the header part of the one before it"
                                  : "starts with a tab, which makes the header part of the one before it";
    }
    if (key.find(':') != std::string_view::npos)
        return "holds \":\", which ends a header's name: the server reads another";
    return std::nullopt;
}

// The first thing in the request that no command line can carry: the url, then each header in
// order (its key's shape: empty, "@" first, a space or tab first, or ":" in it; a control
// character in its key, then in its value; ";" in its key with a blank value), then the body.
std::optional<Unsendable> find_unsendable(const Request& request) {
    constexpr std::string_view kNoShellWord = " holds U+0000, which no shell word can carry";
    if (request.url().find('\0') != std::string_view::npos) return Unsendable{"url" + std::string(kNoShellWord)};
    for (std::size_t i = 0; i < request.header_count(); ++i) {
        const HeaderView header = request.header(i);
        const std::string where = "header " + std::to_string(i);
        if (const std::optional<std::string_view> why = key_refusal(header.key)) {
            return Unsendable{where + " key " + quoted_key(header.key) + " " + std::string(*why)};
        }
        for (const std::string_view text : {header.key, header.value}) {
            const auto bad =
                std::ranges::find_if(text, [](char c) { return kClasses[static_cast<unsigned char>(c)] & kNoHeader; });
            if (bad != text.end()) {
                return Unsendable{where + " (" + quoted_key(header.key) + ") holds " +
                                  code_point(static_cast<unsigned char>(*bad)) +
                                  ", which no HTTP header can carry; the command cannot send it"};
            }
        }
        if (!(classes_of(header.value) & kNotBlank) && header.key.find(';') != std::string_view::npos) {
            return Unsendable{where + " (" + quoted_key(header.key) +
                              ") has \";\" in its key and a blank value, which curl drops; the command cannot send it"};
        }
    }
    const std::optional<std::string_view> body = request.body();
    if (body && body->find('\0') != std::string_view::npos) return Unsendable{"body" + std::string(kNoShellWord)};
    return std::nullopt;
}

// Counts the bytes it is given.
struct Counter {
    std::size_t size = 0;
    void put(std::string_view text) { size += text.size(); }
};

// Copies the bytes it is given, into a buffer of the text's bound or of its counted size.
struct Writer {
    char* out;
    void put(std::string_view text) { out = copy_short(out, text.data(), text.size()); }
};

// Inside single quotes every byte stands for itself in a POSIX shell; a "'" closes the quotes,
// and is written as '\'' (close, an escaped quote, reopen). fish also reads "\\" and "\'" there
// as escapes, so a backslash followed by "\", by "'" or by the closing quote is written the same
// way, as '\\', which fish and the POSIX shells read alike.
constexpr std::string_view kEscapedQuote = "'\\''";
constexpr std::string_view kEscapedBackslash = "'\\\\'";

// `text` inside single quotes, without the quotes themselves.
template <class Sink>
void put_single_quoted(Sink& sink, std::string_view text, unsigned classes) {
    if (!(classes & (kQuote | kBackslash))) return sink.put(text);
    const std::string_view specials = classes & kBackslash ? std::string_view("'\\") : std::string_view("'");
    std::size_t done = 0;  // text before this is written
    for (std::size_t i = text.find_first_of(specials); i != std::string_view::npos;
         i = text.find_first_of(specials, i + 1)) {
        const bool quote = text[i] == '\'';
        if (!quote && i + 1 < text.size() && text[i + 1] != '\\' && text[i + 1] != '\'') continue;
        sink.put(text.substr(done, i - done));
        sink.put(quote ? kEscapedQuote : kEscapedBackslash);
        done = i + 1;
    }
    sink.put(text.substr(done));
}

// Each byte of `bytes` as "\" and three octal digits, which the printf of every shell reads alike.
template <class Sink>
void put_octal(Sink& sink, std::string_view bytes) {
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        const std::array<char, 4> octal = {'\\', static_cast<char>('0' + (b >> 6)),
                                           static_cast<char>('0' + ((b >> 3) & 7)), static_cast<char>('0' + (b & 7))};
        sink.put(std::string_view(octal.data(), octal.size()));
    }
}

// A text holding a control or unprintable character is written as what printf writes, in double
// quotes: "$(printf 'FORMAT')", the one form that every POSIX shell and fish read alike for it.
constexpr std::string_view kPrintfOpen = "\"$(printf '", kPrintfClose = "')\"";

// `text` as part of a printf format. Control and unprintable characters are octal escapes, byte
// by byte, and so are "\" (which fish would read inside the quotes), "!" (bash's and zsh's
// history expansion sees it through these quotes) and a "-" that starts the format (printf would
// take the format for an option); "%" is written "%%", "'" as '\''.
template <class Sink>
void put_format(Sink& sink, std::string_view text, bool starts_format) {
    std::size_t done = 0;  // text before this is written
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        std::size_t escaped = 0;  // bytes written as octal escapes
        if (byte >= 0x80) {
            const Utf8Char c = decode_utf8(text.substr(i));
            if (!c.unprintable()) {
                i += c.length;
                continue;
            }
            escaped = c.length;
        } else if (byte < 0x20 || byte == 0x7F || byte == '\\' || byte == '!' ||
                   (byte == '-' && i == 0 && starts_format)) {
            escaped = 1;
        } else if (byte != '%' && byte != '\'') {
            ++i;
            continue;
        }
        sink.put(text.substr(done, i - done));
        if (escaped != 0) {
            put_octal(sink, text.substr(i, escaped));
        } else {
            sink.put(byte == '%' ? std::string_view("%%") : kEscapedQuote);
        }
        i += escaped != 0 ? escaped : 1;
        done = i;
    }
    sink.put(text.substr(done));
}

// A url or body through printf. A command substitution drops the line feeds that end its output,
// so those of the text follow it as they are, in single quotes: such a command is more than one
// line, as no one-line form gives them alike in every shell.
template <class Sink>
void put_printf(Sink& sink, std::string_view text) {
    const std::string_view head = without_final_line_feeds(text);
    sink.put(kPrintfOpen);
    put_format(sink, head, true);
    sink.put(kPrintfClose);
    if (head.size() < text.size()) {
        sink.put("'");
        sink.put(text.substr(head.size()));
        sink.put("'");
    }
}

// The url's word, after the options it needs: curl would expand [] and {} into several urls, and
// read a leading "-" as an option.
template <class Sink>
TAVREL_INLINE void put_url(Sink& sink, std::string_view url, unsigned classes) {
    if (classes & kGlob) sink.put(" --globoff");
    if (url.starts_with('-')) sink.put(" --url");
    if (classes & kEscaped) {
        sink.put(" ");
        put_printf(sink, url);
    } else if (classes & kNotBare) {
        sink.put(" '");
        put_single_quoted(sink, url, classes);
        sink.put("'");
    } else {
        sink.put(" ");
        sink.put(url);
    }
}

// The classes of a header that needs only double quotes: kBlankValue is the only one it may have.
unsigned plain_header_classes(HeaderView header) { return blank_value(header) ? kBlankValue : 0; }

// A header's -H word. The usual header, of no class, goes in double quotes as it is; a blank
// value is written as `key;` (curl drops a header given as `key:` with nothing after it).
template <class Sink>
TAVREL_INLINE void put_header(Sink& sink, HeaderView header, unsigned classes) {
    if (classes == 0) {
        sink.put(" -H \"");
        sink.put(header.key);
        sink.put(": ");
        sink.put(header.value);
        sink.put("\"");
        return;
    }
    const bool blank = classes & kBlankValue;
    const std::string_view separator = blank ? std::string_view(";") : std::string_view(": ");
    const std::string_view value = blank ? std::string_view() : header.value;
    if (classes & kEscaped) {
        // No header holds a line feed; its key is not empty, so the format starts with it.
        sink.put(" -H ");
        sink.put(kPrintfOpen);
        put_format(sink, header.key, true);
        put_format(sink, separator, false);
        put_format(sink, value, false);
        sink.put(kPrintfClose);
    } else if (!(classes & kDoubleSpecial)) {
        sink.put(" -H \"");
        sink.put(header.key);
        sink.put(separator);
        sink.put(value);
        sink.put("\"");
    } else {
        sink.put(" -H '");
        put_single_quoted(sink, header.key, classes);
        sink.put(separator);
        put_single_quoted(sink, value, classes);
        sink.put("'");
    }
}

// The body's words: -d would read "@name" as the name of a local file to send.
template <class Sink>
TAVREL_INLINE void put_body(Sink& sink, std::string_view body, unsigned classes) {
    sink.put(body.starts_with('@') ? std::string_view(" --data-raw ") : std::string_view(" -d "));
    if (classes & kEscaped) {
        put_printf(sink, body);
    } else {
        sink.put("'");
        put_single_quoted(sink, body, classes);
        sink.put("'");
    }
}

}  // namespace

template <class Sink>
Sink CommandText::emit(Sink sink) const {
    sink.put("curl -X ");
    sink.put(method_text(request_.method()));
    // With -X HEAD alone curl waits for a body that a HEAD response never has.
    if (request_.method() == HttpMethod::HEAD) sink.put(" --head");
    put_url(sink, request_.url(), url_classes_);
    // Read into locals: the writes through char pointers could change anything else, as far as
    // the compiler knows, and the members would be read again for every header.
    const bool plain_headers = plain_headers_;
    const bool blank_values = maybe_blank_values_;
    const std::uint16_t* header_classes = header_classes_;
    for (const HeaderView header : request_.headers()) {
        unsigned classes = 0;
        if (!plain_headers) {
            classes = *header_classes++;
        } else if (blank_values) {
            classes = plain_header_classes(header);
        }
        put_header(sink, header, classes);
    }
    if (const std::optional<std::string_view> body = request_.body()) put_body(sink, *body, body_classes_);
    return sink;
}

void CommandText::classify_headers(unsigned& all, bool& suspect) {
    const Request& request = request_;
    if (request.header_count() > kInPlaceHeaders) {
        more_classes_.resize(request.header_count());
        header_classes_ = more_classes_.data();
    }
    for (std::size_t i = 0; i < request.header_count(); ++i) {
        const HeaderView header = request.header(i);
        // A header that needs only double quotes has no class of its own but kBlankValue.
        const bool plain = plain_header(request.loadable(request.header_text(i)));
        const unsigned key = plain ? 0 : with_escapes(header.key, classes_of(header.key));
        const unsigned value = plain ? 0 : with_escapes(header.value, classes_of(header.value));
        // `key: value`, or `key;` when the value is blank: curl drops a header given as `key:`
        // with nothing after it, and sends `key;` as a header with an empty value. A blank value
        // is not written, so then only the key's classes count.
        const bool blank = blank_value(header);
        const unsigned classes = blank ? key | kBlankValue : key | value;
        header_classes_[i] = static_cast<std::uint16_t>(classes);
        all |= classes;
        suspect = suspect || ((key | value) & kNoHeader) || key_refusal(header.key) ||
                  (blank && header.key.find(';') != std::string_view::npos);
    }
}

CommandText::CommandText(const Request& request) : request_(request) {
    const std::optional<unsigned> plain_url = plain_url_classes(request.loadable(request.url()));
    url_classes_ = plain_url ? *plain_url : with_escapes(request.url(), classes_of(request.url()));
    // zsh reads a word starting with "=" as the path of the command so named.
    if (request.url().starts_with('=')) url_classes_ |= kNotBare;
    unsigned all = url_classes_;
    bool suspect = url_classes_ & kNul;  // something that may be unsendable
    // Usually no header holds anything that double quotes would not keep as it is, nor "@", ";"
    // or ":": one look at all their texts together tells, and then nothing else is needed of them
    // until they are written but that no key is empty or starts with a space or tab.
    plain_headers_ = surely_plain_headers(request.loadable(request.headers_text()));
    if (!plain_headers_) {
        classify_headers(all, suspect);
    } else {
        // A key that is empty or starts with a space or tab is refused; only a value that is
        // empty or starts with one can be blank. These texts hold no tab (the test above stops
        // control characters), so a space or nothing first is all there is to look for.
        constexpr auto space_or_nothing_first = [](std::string_view text) {
            return unsigned{(text.empty() ? ' ' : text.front()) == ' '};
        };
        unsigned starts = 0;  // bit 0: such a key, bit 1: such a value
        for (const HeaderView header : request.headers()) {
            starts |= space_or_nothing_first(header.key) | space_or_nothing_first(header.value) << 1;
        }
        suspect = suspect || (starts & 1);
        maybe_blank_values_ = starts & 2;
    }
    if (const std::optional<std::string_view> body = request.body()) {
        body_classes_ = body_classes_of(request.loadable(*body));
        all |= body_classes_;
        suspect = suspect || (body_classes_ & kNul);
    }
    if (suspect) unsendable_ = find_unsendable(request);
    if (unsendable_) return;
    ascii_ = !(all & kNonAscii);
    // Every byte of a text is written as four at most ("'" as '\'', "\" as '\\', an escaped byte
    // as "\" and three octal digits), and the words around the texts are fewer than kWordsBound
    // bytes: those of the url and the body, and those of each header.
    constexpr std::size_t kWordsBound = 96, kHeaderWordsBound = 24;
    bound_ = kWordsBound + kHeaderWordsBound * request.header_count() + 4 * request.text_bytes();
}

std::size_t CommandText::size() const { return emit(Counter{}).size; }

std::size_t CommandText::write(char* out) const { return static_cast<std::size_t>(emit(Writer{out}).out - out); }

}  // namespace tavrel
