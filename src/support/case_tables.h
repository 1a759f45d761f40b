// Case mapping without ICU for the texts most data holds: those whose every character maps on
// its own, whatever surrounds it, to one character of the same byte length. Tables made once from
// ICU's root-language mappings cover ASCII, the two-byte characters (U+0080-U+07FF: Latin,
// Greek, Cyrillic, Armenian, Hebrew, Arabic...) and the three-byte characters of blocks that have
// no case at all (CJK, Indic, symbols...). Any other character leaves the text to ICU.
#pragma once

#include <cstdint>
#include <string_view>

namespace case_tables {

// True when a language (the language part of a locale name, "" for none) maps case exactly as
// ICU's root language does, so the tables apply. Turkish, Azeri, Lithuanian, Greek, Dutch and
// Armenian have rules of their own.
bool maps_like_root(std::string_view language);

// Writes the upper- or lower-case form of `text` into `out` (text.size() bytes, no terminator)
// and returns true when the tables cover every character of it, storing its number of
// characters in `*chars`; returns false otherwise, with `out` partly written. The result has the
// same byte length and number of characters as the text.
bool map(bool upper, std::string_view text, char* out, int64_t* chars);

}  // namespace case_tables
