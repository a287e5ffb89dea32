// Compact JSON text output of a JsonValue tree.
#pragma once

#include <cstddef>
#include <string>

#include "json/json_value.hpp"

namespace tavrel::json {

// The exact length of the compact text of a value, and whether all of it is ASCII.
struct TextSize {
    std::size_t bytes = 0;
    bool ascii = true;
};

// Compact text: no whitespace between tokens, object members in the object's key order,
// strings escaped only where JSON requires it (control bytes, '"', '\'). Non-ASCII bytes are
// copied as they are, so UTF-8 content gives UTF-8 output.
TextSize measure_json(const JsonValue& value);

// Writes the compact text of `value` at `out`, which has room for measure_json(value).bytes
// bytes, and returns the end of what was written.
char* write_json(const JsonValue& value, char* out);

// Appends the compact text of `value` to `out`.
void write_json(const JsonValue& value, std::string& out);

// The compact text of `value` in a new string.
std::string to_json_text(const JsonValue& value);

}  // namespace tavrel::json
