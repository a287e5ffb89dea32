// Builds the collection document tree from request records and writes it as compact JSON.
#include "base/inline.hpp"
#include "lib/document.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

#include "scan/bytes16.hpp"

namespace tavrel {
namespace {

using json::Arena;
using json::JsonArray;
using json::JsonObject;
using json::JsonText;
using json::JsonValue;

// Keys as they are written, quotes and colon included, and fixed texts classified once, all at
// compile time.
constexpr JsonText kBody = JsonText::written_key(R"("body":)"), kHeader = JsonText::written_key(R"("header":)"),
                   kHost = JsonText::written_key(R"("host":)"), kKey = JsonText::written_key(R"("key":)"),
                   kMethod = JsonText::written_key(R"("method":)"), kMode = JsonText::written_key(R"("mode":)"),
                   kName = JsonText::written_key(R"("name":)"), kPath = JsonText::written_key(R"("path":)"),
                   kProtocol = JsonText::written_key(R"("protocol":)"), kRaw = JsonText::written_key(R"("raw":)"),
                   kRequest = JsonText::written_key(R"("request":)"), kSchema = JsonText::written_key(R"("schema":)"),
                   kUrl = JsonText::written_key(R"("url":)"), kValue = JsonText::written_key(R"("value":)"),
                   kRawText = JsonText::borrow("raw"), kCollectionNameText = JsonText::borrow(kCollectionName),
                   kSchemaText = JsonText::borrow(kSchemaAddress);

// The method names, classified at compile time like the keys.
constexpr std::array<JsonText, kMethodCount> kMethodNames = [] {
    std::array<JsonText, kMethodCount> names;
    for (std::size_t i = 0; i < kMethodCount; ++i) names[i] = JsonText::borrow(method_text(static_cast<HttpMethod>(i)));
    return names;
}();

constexpr bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
constexpr bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

// The scheme in front of "://" as the caller wrote it (case kept), or "https" when the url does
// not start with a scheme. Only the leading characters are looked at; nothing is validated.
std::string_view protocol_of(std::string_view url) {
    constexpr std::string_view kDefault = "https";
    if (url.empty() || !is_ascii_letter(url[0])) return kDefault;
    std::size_t end = 1;
    while (end < url.size() && (is_ascii_letter(url[end]) || is_ascii_digit(url[end]) || url[end] == '+' ||
                                url[end] == '-' || url[end] == '.')) {
        ++end;
    }
    return url.substr(end).starts_with("://") ? url.substr(0, end) : kDefault;
}

// A url cut at every "/" and nowhere else (k slashes give k+1 pieces, empty ones included):
// its third piece, and what follows the third slash, or nothing when there is no third slash.
struct UrlPieces {
    std::string_view host;
    std::optional<std::string_view> path_text;
};

// What cuts a url into pieces.
constexpr char kSlash = '/';
template <class B>
constexpr auto slash_lanes(B bytes) {
    return eq(bytes, kSlash);
}
static_assert(scan::picks_out(scan::ByteSet::where([](unsigned char b) { return b == kSlash; }),
                              [](auto b) { return slash_lanes(b); }));

// The first "/" of `text` at or after `from` (at most its size), or npos: sixteen bytes at a
// time while they last, inline, since the pieces of a url are short.
std::size_t find_slash(std::string_view text, std::size_t from) {
    for (; text.size() - from >= scan::kBlock; from += scan::kBlock) {
        const unsigned slashes = scan::mask(slash_lanes(scan::load(text.data() + from)));
        if (slashes != 0) return from + static_cast<std::size_t>(std::countr_zero(slashes));
    }
    for (; from < text.size(); ++from) {
        if (text[from] == kSlash) return from;
    }
    return std::string_view::npos;
}

std::optional<UrlPieces> split_url(std::string_view url) {
    const std::size_t first = find_slash(url, 0);
    if (first == std::string_view::npos) return std::nullopt;
    const std::size_t second = find_slash(url, first + 1);
    if (second == std::string_view::npos) return std::nullopt;
    const std::size_t third = find_slash(url, second + 1);
    if (third == std::string_view::npos) return UrlPieces{url.substr(second + 1), std::nullopt};
    return UrlPieces{url.substr(second + 1, third - second - 1), url.substr(third + 1)};
}

// The value of a new member of `object`. Every builder here gives the keys of an object in
// ascending order, so each member is appended after one comparison, and made in place.
TAVREL_INLINE JsonValue& member(JsonObject& object, const JsonText& key) { return object.slot(key); }

// A text of the record as it is: it is looked at only once, by the writer as it copies it.
void set_text(JsonValue& value, std::string_view text) { value.emplace_string(JsonText::view_of(text)); }

void fill_path(JsonValue& value, const JsonText& url, std::optional<std::string_view> path_text, Arena& arena) {
    if (!path_text) {
        value.emplace_array(arena, 0);
        return;
    }
    // Room for the pieces of most paths; more take more from the arena.
    constexpr std::size_t kPieces = 8;
    const std::string_view rest = *path_text;
    JsonArray& path = value.emplace_array(arena, std::min(rest.size() + 1, kPieces));
    for (std::size_t start = 0;;) {
        const std::size_t slash = find_slash(rest, start);
        path.emplace_back().emplace_string(JsonText::borrow_part(url, rest.substr(start, slash - start)));
        if (slash == std::string_view::npos) break;
        start = slash + 1;
    }
}

void fill_headers(JsonValue& value, const Request& request, Arena& arena) {
    JsonArray& entries = value.emplace_array(arena, request.header_count());
    for (const HeaderView header : request.headers()) {
        JsonObject& entry = entries.emplace_back().emplace_object(arena, 2);
        set_text(member(entry, kKey), header.key);
        set_text(member(entry, kValue), header.value);
    }
}

// The item of `request` made in `root`, each object and array with room for exactly its members.
void fill_item(JsonValue& root, const Request& request, const UrlPieces& pieces, Arena& arena) {
    // The url is written twice and cut into pieces: classified once here, so that the writer
    // copies it and its pieces without looking at them again (when they need no escape).
    const JsonText url_text = JsonText::borrow(request.url());
    JsonObject& item = root.emplace_object(arena, 2);
    member(item, kName).emplace_string(url_text.borrowed());
    JsonObject& request_object = member(item, kRequest).emplace_object(arena, 4);

    JsonObject& body = member(request_object, kBody).emplace_object(arena, 2);
    member(body, kMode).emplace_string(kRawText.borrowed());
    // An absent body and an empty one are written alike.
    set_text(member(body, kRaw), request.body().value_or(std::string_view()));
    fill_headers(member(request_object, kHeader), request, arena);
    member(request_object, kMethod).emplace_string(kMethodNames[static_cast<std::size_t>(request.method())].borrowed());

    JsonObject& url = member(request_object, kUrl).emplace_object(arena, 4);
    member(url, kHost).emplace_string(JsonText::borrow_part(url_text, pieces.host));
    fill_path(member(url, kPath), url_text, pieces.path_text, arena);
    set_text(member(url, kProtocol), protocol_of(request.url()));
    member(url, kRaw).emplace_string(url_text.borrowed());
}

void append_ascii(TextSink& out, std::string_view bytes) {
    char* const at = out.room(bytes.size());
    std::memcpy(at, bytes.data(), bytes.size());
    out.commit(at + bytes.size(), true);
}

void fill_info(JsonValue& root, Arena& arena) {
    JsonObject& info = root.emplace_object(arena, 2);
    member(info, kName).emplace_string(kCollectionNameText.borrowed());
    member(info, kSchema).emplace_string(kSchemaText.borrowed());
}

// The text around the items: the "info" object and the frame of the "item" array; a "," goes
// between two items.
constexpr std::string_view kDocumentStart = R"({"info":)", kItemsStart = R"(,"item":[)", kDocumentEnd = "]}";

// The fixed text of the document around its items; the fixed text of an item without the
// request's own texts (its keys, quotes and punctuation, the body's mode, the longest method and
// the default protocol), and the most that a header and a path piece add to it: measured by
// writing, with the writer itself, the document's start and end and the items of a few requests
// whose texts need no escape, and taking away the bytes of the requests' texts. An item's frame
// grows by one of these for each header and each piece of its path and by nothing else (its
// other members are always there, and only their texts vary).
struct Frames {
    std::size_t document, item, header, piece;
};

// The bytes of the string values in `value` that are texts of `request` (the others, and the
// keys, are part of the frame).
std::size_t request_text_bytes(const JsonValue& value, const Request& request) {
    switch (value.kind()) {
        case json::JsonKind::String: {
            const char* const begin = request.url().data();
            const char* const text = value.as_text().view().data();
            const bool own = !(text < begin) && !(begin + request.text_bytes() < text);
            return own ? value.as_text().size() : 0;
        }
        case json::JsonKind::Array: {
            std::size_t bytes = 0;
            for (const JsonValue& element : value.as_array()) bytes += request_text_bytes(element, request);
            return bytes;
        }
        case json::JsonKind::Object: {
            std::size_t bytes = 0;
            for (const JsonObject::Member& member : value.as_object())
                bytes += request_text_bytes(member.value, request);
            return bytes;
        }
        default: return 0;
    }
}

// The method of the longest text.
constexpr HttpMethod kLongestMethod = static_cast<HttpMethod>(
    std::ranges::max_element(kMethodTexts, {}, [](std::string_view name) { return name.size(); }) -
    kMethodTexts.begin());

// The frame of the item of a request with `url`, `headers` empty headers, no body and the longest
// method.
std::size_t frame_of(std::string_view url, std::size_t headers) {
    const std::vector<HeaderView> empty(headers, HeaderView{});
    const Request probe(url, empty, kLongestMethod, std::nullopt);
    ItemTree tree;
    if (!tree.build(probe)) throw std::logic_error("a probe url without a host");
    return json::to_json_text(tree.root()).size() - request_text_bytes(tree.root(), probe);
}

// "//" has the fewest pieces a url with a host has (an empty host, no path, the default
// protocol), "///" one path piece, "////" two; the first of the headers or pieces may add less
// than the next.
Frames measure_frames() {
    json::TextBuffer around;
    if (write_document({}, around)) throw std::logic_error("an empty document without a host");
    const std::size_t item = frame_of("//", 0);
    const std::size_t one_header = frame_of("//", 1), one_piece = frame_of("///", 0);
    return {around.size(), item, std::max(one_header - item, frame_of("//", 2) - one_header),
            std::max(one_piece - item, frame_of("////", 0) - one_piece)};
}

// Measured at the first export (which reports a failure to allocate as any other).
const Frames& frames() {
    static const Frames measured = measure_frames();
    return measured;
}

// Two sizes of the item of `request`. `plain`: its size when nothing in it needs escaping (the
// frame of the item and of each header, the url three times over: name, raw, and cut into host,
// protocol and path; the other texts once). `bound`: at least its size, every text counted as if
// each byte needed the longest escape (the url stands for the name, the raw text, and for the
// host, path and protocol cut from it), with a frame for every header and for every piece the
// url may give.
struct ItemSize {
    std::size_t plain;
    std::size_t bound;
};

ItemSize item_size(const Request& request, const Frames& frame) {
    const std::size_t url = request.url().size();
    const std::size_t texts = request.text_bytes();  // the url once, the others
    const std::size_t frames = frame.item + frame.header * request.header_count();
    return {frames + 2 * url + texts,
            frames + frame.piece * (url + 1) + json::json_size_bound_of_text(3 * url + texts)};
}

}  // namespace

// The frame and the plain size of every item, and room for the bound of the largest item beyond
// it, so that the writer of the last items asks for no more. An item whose bound is more than the
// writer asks for at once is written as it goes, asking only for what it needs, and is measured
// exactly here: a document of such items is sized exactly, and its str is neither grown nor
// shrunk. Otherwise only a guess to start by; the output grows past it if need be.
std::size_t document_size_estimate(std::span<const Request> records) {
    const Frames& frame = frames();
    std::size_t bytes = frame.document + (records.empty() ? 0 : records.size() - 1);
    std::size_t largest = 0;
    std::optional<ItemTree> tree;
    for (const Request& request : records) {
        const ItemSize item = item_size(request, frame);
        if (item.bound <= json::kLargestRoom) {
            bytes += item.plain;
            largest = std::max(largest, item.bound);
            continue;
        }
        if (!tree) tree.emplace();
        // Without a host the export stops at this item.
        bytes += tree->build(request) ? json::measure_json(tree->root()).bytes : item.plain;
    }
    return bytes + largest;
}

std::string MissingHost::message() const {
    std::string message_text = "request ";
    message_text += std::to_string(index);
    message_text += " has url \"";
    message_text += url;
    message_text += "\" without a host: expected a host after \"scheme://\"";
    return message_text;
}

ItemTree::ItemTree() : arena_(initial_, sizeof initial_) { std::construct_at(&root_); }

// root_ is not destroyed: see the member's comment.
ItemTree::~ItemTree() {}

bool ItemTree::build(const Request& request) {
    // The old tree is forgotten before its storage is handed out again.
    std::construct_at(&root_);
    arena_.release();
    const std::optional<UrlPieces> pieces = split_url(request.url());
    if (!pieces) return false;
    fill_item(root_, request, *pieces, arena_);
    return true;
}

std::optional<MissingHost> write_document(std::span<const Request> records, TextSink& out) {
    {
        alignas(std::max_align_t) std::byte room[256];
        Arena arena(room, sizeof room);
        JsonValue info;
        fill_info(info, arena);
        append_ascii(out, kDocumentStart);
        json::write_json(info, out);
    }
    append_ascii(out, kItemsStart);
    // Not needed for no item: write_document({}) is how the frames are measured.
    const Frames* frame = records.empty() ? nullptr : &frames();
    ItemTree tree;
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (!tree.build(records[i])) return MissingHost{i, std::string(records[i].url())};
        if (i != 0) append_ascii(out, ",");
        json::write_json_within(tree.root(), item_size(records[i], *frame).bound, out);
    }
    append_ascii(out, kDocumentEnd);
    return std::nullopt;
}

}  // namespace tavrel
