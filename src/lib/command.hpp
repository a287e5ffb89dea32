// Renders a request record as a curl command line that a POSIX shell reads back word for word.
#pragma once

#include <string>

#include "request.hpp"

namespace tavrel {

// "curl -X METHOD URL [-H "key: value"]... [-d 'body']". Texts that a shell would interpret
// are single-quoted; texts that need no quoting are written exactly as given.
std::string render_command(const Request& request);

}  // namespace tavrel
