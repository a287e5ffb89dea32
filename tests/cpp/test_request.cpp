// The request record's one-block storage: texts in order, copies independent, moves emptying.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "lib/request.hpp"

namespace tavrel {
namespace {

std::vector<std::pair<std::string, std::string>> pairs(const Request& r) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const HeaderView h : r.headers()) out.emplace_back(h.key, h.value);
    return out;
}

TEST(Request, KeepsEveryTextInOrderWithNulsAndEmptyOnes) {
    const std::string nul("a\0b", 3);
    const std::string big(5000, 'x');
    const std::vector<HeaderView> headers = {{"A", "1"}, {"", ""}, {"A", nul}, {"K", big}};
    const Request r("https://h/x", headers, HttpMethod::PATCH, "");
    EXPECT_EQ(r.url(), "https://h/x");
    EXPECT_EQ(r.method(), HttpMethod::PATCH);
    ASSERT_TRUE(r.body().has_value());
    EXPECT_EQ(*r.body(), "");
    const std::vector<std::pair<std::string, std::string>> expected = {{"A", "1"}, {"", ""}, {"A", nul}, {"K", big}};
    EXPECT_EQ(pairs(r), expected);
}

// Every length up to past the sizes copied without memcpy, each text's bytes distinct from its
// neighbours', and more headers than are gathered in place: a copy that drops, repeats or
// overlaps a byte shows.
TEST(Request, KeepsTextsOfEveryLength) {
    std::vector<std::string> keys, values;
    for (std::size_t n = 0; n <= 70; ++n) {
        std::string key(n, '\0'), value(n, '\0');
        for (std::size_t i = 0; i < n; ++i) {
            key[i] = static_cast<char>('a' + (i + n) % 26);
            value[i] = static_cast<char>('A' + (i * 7 + n) % 26);
        }
        keys.push_back(std::move(key));
        values.push_back(std::move(value));
    }
    std::vector<HeaderView> headers;
    std::vector<std::pair<std::string, std::string>> expected;
    for (std::size_t n = 0; n < keys.size(); ++n) {
        headers.push_back({keys[n], values[n]});
        expected.emplace_back(keys[n], values[n]);
    }
    std::size_t header_bytes = 0;
    for (const HeaderView h : headers) header_bytes += h.key.size() + h.value.size();
    for (std::size_t n = 0; n < keys.size(); ++n) {
        const Request r(values[n], headers, HttpMethod::PUT, keys[n]);
        EXPECT_EQ(r.url(), values[n]);
        EXPECT_EQ(r.body(), std::optional<std::string_view>(keys[n]));
        EXPECT_EQ(pairs(r), expected);
        EXPECT_EQ(r.text_bytes(), values[n].size() + header_bytes + keys[n].size());
    }
}

TEST(Request, AbsentBodyDiffersFromEmpty) {
    EXPECT_FALSE(Request("u", {}, HttpMethod::GET, std::nullopt).body().has_value());
    EXPECT_TRUE(Request("u", {}, HttpMethod::GET, "").body().has_value());
    EXPECT_FALSE(Request().body().has_value());
    EXPECT_EQ(Request().url(), "");
    EXPECT_EQ(Request().header_count(), 0u);
    EXPECT_EQ(Request().text_bytes(), 0u);
    EXPECT_TRUE(pairs(Request()).empty());
    EXPECT_TRUE(pairs(Request("u", {}, HttpMethod::GET, "b")).empty());
}

TEST(Request, CopiesShareNothingAndMovesLeaveTheEmptyRequest) {
    const std::vector<HeaderView> headers = {{"Key", "Value"}};
    Request original("https://h/long/enough/to/need/the/heap", headers, HttpMethod::PUT, "body text");
    Request copy = original;
    EXPECT_NE(copy.url().data(), original.url().data());
    EXPECT_EQ(copy.url(), original.url());
    EXPECT_EQ(pairs(copy), pairs(original));
    EXPECT_EQ(copy.body(), original.body());

    Request moved = std::move(original);
    EXPECT_EQ(moved.url(), copy.url());
    EXPECT_EQ(original.url(), "");  // reading after the move is the point: the documented moved-from state
    EXPECT_EQ(original.header_count(), 0u);
    EXPECT_FALSE(original.body().has_value());

    original = copy;
    EXPECT_EQ(pairs(original), pairs(copy));
    copy = copy;  // self-assignment keeps the value
    EXPECT_EQ(copy.body(), std::optional<std::string_view>("body text"));
}

// Each text of a record, loaded a block at a time however short: the record's own bytes before
// it (the table of text ends, other texts) never count, whatever byte is looked for.
TEST(Request, TextsAreScannedAsLoadableWithoutTheBytesBeforeThem) {
    const std::vector<HeaderView> headers = {{"k", "v"}, {"", "a longer value of the header"}};
    const Request r("u", headers, HttpMethod::GET, "b");
    for (unsigned value = 0; value < 256; ++value) {
        const auto byte = static_cast<unsigned char>(value);
        const auto has = [&](std::string_view text) {
            return scan::any_lane(r.loadable(text), [byte](scan::Bytes b) { return eq(b, byte); });
        };
        for (const std::string_view text : {r.url(), r.header(0).key, r.header(0).value, r.header(1).key,
                                            r.header(1).value, r.header_text(1), r.headers_text(), *r.body()}) {
            EXPECT_EQ(has(text), text.find(static_cast<char>(byte)) != std::string_view::npos) << value << " " << text;
        }
    }
}

}  // namespace
}  // namespace tavrel
