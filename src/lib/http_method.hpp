// The nine HTTP methods as small values, with their method texts.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace tavrel {

enum class HttpMethod : std::uint8_t { GET, POST, PUT, DELETE, HEAD, OPTIONS, PATCH, TRACE, CONNECT };

inline constexpr std::size_t kMethodCount = 9;

// Member names in declaration order; also the method texts written into commands and documents.
inline constexpr std::array<std::string_view, kMethodCount> kMethodTexts = {
    "GET", "POST", "PUT", "DELETE", "HEAD", "OPTIONS", "PATCH", "TRACE", "CONNECT"};

constexpr std::string_view method_text(HttpMethod m) { return kMethodTexts[static_cast<std::size_t>(m)]; }

}  // namespace tavrel
