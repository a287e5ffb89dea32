// Builds the collection document tree from request records and writes it as compact JSON.
#include "lib/document.hpp"

#include <ranges>
#include <string_view>
#include <utility>
#include <vector>

#include "json/json_value.hpp"
#include "json/json_writer.hpp"

namespace tavrel {
namespace {

using json::JsonObject;
using json::JsonValue;

// The url cut at every "/" and nowhere else; k slashes give k+1 pieces, empty ones included.
std::vector<std::string_view> split_at_slashes(std::string_view url) {
    std::vector<std::string_view> pieces;
    for (std::size_t start = 0;;) {
        const std::size_t slash = url.find('/', start);
        if (slash == std::string_view::npos) {
            pieces.push_back(url.substr(start));
            return pieces;
        }
        pieces.push_back(url.substr(start, slash - start));
        start = slash + 1;
    }
}

constexpr bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
constexpr bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

// The scheme in front of "://" as the caller wrote it (case kept), or "https" when the url does
// not start with a scheme. Only the leading characters are looked at; nothing is validated.
std::string_view protocol_of(std::string_view url) {
    constexpr std::string_view kDefault = "https";
    if (url.empty() || !is_ascii_letter(url[0])) return kDefault;
    std::size_t end = 1;
    while (end < url.size() &&
           (is_ascii_letter(url[end]) || is_ascii_digit(url[end]) || url[end] == '+' || url[end] == '-' ||
            url[end] == '.')) {
        ++end;
    }
    return url.substr(end).starts_with("://") ? url.substr(0, end) : kDefault;
}

// An object with room for its `count` keys.
JsonObject object_of(std::size_t count) {
    JsonObject object;
    object.reserve(count);
    return object;
}

void put(JsonObject& object, std::string_view key, JsonValue value) {
    // Every key is inserted once per object, so nothing is ever replaced here.
    object.insert(key, std::move(value));
}

JsonValue header_array(Request::Headers headers) {
    std::vector<JsonValue> entries;
    entries.reserve(headers.size());
    for (const HeaderView header : headers) {
        JsonObject entry = object_of(2);
        put(entry, "key", JsonValue::make_string(header.key));
        put(entry, "value", JsonValue::make_string(header.value));
        entries.push_back(JsonValue::make_object(std::move(entry)));
    }
    return JsonValue::make_array(std::move(entries));
}

// `pieces` has at least three elements: the caller has already refused urls without a host.
JsonValue url_object(std::string_view url, const std::vector<std::string_view>& pieces) {
    JsonObject object = object_of(4);
    put(object, "raw", JsonValue::make_string(url));
    put(object, "protocol", JsonValue::make_string(protocol_of(url)));
    put(object, "host", JsonValue::make_string(pieces[2]));
    put(object, "path", JsonValue::array_from_texts(std::ranges::subrange(pieces.begin() + 3, pieces.end())));
    return JsonValue::make_object(std::move(object));
}

JsonValue request_object(const Request& request, const std::vector<std::string_view>& url_pieces) {
    JsonObject body = object_of(2);
    put(body, "mode", JsonValue::make_string("raw"));
    // An absent body and an empty one are written alike.
    put(body, "raw", JsonValue::make_string(request.body().value_or(std::string_view())));

    JsonObject object = object_of(4);
    put(object, "method", JsonValue::make_string(method_text(request.method())));
    put(object, "header", header_array(request.headers()));
    put(object, "body", JsonValue::make_object(std::move(body)));
    put(object, "url", url_object(request.url(), url_pieces));
    return JsonValue::make_object(std::move(object));
}

}  // namespace

std::string MissingHost::message() const {
    std::string text = "request ";
    text += std::to_string(index);
    text += " has url \"";
    text += url;
    text += "\" without a host: expected a host after \"scheme://\"";
    return text;
}

std::variant<std::string, MissingHost> export_document(std::span<const Request> records) {
    std::vector<JsonValue> items;
    items.reserve(records.size());
    // The text holds each url three times, every header and body text once, and a fixed frame
    // per item and per header; room for that (before escapes) means the buffer rarely regrows.
    std::size_t estimate = 160;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const Request& request = records[i];
        estimate += 200 + 3 * request.url().size() + request.body().value_or(std::string_view()).size();
        for (const HeaderView header : request.headers()) estimate += 20 + header.key.size() + header.value.size();
        const std::vector<std::string_view> pieces = split_at_slashes(request.url());
        if (pieces.size() < 3) return MissingHost{i, std::string(request.url())};

        JsonObject item = object_of(2);
        put(item, "name", JsonValue::make_string(request.url()));
        put(item, "request", request_object(request, pieces));
        items.push_back(JsonValue::make_object(std::move(item)));
    }

    JsonObject info;
    put(info, "name", JsonValue::make_string(kCollectionName));
    put(info, "schema", JsonValue::make_string(kSchemaAddress));

    JsonObject root;
    put(root, "info", JsonValue::make_object(std::move(info)));
    put(root, "item", JsonValue::make_array(std::move(items)));
    std::string text;
    text.reserve(estimate);
    json::write_json(JsonValue::make_object(std::move(root)), text);
    return text;
}

}  // namespace tavrel
