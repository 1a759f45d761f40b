// Turkish case rules for the regular-expression layer. Turkish has two letters i: dotted i / İ
// (U+0069 / U+0130) and dotless ı / I (U+0131 / U+0049), so "i" and "I" are not a case pair.
#pragma once

#include <string>
#include <string_view>

// Rewrites a PCRE2 pattern so that wherever it matches without regard to case ((?i) in force),
// each of the letters i, İ, ı, I written as itself matches its Turkish case pair and not the other
// letter: i and İ match {i, İ}; ı and I match {ı, I}. Inside character classes, in escapes (\x{131})
// and where case matters the pattern is left as written. The result compiles exactly when the
// pattern does and captures the same groups. Throws std::bad_alloc.
std::string turkish_pattern(std::string_view pattern);

// Upper- / lower-cases UTF-8 text by the Turkish rules (i -> İ, I -> ı, otherwise Unicode's full
// mappings); invalid bytes are copied unchanged. Throws std::bad_alloc.
std::string turkish_upper(std::string_view text);
std::string turkish_lower(std::string_view text);
