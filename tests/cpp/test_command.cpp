// Command rendering on plain request records, including the quoting of shell-special texts.
#include <gtest/gtest.h>

#include "lib/command.hpp"

namespace tavrel {
namespace {

Request make(std::string url, std::vector<HeaderView> headers, HttpMethod method,
             std::optional<std::string_view> body = std::nullopt) {
    return Request(url, headers, method, body);
}

TEST(RenderCommand, PlainTextsAreWrittenAsGiven) {
    EXPECT_EQ(render_command(make("svc/items", {}, HttpMethod::GET)), "curl -X GET svc/items");
    EXPECT_EQ(render_command(make("svc/items", {{"Accept", "*/*"}, {"X-Id", "7"}}, HttpMethod::POST, "{\"k\": 1}")),
              "curl -X POST svc/items -H \"Accept: */*\" -H \"X-Id: 7\" -d '{\"k\": 1}'");
    EXPECT_EQ(render_command(make("svc/items", {}, HttpMethod::DELETE, "")), "curl -X DELETE svc/items -d ''");
    EXPECT_EQ(render_command(make("", {}, HttpMethod::GET)), "curl -X GET ");
    EXPECT_EQ(render_command(make("u", {{"", ""}}, HttpMethod::CONNECT)), "curl -X CONNECT u -H \": \"");
}

TEST(RenderCommand, ShellSpecialTextsAreSingleQuoted) {
    EXPECT_EQ(render_command(make("http://h/a?b=1&c=2", {}, HttpMethod::GET)), "curl -X GET 'http://h/a?b=1&c=2'");
    EXPECT_EQ(render_command(make("it's", {}, HttpMethod::GET)), "curl -X GET 'it'\\''s'");
    EXPECT_EQ(render_command(make("u", {{"K", "$(id)"}}, HttpMethod::GET)), "curl -X GET u -H 'K: $(id)'");
    EXPECT_EQ(render_command(make("u", {{"K", "a\"b'c"}}, HttpMethod::GET)), "curl -X GET u -H 'K: a\"b'\\''c'");
    EXPECT_EQ(render_command(make("u", {}, HttpMethod::PUT, "'")), "curl -X PUT u -d ''\\'''");
}

TEST(RenderCommand, CurlReadsEachWordAsTheRequestSays) {
    EXPECT_EQ(render_command(make("https://h/x", {}, HttpMethod::HEAD)), "curl -X HEAD --head https://h/x");
    EXPECT_EQ(render_command(make("https://h/s?f={a,b}", {}, HttpMethod::GET)),
              "curl -X GET --globoff 'https://h/s?f={a,b}'");
    EXPECT_EQ(render_command(make("-o/tmp/x", {}, HttpMethod::GET)), "curl -X GET --url -o/tmp/x");
    EXPECT_EQ(render_command(make("u", {{"X-E", ""}, {"X-$", " \t"}, {"", ""}, {"X-V", " v"}}, HttpMethod::GET)),
              "curl -X GET u -H \"X-E;\" -H 'X-$;' -H \": \" -H \"X-V:  v\"");
    EXPECT_EQ(render_command(make("u", {}, HttpMethod::POST, "@/etc/passwd")),
              "curl -X POST u --data-raw '@/etc/passwd'");
    EXPECT_EQ(render_command(make("u", {}, HttpMethod::POST, "a@b")), "curl -X POST u -d 'a@b'");
}

}  // namespace
}  // namespace tavrel
