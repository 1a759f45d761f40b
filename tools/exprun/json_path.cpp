// A scanner that walks JSON text along a path, skipping the values it passes over.
#include "json_path.h"

#include <cstdint>

namespace {

class Scanner {
 public:
  explicit Scanner(std::string_view text) : s_(text) {}

  void blanks() {
    while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\t' || s_[at_] == '\n' || s_[at_] == '\r')) ++at_;
  }
  bool take(char c) {
    blanks();
    if (at_ < s_.size() && s_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }
  char peek() {
    blanks();
    return at_ < s_.size() ? s_[at_] : '\0';
  }
  size_t at() const { return at_; }
  std::string_view slice(size_t from) const { return s_.substr(from, at_ - from); }

  // A string at the cursor, unescaped into *out (when given). False when it is not one.
  bool string(std::string *out) {
    if (!take('"')) return false;
    for (; at_ < s_.size(); ++at_) {
      char c = s_[at_];
      if (c == '"') {
        ++at_;
        return true;
      }
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        if (out) out->push_back(c);
        continue;
      }
      if (++at_ >= s_.size()) return false;
      if (!escape(s_[at_], out)) return false;
    }
    return false;
  }

  // Skips one value of any kind. False when the text is not valid there.
  bool skip(int depth = 0) {
    if (depth > 512) return false;
    switch (peek()) {
      case '"': return string(nullptr);
      case '{':
        return members(depth, [](const std::string &) { return false; });
      case '[': {
        ++at_;
        if (take(']')) return true;
        do {
          if (!skip(depth + 1)) return false;
        } while (take(','));
        return take(']');
      }
      default: return literal();
    }
  }

  // Walks the members of the object at the cursor: when `stop(name)` is true the cursor stays on
  // that member's value; otherwise every member is skipped and the object closed. False when the
  // text is not valid there.
  template <typename Stop>
  bool members(int depth, Stop stop) {
    if (!take('{')) return false;
    if (take('}')) return true;
    std::string name;
    do {
      name.clear();
      if (!string(&name) || !take(':')) return false;
      if (stop(name)) return true;
      if (!skip(depth + 1)) return false;
    } while (take(','));
    return take('}');
  }

 private:
  bool literal() {
    size_t from = at_;
    while (at_ < s_.size()) {
      char c = s_[at_];
      if (c == ',' || c == '}' || c == ']' || c == ' ' || c == '\t' || c == '\n' || c == '\r') break;
      ++at_;
    }
    std::string_view word = s_.substr(from, at_ - from);
    if (word == "true" || word == "false" || word == "null") return true;
    if (word.empty()) return false;
    size_t i = word[0] == '-' ? 1 : 0;
    bool digits = false;
    for (; i < word.size(); ++i) {
      char c = word[i];
      if (c >= '0' && c <= '9') digits = true;
      else if (c != '.' && c != 'e' && c != 'E' && c != '+' && c != '-') return false;
    }
    return digits;
  }

  static void put_utf8(uint32_t cp, std::string *out) {
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

  bool hex4(uint32_t *v) {
    if (at_ + 4 >= s_.size()) return false;
    *v = 0;
    for (int i = 0; i < 4; ++i) {
      char c = s_[++at_];
      int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      if (d < 0) return false;
      *v = *v * 16 + static_cast<uint32_t>(d);
    }
    return true;
  }

  // The escape whose letter is at the cursor; the cursor is left on its last character.
  bool escape(char c, std::string *out) {
    static constexpr std::string_view kFrom = "\"\\/bfnrt", kTo = "\"\\/\b\f\n\r\t";
    if (size_t k = kFrom.find(c); k != std::string_view::npos) {
      if (out) out->push_back(kTo[k]);
      return true;
    }
    uint32_t cp;
    if (c != 'u' || !hex4(&cp)) return false;
    if (cp >= 0xD800 && cp < 0xDC00) {  // a surrogate pair: the low half must follow
      uint32_t low;
      if (at_ + 2 >= s_.size() || s_[at_ + 1] != '\\' || s_[at_ + 2] != 'u') return false;
      at_ += 2;
      if (!hex4(&low) || low < 0xDC00 || low >= 0xE000) return false;
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
    } else if (cp >= 0xDC00 && cp < 0xE000) {
      cp = 0xFFFD;
    }
    if (out) put_utf8(cp, out);
    return true;
  }

  std::string_view s_;
  size_t at_ = 0;
};

// Moves the scanner onto the element `index` of the array at the cursor.
bool enter_index(Scanner &sc, std::string_view name) {
  if (name.empty() || name.size() > 9) return false;
  size_t index = 0;
  for (char c : name) {
    if (c < '0' || c > '9') return false;
    index = index * 10 + static_cast<size_t>(c - '0');
  }
  if (!sc.take('[') || sc.peek() == ']') return false;
  for (size_t i = 0; i < index; ++i)
    if (!sc.skip() || !sc.take(',')) return false;
  return true;
}

}  // namespace

JsonPathFound json_path_get(std::string_view json, std::string_view path, std::string *out) {
  Scanner sc(json);
  for (bool more = !path.empty(); more;) {
    size_t dot = path.find('.');
    std::string_view name = path.substr(0, dot);
    more = dot != std::string_view::npos;
    if (more) path.remove_prefix(dot + 1);
    bool found = false;
    if (sc.peek() == '{') {
      if (!sc.members(0, [&](const std::string &n) { return found = n == name; }) || !found) return JsonPathFound::Missing;
    } else if (sc.peek() != '[' || !enter_index(sc, name)) {
      return JsonPathFound::Missing;
    }
  }
  out->clear();
  if (sc.peek() == '"') return sc.string(out) ? JsonPathFound::Value : JsonPathFound::Missing;
  sc.blanks();
  const size_t from = sc.at();
  if (!sc.skip()) return JsonPathFound::Missing;
  std::string_view text = sc.slice(from);
  if (text == "null") return JsonPathFound::Null;
  out->assign(text);
  return JsonPathFound::Value;
}
