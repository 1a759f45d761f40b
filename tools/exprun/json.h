// JSON for exprun's JSON-lines records: a strict reader of one object per line and the writers
// of strings and numbers, so that everything exprun writes is valid JSON (RFC 8259).
#pragma once

#include <functional>
#include <string>
#include <string_view>

// What a member's value was: a string (its text unescaped), null, or another literal kept as its
// exact JSON text: a number, true or false, a nested array or object.
enum class JsonKind { String, Null, Number, Boolean, Nested };

// Calls visit(key, text, kind) for each member of the object in `line`. Returns false with
// *error saying what is wrong when the line is not one valid JSON object in UTF-8.
bool parse_json_object(std::string_view line, const std::function<void(std::string &&, std::string &&, JsonKind)> &visit,
                       std::string *error);

// Whether `text` is valid UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool valid_utf8(std::string_view text);
// Whether `text` is a number as JSON writes it.
bool is_json_number(std::string_view text);
// Appends `value` as a JSON string; bytes that are not UTF-8 become U+FFFD, so the output stays
// valid whatever the value holds. Returns whether any byte had to be replaced.
bool put_json_string(std::string *out, std::string_view value);
