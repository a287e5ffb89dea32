// The collection document: layout, url splitting, protocol detection and the missing-host failure.
#include <gtest/gtest.h>

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "json/json_writer.hpp"
#include "lib/document.hpp"

namespace tavrel {
namespace {

using namespace std::string_view_literals;

constexpr std::string_view kInfo =
    R"("info":{"name":"Tavrel Collection","schema":"https://schema.getpostman.com/json/collection/v2.1.0/collection.json"})";

Request make(std::string url, std::vector<HeaderView> headers = {}, HttpMethod method = HttpMethod::GET,
             std::optional<std::string_view> body = std::nullopt) {
    return Request(url, headers, method, body);
}

// The document as export_collection writes it: into room for the size estimate, through the
// writer's sink.
std::variant<json::TextBuffer, MissingHost> write_whole(std::span<const Request> records) {
    json::TextBuffer out;
    out.reserve(document_size_estimate(records));
    if (std::optional<MissingHost> missing = write_document(records, out)) return std::move(*missing);
    return out;
}

std::variant<std::string, MissingHost> export_document(std::span<const Request> records) {
    auto written = write_whole(records);
    if (auto* missing = std::get_if<MissingHost>(&written)) return std::move(*missing);
    return std::string(std::get<json::TextBuffer>(written).view());
}

std::string exported(const std::vector<Request>& records) {
    auto result = export_document(records);
    if (const auto* failure = std::get_if<MissingHost>(&result)) {
        ADD_FAILURE() << "unexpected failure: " << failure->message();
        return {};
    }
    return std::get<std::string>(std::move(result));
}

// The whole document for one GET request without headers or body, given its url object's text.
std::string single_get_document(std::string_view url_json, std::string_view url_object) {
    std::string doc = "{";
    doc += kInfo;
    doc += R"(,"item":[{"name":)";
    doc += url_json;
    doc += R"(,"request":{"body":{"mode":"raw","raw":""},"header":[],"method":"GET","url":)";
    doc += url_object;
    doc += "}}]}";
    return doc;
}

TEST(DocumentLayout, EmptyListGivesNoItems) { EXPECT_EQ(exported({}), "{" + std::string(kInfo) + R"(,"item":[]})"); }

TEST(DocumentLayout, WorkedExampleWithTwoRequests) {
    const std::vector<Request> records = {
        make("http://localhost:8080/api/items?page=2", {{"Accept", "application/json"}, {"X-Trace", "on"}}),
        make("https://localhost/upload/", {}, HttpMethod::POST, "a=1&b=2"),
    };
    const std::string expected =
        "{" + std::string(kInfo) +
        R"(,"item":[{"name":"http://localhost:8080/api/items?page=2","request":{"body":{"mode":"raw","raw":""},)"
        R"("header":[{"key":"Accept","value":"application/json"},{"key":"X-Trace","value":"on"}],"method":"GET",)"
        R"("url":{"host":"localhost:8080","path":["api","items?page=2"],"protocol":"http",)"
        R"("raw":"http://localhost:8080/api/items?page=2"}}},{"name":"https://localhost/upload/","request":)"
        R"({"body":{"mode":"raw","raw":"a=1&b=2"},"header":[],"method":"POST","url":{"host":"localhost",)"
        R"("path":["upload",""],"protocol":"https","raw":"https://localhost/upload/"}}}]})";
    EXPECT_EQ(exported(records), expected);
    EXPECT_EQ(exported(records), expected);
}

TEST(DocumentLayout, AbsentAndEmptyBodiesAreBothEmptyRaw) {
    const std::string absent = exported({make("s://h/p", {}, HttpMethod::PUT)});
    const std::string empty = exported({make("s://h/p", {}, HttpMethod::PUT, "")});
    EXPECT_EQ(absent, empty);
    EXPECT_NE(absent.find(R"("body":{"mode":"raw","raw":""})"), std::string::npos) << absent;
}

TEST(DocumentLayout, RepeatedHeaderKeysEachGiveAnEntryInOrder) {
    const std::string doc = exported({make("s://h/p", {{"B", "2"}, {"A", "1"}, {"B", "3"}, {"", ""}})});
    EXPECT_NE(doc.find(R"("header":[{"key":"B","value":"2"},{"key":"A","value":"1"},{"key":"B","value":"3"},)"
                       R"({"key":"","value":""}],)"),
              std::string::npos)
        << doc;
}

TEST(DocumentLayout, EveryMethodIsWrittenByName) {
    const std::pair<HttpMethod, std::string_view> methods[] = {
        {HttpMethod::GET, "GET"},       {HttpMethod::POST, "POST"},   {HttpMethod::PUT, "PUT"},
        {HttpMethod::DELETE, "DELETE"}, {HttpMethod::HEAD, "HEAD"},   {HttpMethod::OPTIONS, "OPTIONS"},
        {HttpMethod::PATCH, "PATCH"},   {HttpMethod::TRACE, "TRACE"}, {HttpMethod::CONNECT, "CONNECT"},
    };
    for (const auto& [method, text] : methods) {
        const std::string doc = exported({make("s://h/p", {}, method)});
        EXPECT_NE(doc.find(R"("method":")" + std::string(text) + R"(","url")"), std::string::npos) << doc;
    }
}

TEST(DocumentLayout, TextsAreEscapedOnlyAsJsonRequires) {
    const std::string doc = exported({make("s://h/a\"b", {{"K\\", "v\n\x01"}}, HttpMethod::GET, "\xc3\xa9/\t")});
    EXPECT_NE(doc.find(R"("name":"s://h/a\"b")"), std::string::npos) << doc;
    EXPECT_NE(doc.find(R"({"key":"K\\","value":"v\n\u0001"})"), std::string::npos) << doc;
    EXPECT_NE(doc.find("\"raw\":\"\xc3\xa9/\\t\""), std::string::npos) << doc;
    EXPECT_NE(doc.find(R"("path":["a\"b"])"), std::string::npos) << doc;
}

struct UrlCase {
    std::string_view url;
    std::string_view url_json;    // the url as a JSON string
    std::string_view url_object;  // the expected "url" object
};

TEST(UrlSplitting, HostIsTheThirdPieceAndPathTheRest) {
    const UrlCase cases[] = {
        {"http://localhost:8080/api/items?page=2", R"("http://localhost:8080/api/items?page=2")",
         R"({"host":"localhost:8080","path":["api","items?page=2"],"protocol":"http","raw":"http://localhost:8080/api/items?page=2"})"},
        {"https://localhost/upload/", R"("https://localhost/upload/")",
         R"({"host":"localhost","path":["upload",""],"protocol":"https","raw":"https://localhost/upload/"})"},
        {"https://localhost", R"("https://localhost")",
         R"({"host":"localhost","path":[],"protocol":"https","raw":"https://localhost"})"},
        {"a/b/c/d", R"("a/b/c/d")", R"({"host":"c","path":["d"],"protocol":"https","raw":"a/b/c/d"})"},
        {"//", R"("//")", R"({"host":"","path":[],"protocol":"https","raw":"//"})"},
        {"http:///p//q/", R"("http:///p//q/")",
         R"({"host":"","path":["p","","q",""],"protocol":"http","raw":"http:///p//q/"})"},
        {"/lead/host/x#frag?q=%2F", R"("/lead/host/x#frag?q=%2F")",
         R"({"host":"host","path":["x#frag?q=%2F"],"protocol":"https","raw":"/lead/host/x#frag?q=%2F"})"},
    };
    for (const UrlCase& c : cases) {
        EXPECT_EQ(exported({make(std::string(c.url))}), single_get_document(c.url_json, c.url_object)) << c.url;
    }
}

// Paths of many pieces of every length up to past a block of the scans, some with escapes or
// high bytes: each piece is written as the JSON writer writes that text alone.
TEST(UrlSplitting, PiecesOfEveryLengthAroundTheScannedBlocks) {
    for (const std::string_view odd : {""sv, "\""sv, "\xc3\xa9"sv}) {
        std::string url = "https://a-host-name-of-some-length.example";
        std::vector<std::string> pieces;
        for (std::size_t n = 0; n <= 40; ++n) {
            std::string piece(n, 'p');
            if (n > 3) piece.replace(n / 2, odd.size(), odd);
            url.append("/").append(piece);
            pieces.push_back(piece);
        }
        const std::string doc = exported({make(url)});
        const std::string path = R"("path":)" + json::to_json_text(json::JsonValue::array_from_texts(pieces)) + ",";
        EXPECT_NE(doc.find(path), std::string::npos) << doc;
        EXPECT_NE(doc.find(R"("host":"a-host-name-of-some-length.example")"), std::string::npos) << doc;
    }
}

struct ProtocolCase {
    std::string_view url;
    std::string_view protocol;
};

TEST(Protocol, LeadingSchemeIsKeptAsWrittenOtherwiseHttps) {
    const ProtocolCase cases[] = {
        {"http://x/y", "http"}, {"HTTP://x/y", "HTTP"},      {"hTtPs://x/y", "hTtPs"}, {"ftp+x.y-z://h/p", "ftp+x.y-z"},
        {"h://a/b", "h"},       {"a1://a/b", "a1"},          {"1http://a/b", "https"}, {"+x://a/b", "https"},
        {"://a/b", "https"},    {"ht tp://a/b", "https"},    {"http:/a/b/c", "https"}, {"http:://a/b", "https"},
        {"http//a/b", "https"}, {"\xc3\xa9://a/b", "https"}, {"a/b/c/d", "https"},
    };
    for (const ProtocolCase& c : cases) {
        const std::string doc = exported({make(std::string(c.url))});
        EXPECT_NE(doc.find(R"("protocol":")" + std::string(c.protocol) + R"(","raw")"), std::string::npos)
            << c.url << " -> " << doc;
    }
}

TEST(MissingHost, UrlWithFewerThanTwoSlashesFails) {
    for (std::string_view url : {"localhost/api", "localhost", "", "/", "http:/x"}) {
        auto result = export_document(std::vector<Request>{make(std::string(url))});
        const auto* failure = std::get_if<MissingHost>(&result);
        ASSERT_NE(failure, nullptr) << url;
        EXPECT_EQ(failure->index, 0u);
        EXPECT_EQ(failure->url, url);
    }
}

TEST(MissingHost, FirstFailingRequestInListOrderIsReported) {
    const std::vector<Request> records = {
        make("https://ok/1"), make("https://ok/2"), make("one/slash"), make("none"), make("https://ok/3"),
    };
    auto result = export_document(records);
    const auto* failure = std::get_if<MissingHost>(&result);
    ASSERT_NE(failure, nullptr);
    EXPECT_EQ(failure->index, 2u);
    EXPECT_EQ(failure->url, "one/slash");
    EXPECT_EQ(failure->message(), R"(request 2 has url "one/slash" without a host: expected a host after "scheme://")");
}

TEST(MissingHost, MessageNamesPositionAndQuotesUrl) {
    EXPECT_EQ((MissingHost{0, "localhost:8080/api"}.message()),
              R"(request 0 has url "localhost:8080/api" without a host: expected a host after "scheme://")");
    EXPECT_EQ((MissingHost{17, ""}.message()),
              R"(request 17 has url "" without a host: expected a host after "scheme://")");
}

// The member under `key` of an object value.
const json::JsonValue& at(const json::JsonValue& object, std::string_view key) {
    for (const json::JsonObject::Member& member : object.as_object()) {
        if (member.key == key) return member.value;
    }
    ADD_FAILURE() << "no key " << key;
    static const json::JsonValue missing;
    return missing;
}

// The document with `item_texts` (each an item's text) as its items.
std::string document_of(std::initializer_list<std::string> item_texts) {
    std::string doc = "{" + std::string(kInfo) + R"(,"item":[)";
    for (const std::string& item : item_texts) doc += (doc.back() == '[' ? "" : ",") + item;
    return doc + "]}";
}

TEST(ItemTree, TextsAreViewsIntoTheRecord) {
    const std::vector<Request> records = {
        make("https://example.com:8443/a/b", {{"Accept", "text/plain"}}, HttpMethod::POST, "payload"),
    };
    ItemTree tree;
    ASSERT_TRUE(tree.build(records[0]));
    const json::JsonValue& item = tree.root();
    const json::JsonValue& request = at(item, "request");
    const std::string_view url = records[0].url();
    EXPECT_EQ(at(item, "name").as_string().data(), url.data());
    EXPECT_EQ(at(at(request, "url"), "raw").as_string().data(), url.data());
    EXPECT_EQ(at(at(request, "url"), "host").as_string().data(), url.data() + 8);
    EXPECT_EQ(at(at(request, "url"), "path").as_array()[1].as_string().data(), url.data() + 27);
    EXPECT_EQ(at(at(request, "body"), "raw").as_string().data(), records[0].body()->data());
    const json::JsonValue& header = at(request, "header").as_array()[0];
    EXPECT_EQ(at(header, "key").as_string().data(), records[0].header(0).key.data());
    EXPECT_EQ(at(header, "value").as_string().data(), records[0].header(0).value.data());
    EXPECT_EQ(document_of({json::to_json_text(item)}), exported(records));
}

TEST(ItemTree, ARebuildReplacesTheTreeAndAFailedOneLeavesNone) {
    const std::vector<Request> records = {make("s://one/p"), make("s://two/q"), make("nohost")};
    ItemTree tree;
    ASSERT_TRUE(tree.build(records[0]));
    const std::string first = json::to_json_text(tree.root());
    ASSERT_TRUE(tree.build(records[1]));
    const std::string second = json::to_json_text(tree.root());
    EXPECT_EQ(document_of({first, second}), exported({records[0], records[1]}));
    EXPECT_NE(first, second);
    EXPECT_FALSE(tree.build(records[2]));
    EXPECT_TRUE(tree.root().is_null());
    ASSERT_TRUE(tree.build(records[0]));
    EXPECT_EQ(json::to_json_text(tree.root()), first);
}

// Items larger than the tree's own room (many headers) take more from the heap and give it back
// at the next build; the text is the same however the items alternate.
TEST(ItemTree, ItemsBeyondTheArenaRoomAlternateWithSmallOnes) {
    std::vector<std::string> texts;
    std::vector<HeaderView> headers;
    for (int i = 0; i < 200; ++i) {
        texts.push_back("header-" + std::to_string(i));
    }
    for (const std::string& t : texts) headers.push_back({t, t});
    const std::vector<Request> records = {make("s://big/p/q", headers), make("s://small/p"),
                                          make("s://big/p/q", headers)};
    std::string big_headers;
    for (const std::string& t : texts) {
        if (!big_headers.empty()) big_headers += ',';
        big_headers.append(R"({"key":")").append(t).append(R"(","value":")").append(t).append(R"("})");
    }
    const std::string big =
        R"({"name":"s://big/p/q","request":{"body":{"mode":"raw","raw":""},"header":[)" + big_headers +
        R"(],"method":"GET","url":{"host":"big","path":["p","q"],"protocol":"s","raw":"s://big/p/q"}}})";
    const std::string small =
        R"({"name":"s://small/p","request":{"body":{"mode":"raw","raw":""},"header":[],)"
        R"("method":"GET","url":{"host":"small","path":["p"],"protocol":"s","raw":"s://small/p"}}})";
    EXPECT_EQ(exported(records), document_of({big, small, big}));
}

TEST(DocumentText, KnowsWhetherItIsAllAscii) {
    auto ascii = write_whole(std::vector<Request>{make("s://h/p", {{"K", "v"}}, HttpMethod::GET, "b")});
    ASSERT_TRUE(std::holds_alternative<json::TextBuffer>(ascii));
    EXPECT_TRUE(std::get<json::TextBuffer>(ascii).ascii());
    for (const Request& wide : {make("s://h/\xc3\xa9"), make("s://h/p", {{"K", "\xe2\x82\xac"}}),
                                make("s://h/p", {}, HttpMethod::GET, "\x80")}) {
        auto written = write_whole(std::vector<Request>{make("s://a/b"), wide});
        ASSERT_TRUE(std::holds_alternative<json::TextBuffer>(written));
        EXPECT_FALSE(std::get<json::TextBuffer>(written).ascii()) << wide.url();
    }
}

// Items too large to be given room at once are measured for the size estimate, so a document of
// such items is sized exactly, whatever their escapes; smaller items are counted as if nothing
// needed escaping, with room for the largest of them beyond.
TEST(DocumentSize, DocumentsOfLargeItemsAreSizedExactly) {
    std::string body(2'000'000, 'b');
    for (std::size_t i = 0; i < body.size(); i += 7) body[i] = i % 3 == 0 ? '"' : i % 3 == 1 ? '\x01' : '\n';
    std::string url = "https://h";
    for (int i = 0; i < 40'000; ++i) url += "/\"p";
    const std::string value(300'000, '\\');
    const std::vector<Request> large = {make(url), make("s://h/p", {{"K", value}}, HttpMethod::POST, body),
                                        make("s://h/", {}, HttpMethod::PUT, "\xc3\xa9" + body)};
    EXPECT_EQ(document_size_estimate(large), exported(large).size());

    const std::vector<Request> small = {make("s://h/p", {{"K", "v\""}}, HttpMethod::POST, "\"x\"")};
    EXPECT_GE(document_size_estimate(small), exported(small).size());
}

// The room of an item comes from its frames, measured by writing a few items, and the bound of
// its texts. Items where every byte of every text takes the longest escape, with many headers and
// path pieces and the longest method, fit it: where assert() is on (the sanitizer build, the
// C++ tests' build) a write past it would stop the program. Written into that room, each item is
// the text the writer gives its tree measured exactly.
TEST(DocumentSize, ItemsOfOnlyTheLongestEscapesFitTheirRoom) {
    for (const std::size_t n : {0, 1, 7, 40}) {
        const std::string control(n, '\x01');
        std::string url = control + "//" + control;
        for (std::size_t i = 0; i < n; ++i) url += "/" + control;
        const std::vector<HeaderView> headers(n, HeaderView{control, control});
        const std::vector<Request> records = {make(url, headers, HttpMethod::OPTIONS, control),
                                              make(url, {}, HttpMethod::GET, std::nullopt)};
        std::string expected = "{";
        expected.append(kInfo).append(R"(,"item":[)");
        ItemTree tree;
        for (const Request& request : records) {
            ASSERT_TRUE(tree.build(request));
            expected.append(json::to_json_text(tree.root())).append(",");
        }
        expected.back() = ']';
        expected += '}';
        EXPECT_EQ(exported(records), expected) << n;
    }
}

}  // namespace
}  // namespace tavrel
