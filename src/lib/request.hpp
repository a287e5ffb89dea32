// The request record: the plain value a Tavrel object owns and a collection copies.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "http_method.hpp"

namespace tavrel {

struct Header {
    std::string key;
    std::string value;
};

// Copying a Request copies every text and the whole header list; copies share nothing.
struct Request {
    std::string url;
    std::vector<Header> headers;  // in the order the caller gave them; duplicates kept
    HttpMethod method = HttpMethod::GET;
    std::optional<std::string> body;  // nullopt: no body; "" is a present, empty body
};

}  // namespace tavrel
