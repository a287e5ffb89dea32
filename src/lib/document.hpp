// The collection document (Postman Collection v2.1.0 layout) of a list of request records.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>

#include "json/json_value.hpp"
#include "json/json_writer.hpp"
#include "request.hpp"

namespace tavrel {

inline constexpr std::string_view kCollectionName = "Tavrel Collection";
inline constexpr std::string_view kSchemaAddress =
    "https://schema.getpostman.com/json/collection/v2.1.0/collection.json";

// The export stops at the first request whose url has no host piece (fewer than two "/").
struct MissingHost {
    std::size_t index;  // 0-based position in the collection
    std::string url;
    std::string message() const;
};

// The tree of one item of the document (the entry of one request under "item"). It lives until
// the next build: every text in it is a view into the request (or a constant) and every node
// comes from the tree's own arena, which each build empties and reuses, so a document is built
// one item at a time in the same few kilobytes whatever the number of requests. The request
// must stay unchanged and alive while its tree exists. Not movable (the nodes point at the
// arena).
class ItemTree {
public:
    ItemTree();
    ~ItemTree();
    ItemTree(const ItemTree&) = delete;
    ItemTree& operator=(const ItemTree&) = delete;

    // Builds the item of `request`, replacing the previous tree. False, leaving a Null tree,
    // when the url has no host.
    bool build(const Request& request);
    const json::JsonValue& root() const noexcept { return root_; }

private:
    // Room for the item of a request with a dozen headers; a larger one takes more from the heap
    // until the next build.
    alignas(std::max_align_t) std::byte initial_[4096];
    json::Arena arena_;
    // Never destroyed, only forgotten with the arena: every container of the tree keeps its
    // storage in the arena and every text is borrowed, so running the destructors would walk
    // the whole tree to free nothing.
    union {
        json::JsonValue root_;
    };
};

// The compact JSON text of the document of `records` appended to `out`: the "info" object and
// the frame of the "item" array written around the items, each written from its own tree as
// soon as it is built. At a request without a host, what was appended is left unfinished.
std::optional<MissingHost> write_document(std::span<const Request> records, TextSink& out);

// A first size to give the output of write_document: right when nothing needs escaping.
std::size_t document_size_estimate(std::span<const Request> records);

}  // namespace tavrel
