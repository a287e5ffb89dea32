// Renders a request record as a curl command line that a POSIX shell reads back word for word
// and curl reads as the request says.
#pragma once

#include <cstdint>
#include <memory_resource>
#include <string>
#include <vector>

#include "request.hpp"

namespace tavrel {

// The words, in this order ("[...]" only where needed):
//   curl -X METHOD [--head] [--globoff] [--url] URL [-H TEXT]... [-d BODY | --data-raw BODY]
// Texts that a shell would interpret are single-quoted; texts that need no quoting are written
// exactly as given.
//
// Made in two passes: the constructor looks at every text once and works out the exact length;
// write() then fills exactly size() bytes, so that the text can go straight into its final
// buffer. `scratch` holds one byte per header between the two passes.
class CommandText {
public:
    CommandText(const Request& request, std::pmr::memory_resource* scratch);

    std::size_t size() const noexcept { return size_; }
    // Every byte below 0x80: the text is ASCII as well as UTF-8.
    bool ascii() const noexcept { return ascii_; }
    // Writes size() bytes to `out`. The request must be the one given to the constructor.
    void write(char* out) const;

private:
    template <class Sink>
    void emit(Sink& sink) const;

    const Request& request_;
    std::uint8_t url_classes_ = 0;
    std::uint8_t body_classes_ = 0;
    std::pmr::vector<std::uint8_t> header_classes_;  // key and value together, per header
    std::size_t size_ = 0;
    bool ascii_ = true;
};

std::string render_command(const Request& request);

}  // namespace tavrel
