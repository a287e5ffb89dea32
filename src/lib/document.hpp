// The collection document (Postman Collection v2.1.0 layout) of a list of request records.
#pragma once

#include <cstddef>
#include <memory_resource>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "json/json_value.hpp"
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

// The document tree of a list of records. It lives for one export: every text in it is a view
// into the records (or a constant) and every node comes from the tree's own arena, so the
// records must stay unchanged and alive while the tree exists. Not movable (the nodes point at
// the arena).
class DocumentTree {
public:
    DocumentTree();
    ~DocumentTree();
    DocumentTree(const DocumentTree&) = delete;
    DocumentTree& operator=(const DocumentTree&) = delete;

    // Builds the tree of `records` in order; a url without a host stops it, leaving no tree.
    std::optional<MissingHost> build(std::span<const Request> records);
    const json::JsonValue& root() const noexcept { return root_; }

private:
    std::optional<std::pmr::monotonic_buffer_resource> arena_;
    // Never destroyed, only released with the arena: every container of the tree keeps its
    // storage in the arena and every text is borrowed, so running the destructors would walk
    // the whole tree to free nothing. (A rebuild assigns over it, which destroys the old tree
    // while its arena is still alive.)
    union {
        json::JsonValue root_;
    };
};

// The document of `records` as compact JSON text.
std::variant<std::string, MissingHost> export_document(std::span<const Request> records);

}  // namespace tavrel
