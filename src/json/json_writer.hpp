// Compact JSON text output of a JsonValue tree.
#pragma once

#include <string>

#include "json/json_value.hpp"

namespace tavrel::json {

// Appends the compact text of `value` to `out`: no whitespace between tokens, object members in
// the object's key order, strings escaped only where JSON requires it (control bytes, '"', '\').
// Non-ASCII bytes are copied as they are, so UTF-8 content gives UTF-8 output.
void write_json(const JsonValue& value, std::string& out);

// The compact text of `value` in a new string.
std::string to_json_text(const JsonValue& value);

}  // namespace tavrel::json
