// Renders a request record as a curl command line that a POSIX shell reads back word for word
// and curl reads as the request says.
#pragma once

#include <cstdint>
#include <memory_resource>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "request.hpp"

namespace tavrel {

// Why no curl command line can carry a request: the one-line message of the ValueError that
// get_request_command raises.
struct Unsendable {
    std::string message;
};

// The words, in this order ("[...]" only where needed):
//   curl -X METHOD [--head] [--globoff] [--url] URL [-H TEXT]... [-d BODY | --data-raw BODY]
// Texts that a shell would interpret are single-quoted; texts holding control characters are
// written in ANSI-C quoting ($'...'), so that every command is one line of printable text; texts
// that need no quoting are written exactly as given.
//
// Made in two passes: the constructor looks at every text once, decides whether a command can
// carry the request and works out the exact length; write() then fills exactly size() bytes, so
// that the text can go straight into its final buffer. `scratch` holds two bytes per header
// between the two passes.
class CommandText {
public:
    CommandText(const Request& request, std::pmr::memory_resource* scratch);

    // Set when no command can carry the request; size() and write() are then meaningless.
    const std::optional<Unsendable>& unsendable() const noexcept { return unsendable_; }
    std::size_t size() const noexcept { return size_; }
    // Every byte below 0x80: the text is ASCII as well as UTF-8.
    bool ascii() const noexcept { return ascii_; }
    // Writes size() bytes to `out`. The request must be the one given to the constructor.
    void write(char* out) const;

private:
    template <class Sink>
    void emit(Sink& sink) const;

    const Request& request_;
    unsigned url_classes_ = 0;
    unsigned body_classes_ = 0;
    std::pmr::vector<std::uint16_t> header_classes_;  // key and value together, per header
    std::size_t size_ = 0;
    bool ascii_ = true;
    std::optional<Unsendable> unsendable_;
};

std::variant<std::string, Unsendable> render_command(const Request& request);

}  // namespace tavrel
