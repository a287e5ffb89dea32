// Command rendering on plain request records, including the quoting of shell-special texts.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "lib/command.hpp"

namespace tavrel {
namespace {

Request make(std::string url, std::vector<HeaderView> headers, HttpMethod method,
             std::optional<std::string_view> body = std::nullopt) {
    return Request(url, headers, method, body);
}

// Its header classes point into the object itself: a copy or a moved-to object would read the
// original's.
static_assert(!std::is_copy_constructible_v<CommandText> && !std::is_move_constructible_v<CommandText> &&
              !std::is_copy_assignable_v<CommandText> && !std::is_move_assignable_v<CommandText>);

// The command, or "refused: " and the message, as get_request_command makes it: written into room
// for its bound (a short command) and into room for its counted size (a long one), which must
// agree; a command said to be ASCII must be.
std::string render(const Request& request) {
    const CommandText command(request);
    if (command.unsendable()) return "refused: " + command.unsendable()->message;
    std::string bounded(command.bound(), '\0');
    bounded.resize(command.write(bounded.data()));
    std::string exact(command.size(), '\0');
    EXPECT_EQ(command.write(exact.data()), exact.size());
    EXPECT_EQ(bounded, exact);
    if (command.ascii()) {
        EXPECT_TRUE(std::ranges::none_of(exact, [](char c) { return static_cast<unsigned char>(c) >= 0x80; }));
    }
    return exact;
}

TEST(RenderCommand, PlainTextsAreWrittenAsGiven) {
    EXPECT_EQ(render(make("svc/items", {}, HttpMethod::GET)), "curl -X GET svc/items");
    EXPECT_EQ(render(make("svc/items", {{"Accept", "*/*"}, {"X-Id", "7"}}, HttpMethod::POST, "{\"k\": 1}")),
              "curl -X POST svc/items -H \"Accept: */*\" -H \"X-Id: 7\" -d '{\"k\": 1}'");
    EXPECT_EQ(render(make("svc/items", {}, HttpMethod::DELETE, "")), "curl -X DELETE svc/items -d ''");
    EXPECT_EQ(render(make("", {}, HttpMethod::GET)), "curl -X GET ");
    EXPECT_EQ(render(make("u", {{"K", ""}}, HttpMethod::CONNECT)), "curl -X CONNECT u -H \"K;\"");
}

TEST(RenderCommand, ShellSpecialTextsAreSingleQuoted) {
    EXPECT_EQ(render(make("http://h/a?b=1&c=2", {}, HttpMethod::GET)), "curl -X GET 'http://h/a?b=1&c=2'");
    EXPECT_EQ(render(make("it's", {}, HttpMethod::GET)), "curl -X GET 'it'\\''s'");
    EXPECT_EQ(render(make("u", {{"K", "$(id)"}}, HttpMethod::GET)), "curl -X GET u -H 'K: $(id)'");
    EXPECT_EQ(render(make("u", {{"K", "a\"b'c"}}, HttpMethod::GET)), "curl -X GET u -H 'K: a\"b'\\''c'");
    EXPECT_EQ(render(make("u", {}, HttpMethod::PUT, "'")), "curl -X PUT u -d ''\\'''");
}

TEST(RenderCommand, CurlReadsEachWordAsTheRequestSays) {
    EXPECT_EQ(render(make("https://h/x", {}, HttpMethod::HEAD)), "curl -X HEAD --head https://h/x");
    EXPECT_EQ(render(make("https://h/s?f={a,b}", {}, HttpMethod::GET)), "curl -X GET --globoff 'https://h/s?f={a,b}'");
    EXPECT_EQ(render(make("-o/tmp/x", {}, HttpMethod::GET)), "curl -X GET --url -o/tmp/x");
    EXPECT_EQ(render(make("u", {{"X-E", ""}, {"X-$", " \t"}, {"X-V", " v"}}, HttpMethod::GET)),
              "curl -X GET u -H \"X-E;\" -H 'X-$;' -H \"X-V:  v\"");
    EXPECT_EQ(render(make("u", {}, HttpMethod::POST, "@/etc/passwd")), "curl -X POST u --data-raw '@/etc/passwd'");
    EXPECT_EQ(render(make("u", {}, HttpMethod::POST, "a@b")), "curl -X POST u -d 'a@b'");
}

TEST(RenderCommand, UnprintableCharactersAreWrittenThroughPrintf) {
    EXPECT_EQ(render(make("u", {}, HttpMethod::POST, "a\r\n\t\\'\x1b[201~\x7f\u0085\u00a0\u202e\"$%!é")),
              "curl -X POST u -d \"$(printf 'a\\015\\012\\011\\134'\\''\\033[201~\\177\\302\\205\\302\\240"
              "\\342\\200\\256\"$%%\\041é')\"");
    EXPECT_EQ(render(make("-[\x01]", {{"K", "a\tb"}, {"L", "\u009f"}, {"M", "\t"}}, HttpMethod::GET, "@\n")),
              "curl -X GET --globoff --url \"$(printf '\\055[\\001]')\" -H \"$(printf 'K: a\\011b')\" "
              "-H \"$(printf 'L: \\302\\237')\" -H \"M;\" --data-raw '@\n'");
    // Line feeds that end a text follow its printf as they are.
    EXPECT_EQ(render(make("u", {}, HttpMethod::POST, "{\n}\n\n")), "curl -X POST u -d \"$(printf '{\\012}')\"'\n\n'");
    EXPECT_EQ(render(make("=curl", {}, HttpMethod::GET)), "curl -X GET '=curl'");
}

TEST(RenderCommand, BackslashesThatFishWouldReadAreOutsideTheQuotes) {
    EXPECT_EQ(render(make("u", {}, HttpMethod::POST, "a\\b")), "curl -X POST u -d 'a\\b'");
    EXPECT_EQ(render(make("u", {}, HttpMethod::POST, "\\\\'\\")), "curl -X POST u -d ''\\\\''\\\\''\\'''\\\\''");
    EXPECT_EQ(render(make("u", {{"K", "$\\"}}, HttpMethod::GET)), "curl -X GET u -H 'K: $'\\\\''");
}

TEST(RenderCommand, RefusesWhatNoCommandCanCarry) {
    using namespace std::string_view_literals;
    EXPECT_EQ(render(make("u", {{"A", "1"}, {"@x", "v"}}, HttpMethod::GET)),
              "refused: header 1 key \"@x\" starts with \"@\", which curl reads as a file name");
    EXPECT_EQ(render(make("u", {{"X-A", "a\r\nB: 1"}}, HttpMethod::GET)),
              "refused: header 0 (\"X-A\") holds U+000D, which no HTTP header can carry; the command cannot send it");
    EXPECT_EQ(render(make("u", {{"A", "1"}, {"K\x7f\"\u0085\u2028\U000e0001", "v"}}, HttpMethod::GET)),
              "refused: header 1 (\"K\\x7f\\\"\\x85\\u2028\\U000e0001\") holds U+007F, which no HTTP header can "
              "carry; the command cannot send it");
    EXPECT_EQ(render(make("u", {{"A", "1"}, {"", "v"}}, HttpMethod::GET)),
              "refused: header 1 key \"\" is empty, which curl drops");
    EXPECT_EQ(render(make("u", {{"a:b", "v"}}, HttpMethod::GET)),
              "refused: header 0 key \"a:b\" holds \":\", which ends a header's name: the server reads another");
    EXPECT_EQ(render(make("u", {{"\tK", "v"}}, HttpMethod::GET)),
              "refused: header 0 key \"\\tK\" starts with a tab, which makes the header part of the one before it");
    EXPECT_EQ(render(make("u", {{"a;b", " \t"}}, HttpMethod::GET)),
              "refused: header 0 (\"a;b\") has \";\" in its key and a blank value, which curl drops; the command "
              "cannot send it");
    EXPECT_EQ(render(make("u", {}, HttpMethod::POST, "a\0b"sv)),
              "refused: body holds U+0000, which no shell word can carry");
    // The url first, then the headers in order, then the body.
    EXPECT_EQ(render(make(std::string("u\0", 2), {{"@x", "\n"}}, HttpMethod::POST, "\0"sv)),
              "refused: url holds U+0000, which no shell word can carry");
    EXPECT_EQ(render(make("u", {{"K", "\x01"}, {"@x", "v"}}, HttpMethod::POST, "\0"sv)),
              "refused: header 0 (\"K\") holds U+0001, which no HTTP header can carry; the command cannot send it");
}

// A short command is written into a buffer of bound() bytes: the bound must hold for the texts
// that grow the most, each byte written as four ("'" as '\'', "\\" as '\\', controls in octal),
// and for the most words around them.
TEST(RenderCommand, TheBoundHoldsForTheLongestCommands) {
    const std::string quotes(40, '\'');
    const std::string backslashes(40, '\\');
    const std::string controls = std::string(40, '\x01') + "\n";
    std::string c1;
    for (int i = 0; i < 20; ++i) c1 += "\u0085";
    std::vector<HeaderView> headers;
    const std::string quotes_key = "K" + quotes;
    for (int i = 0; i < 20; ++i) headers.push_back({i % 2 ? quotes_key : c1, i % 3 ? "$'\\" : " "});
    for (const std::string& text : {quotes, backslashes, controls, c1}) {
        for (const HttpMethod method : {HttpMethod::HEAD, HttpMethod::OPTIONS}) {
            const Request request("-[" + text, headers, method, "@" + text);
            const CommandText command(request);
            ASSERT_FALSE(command.unsendable()) << command.unsendable()->message;
            std::string written(std::max(command.bound(), command.size()), '\0');
            const std::size_t size = command.write(written.data());
            EXPECT_EQ(size, command.size());
            EXPECT_LE(size, command.bound());
            written.resize(size);
            EXPECT_EQ(written, render(request));
        }
    }
}

}  // namespace
}  // namespace tavrel
