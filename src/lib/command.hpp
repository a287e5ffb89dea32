// Renders a request record as a curl command line that a POSIX shell reads back word for word
// and curl reads as the request says.
#pragma once

#include <cstdint>
#include <array>
#include <optional>
#include <string>
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
// Texts that a shell would interpret are single-quoted; texts holding control or unprintable
// characters are written as what printf makes of a format with octal escapes, "$(printf '...')",
// so that what the command shows is what it sends and every POSIX shell and fish read it alike;
// texts that need no quoting are written exactly as given.
//
// The constructor looks at every text once, decides whether a command can carry the request and
// works out a bound of its length; write() then fills in the text. A short command is written
// once into a buffer of bound() bytes; a long one is counted first (size()), so that it can go
// straight into a buffer of its exact length.
class CommandText {
public:
    explicit CommandText(const Request& request);
    // Neither copied nor moved: header_classes_ points into the object's own in_place_classes_.
    CommandText(const CommandText&) = delete;
    CommandText& operator=(const CommandText&) = delete;
    CommandText(CommandText&&) = delete;
    CommandText& operator=(CommandText&&) = delete;
    ~CommandText() = default;

    // Set when no command can carry the request; the rest is then meaningless.
    const std::optional<Unsendable>& unsendable() const noexcept { return unsendable_; }
    // At least the length of the text.
    std::size_t bound() const noexcept { return bound_; }
    // The exact length of the text, counted.
    std::size_t size() const;
    // Every byte below 0x80: the text is ASCII as well as UTF-8.
    bool ascii() const noexcept { return ascii_; }
    // Writes the text to `out`, which has room for bound() bytes or for size() bytes, and returns
    // its length. The request must be the one given to the constructor.
    std::size_t write(char* out) const;

private:
    // Gives `sink` every piece of the text in order, and returns it. The sink is passed by value
    // so that its cursor can stay in a register while bytes are written through char pointers.
    template <class Sink>
    Sink emit(Sink sink) const;
    // Fills in header_classes_, adding to the classes of the whole text and to whether it may be unsendable.
    void classify_headers(unsigned& all, bool& suspect);

    const Request& request_;
    unsigned url_classes_ = 0;
    unsigned body_classes_ = 0;
    // Per header, of its key and value together: in place for the usual few headers.
    static constexpr std::size_t kInPlaceHeaders = 16;
    std::array<std::uint16_t, kInPlaceHeaders> in_place_classes_;
    std::vector<std::uint16_t> more_classes_;
    std::uint16_t* header_classes_ = in_place_classes_.data();
    // No header needs more than double quotes; then header_classes_ is not filled in.
    bool plain_headers_ = false;
    // With plain_headers_: whether a header's value may be blank (one is empty or starts with a
    // space or tab); when not, no header needs a look before it is written.
    bool maybe_blank_values_ = true;
    std::size_t bound_ = 0;
    bool ascii_ = true;
    std::optional<Unsendable> unsendable_;
};

}  // namespace tavrel
