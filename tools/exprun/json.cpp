// Strict JSON for one object per line, and JSON string and number output.
#include "json.h"

#include <cstdint>
#include <cstring>

namespace {

// Length of the UTF-8 sequence at p (1 to 4), or 0 when it is not a valid one.
size_t utf8_length(const unsigned char *p, const unsigned char *end) {
  unsigned char c = p[0];
  if (c < 0x80) return 1;
  size_t n;
  uint32_t cp;
  if (c >= 0xC2 && c <= 0xDF) n = 2, cp = c & 0x1F;
  else if (c >= 0xE0 && c <= 0xEF) n = 3, cp = c & 0x0F;
  else if (c >= 0xF0 && c <= 0xF4) n = 4, cp = c & 0x07;
  else return 0;
  if (static_cast<size_t>(end - p) < n) return 0;
  for (size_t i = 1; i < n; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (p[i] & 0x3F);
  }
  if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF))
    return 0;
  return n;
}

void put_utf8(std::string *out, uint32_t cp) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// A recursive-descent reader over one line. Nested values are checked as strictly as top-level
// ones and kept as their text.
class Reader {
 public:
  explicit Reader(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

  bool object(const std::function<void(std::string &&, std::string &&, JsonKind)> &visit, std::string *error) {
    skip();
    if (!eat('{')) return fail("expected '{'", error);
    skip();
    if (eat('}')) return rest_blank(error);
    for (;;) {
      std::string key, value;
      skip();
      if (!string(&key)) return fail("expected a member name", error);
      skip();
      if (!eat(':')) return fail("expected ':'", error);
      skip();
      JsonKind kind;
      if (!member_value(&value, &kind)) return fail(what_ ? what_ : "bad value", error);
      visit(std::move(key), std::move(value), kind);
      skip();
      if (eat(',')) continue;
      if (eat('}')) return rest_blank(error);
      return fail("expected ',' or '}'", error);
    }
  }

 private:
  static constexpr int kMaxDepth = 512;

  bool fail(const char *what, std::string *error) {
    *error = what;
    return false;
  }
  bool rest_blank(std::string *error) {
    skip();
    return p_ == end_ || fail("text after the object", error);
  }
  void skip() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\r' || *p_ == '\n')) ++p_;
  }
  bool eat(char c) {
    if (p_ < end_ && *p_ == c) {
      ++p_;
      return true;
    }
    return false;
  }
  bool hex4(uint32_t *out) {
    if (end_ - p_ < 4) return false;
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      char c = *p_++;
      v <<= 4;
      if (c >= '0' && c <= '9') v |= static_cast<uint32_t>(c - '0');
      else if (c >= 'a' && c <= 'f') v |= static_cast<uint32_t>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') v |= static_cast<uint32_t>(c - 'A' + 10);
      else return false;
    }
    *out = v;
    return true;
  }
  bool escape(std::string *out) {
    if (p_ >= end_) return false;
    char c = *p_++;
    switch (c) {
      case '"': case '\\': case '/': out->push_back(c); return true;
      case 'b': out->push_back('\b'); return true;
      case 'f': out->push_back('\f'); return true;
      case 'n': out->push_back('\n'); return true;
      case 'r': out->push_back('\r'); return true;
      case 't': out->push_back('\t'); return true;
      case 'u': {
        uint32_t cp;
        if (!hex4(&cp)) return false;
        if (cp >= 0xD800 && cp < 0xDC00 && end_ - p_ >= 6 && p_[0] == '\\' && p_[1] == 'u') {
          p_ += 2;
          uint32_t low;
          if (!hex4(&low) || low < 0xDC00 || low > 0xDFFF) return false;
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        } else if (cp >= 0xD800 && cp < 0xE000) {
          cp = 0xFFFD;  // a lone surrogate has no UTF-8 form
        }
        put_utf8(out, cp);
        return true;
      }
      default: return false;
    }
  }
  // A string into *out (unescaped); out may be null to only check it.
  bool string(std::string *out) {
    if (!eat('"')) return false;
    std::string scratch;
    std::string *o = out ? out : &scratch;
    while (p_ < end_) {
      unsigned char c = static_cast<unsigned char>(*p_);
      if (c == '"') {
        ++p_;
        return true;
      }
      if (c == '\\') {
        ++p_;
        if (!escape(o)) return false;
        continue;
      }
      if (c < 0x20) return false;  // control characters must be escaped
      size_t n = utf8_length(reinterpret_cast<const unsigned char *>(p_), reinterpret_cast<const unsigned char *>(end_));
      if (n == 0) {
        what_ = "not valid UTF-8";
        return false;
      }
      if (out) o->append(p_, n);
      p_ += n;
    }
    return false;
  }
  bool digits() {
    const char *start = p_;
    while (p_ < end_ && *p_ >= '0' && *p_ <= '9') ++p_;
    return p_ > start;
  }
  // A number by the JSON grammar: -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
  bool number() {
    eat('-');
    if (eat('0')) {
      if (p_ < end_ && *p_ >= '0' && *p_ <= '9') return false;
    } else if (!digits()) {
      return false;
    }
    if (eat('.') && !digits()) return false;
    if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
      ++p_;
      if (!eat('+')) eat('-');
      if (!digits()) return false;
    }
    // A number ends at a delimiter: "1e5e5" or "12abc" is not a number followed by more.
    return p_ == end_ || std::strchr(" \t\r\n,}]", *p_) != nullptr;
  }
  bool word(const char *w) {
    size_t n = std::strlen(w);
    if (static_cast<size_t>(end_ - p_) < n || std::memcmp(p_, w, n) != 0) return false;
    p_ += n;
    return true;
  }
  // Any value, checked and skipped.
  bool value(int depth) {
    if (p_ >= end_ || depth > kMaxDepth) return false;
    char c = *p_;
    if (c == '"') return string(nullptr);
    if (c == '{' || c == '[') return nested(depth + 1);
    if (c == 't') return word("true");
    if (c == 'f') return word("false");
    if (c == 'n') return word("null");
    if (!number()) {
      what_ = "not a valid JSON value";
      return false;
    }
    return true;
  }
  bool nested(int depth) {
    char close = *p_ == '{' ? '}' : ']';
    ++p_;
    skip();
    if (eat(close)) return true;
    for (;;) {
      skip();
      if (close == '}') {
        if (!string(nullptr)) return false;
        skip();
        if (!eat(':')) return false;
        skip();
      }
      if (!value(depth)) return false;
      skip();
      if (eat(',')) continue;
      return eat(close);
    }
  }
  bool member_value(std::string *out, JsonKind *kind) {
    if (p_ >= end_) return false;
    if (*p_ == '"') {
      *kind = JsonKind::String;
      return string(out);
    }
    const char *start = p_;
    const char first = *p_;
    if (!value(0)) return false;
    *kind = first == 'n'                  ? JsonKind::Null
            : first == 't' || first == 'f' ? JsonKind::Boolean
            : first == '{' || first == '[' ? JsonKind::Nested
                                           : JsonKind::Number;
    if (*kind != JsonKind::Null) out->assign(start, static_cast<size_t>(p_ - start));
    return true;
  }

  const char *p_;
  const char *end_;
  const char *what_ = nullptr;
};

}  // namespace

