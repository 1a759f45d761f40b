// A member of a nested JSON value by a dotted path: jsonget(address, "city"),
// jsonget(items, "0.sku"). The text is scanned, not parsed into a tree.
#pragma once

#include <string>
#include <string_view>

enum class JsonPathFound {
  Missing,  // no such member or index, or the text is not valid JSON where the path goes
  Null,     // the member is JSON null
  Value,    // *out holds it: a string unescaped, any other value as its JSON text
};

// Follows `path` (names separated by dots; in an array a name is a 0-based index; "" is the whole
// value) through the JSON text `json`.
JsonPathFound json_path_get(std::string_view json, std::string_view path, std::string *out);
