// The collection document (Postman Collection v2.1.0 layout) of a list of request records.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <variant>

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

// Builds the document tree of `records` (in order) and writes it as compact JSON text.
std::variant<std::string, MissingHost> export_document(std::span<const Request> records);

}  // namespace tavrel