bool parse_json_object(std::string_view line, const std::function<void(std::string &&, std::string &&, JsonKind)> &visit,
                       std::string *error) {
  return Reader(line).object(visit, error);
}

bool valid_utf8(std::string_view text) {
  auto *p = reinterpret_cast<const unsigned char *>(text.data());
  auto *end = p + text.size();
  while (p < end) {
    if (*p < 0x80) {
      ++p;
      continue;
    }
    size_t n = utf8_length(p, end);
    if (n == 0) return false;
    p += n;
  }
  return true;
}

bool is_json_number(std::string_view text) {
  size_t i = 0, n = text.size();
  auto digit = [&](size_t k) { return k < n && text[k] >= '0' && text[k] <= '9'; };
  if (i < n && text[i] == '-') ++i;
  if (!digit(i)) return false;
  if (text[i] == '0') ++i;
  else while (digit(i)) ++i;
  if (i < n && text[i] == '.') {
    if (!digit(++i)) return false;
    while (digit(i)) ++i;
  }
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
    if (!digit(i)) return false;
    while (digit(i)) ++i;
  }
  return i == n;
}

bool put_json_string(std::string *out, std::string_view value) {
  static const char kHex[] = "0123456789abcdef";
  std::string &o = *out;
  bool replaced = false;
  o.push_back('"');
  auto *p = reinterpret_cast<const unsigned char *>(value.data());
  auto *end = p + value.size();
  while (p < end) {
    unsigned char c = *p;
    if (c >= 0x80) {
      size_t n = utf8_length(p, end);
      if (n == 0) {
        o.append("\xEF\xBF\xBD");  // U+FFFD for a byte that is not UTF-8
        replaced = true;
        ++p;
      } else {
        o.append(reinterpret_cast<const char *>(p), n);
        p += n;
      }
      continue;
    }
    ++p;
    switch (c) {
      case '"': o.append("\\\""); break;
      case '\\': o.append("\\\\"); break;
      case '\n': o.append("\\n"); break;
      case '\r': o.append("\\r"); break;
      case '\t': o.append("\\t"); break;
      default:
        if (c < 0x20) {
          o.append("\\u00");
          o.push_back(kHex[c >> 4]);
          o.push_back(kHex[c & 15]);
        } else {
          o.push_back(static_cast<char>(c));
        }
    }
  }
  o.push_back('"');
  return replaced;
}
