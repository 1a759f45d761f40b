// CSV (RFC 4180), TSV and JSON-lines readers and writers.
#include "records.h"

#include <cstring>

bool ByteSource::refill() {
  if (!f_) return false;
  len_ = std::fread(buf_, 1, sizeof buf_, f_);
  pos_ = 0;
  return len_ > 0;
}

RecordReader::RecordReader(std::FILE *f, Format format, char separator, bool header)
    : src_(f), format_(format), sep_(separator), header_(header) {}

// ---- delimited text ---------------------------------------------------------------------------

// Reads one line of fields. Quoted fields (CSV only) may hold separators, doubled quotes and
// line breaks. Returns false at the end of the input or on an error.
bool RecordReader::read_delimited(std::vector<std::string> *fields, std::string *error) {
  int c = src_.get();
  while (c == '\n' || c == '\r') {  // blank lines carry no record
    if (c == '\n') ++line_;
    c = src_.get();
  }
  if (c == -1) return false;
  size_t n = 0;
  const bool quoting = format_ == Format::Csv;
  for (;;) {
    if (n == fields->size()) fields->emplace_back();
    std::string &field = (*fields)[n++];
    field.clear();
    if (quoting && c == '"') {
      uint64_t start = line_;
      for (;;) {
        c = src_.get();
        if (c == -1) {
          *error = "unterminated quoted field starting on line " + std::to_string(start);
          return false;
        }
        if (c == '"') {
          if (src_.peek() != '"') break;
          c = src_.get();
        } else if (c == '\n') {
          ++line_;
        }
        field.push_back(static_cast<char>(c));
      }
      c = src_.get();
    }
    while (c != -1 && c != sep_ && c != '\n' && c != '\r') {
      field.push_back(static_cast<char>(c));
      c = src_.get();
    }
    if (c == sep_) {
      c = src_.get();
      continue;
    }
    if (c == '\r' && src_.peek() == '\n') c = src_.get();
    if (c == '\n' || c == '\r') ++line_;
    fields->resize(n);
    return true;
  }
}

// ---- JSON lines ---------------------------------------------------------------------------------

namespace {

// A small parser for one JSON object per line: top-level values are flattened to text; nested
// objects and arrays are kept as their JSON text.
class JsonObject {
 public:
  JsonObject(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

  // Calls visit(key, value, is_null) for each member. Returns false with *error on bad input.
  template <typename Visit>
  bool parse(Visit visit, std::string *error) {
    skip();
    if (!eat('{')) return fail("expected '{'", error);
    skip();
    if (eat('}')) return rest_blank(error);
    for (;;) {
      std::string key, value;
      bool is_null = false;
      skip();
      if (!parse_string(&key)) return fail("expected a member name", error);
      skip();
      if (!eat(':')) return fail("expected ':'", error);
      skip();
      if (!parse_value(&value, &is_null)) return fail("bad value", error);
      visit(key, value, is_null);
      skip();
      if (eat(',')) continue;
      if (eat('}')) return rest_blank(error);
      return fail("expected ',' or '}'", error);
    }
  }

 private:
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
  static void put_utf8(std::string *out, uint32_t cp) {
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
  bool parse_escape(std::string *out) {
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
          cp = 0xFFFD;
        }
        put_utf8(out, cp);
        return true;
      }
      default: return false;
    }
  }
  bool parse_string(std::string *out) {
    if (!eat('"')) return false;
    while (p_ < end_) {
      char c = *p_++;
      if (c == '"') return true;
      if (c == '\\') {
        if (!parse_escape(out)) return false;
      } else {
        out->push_back(c);
      }
    }
    return false;
  }
  // A nested object or array, kept as its text.
  bool skip_nested(std::string *out) {
    const char *start = p_;
    int depth = 0;
    bool in_string = false;
    for (; p_ < end_; ++p_) {
      char c = *p_;
      if (in_string) {
        if (c == '\\') ++p_;
        else if (c == '"') in_string = false;
        continue;
      }
      if (c == '"') in_string = true;
      else if (c == '{' || c == '[') ++depth;
      else if ((c == '}' || c == ']') && --depth == 0) {
        ++p_;
        out->assign(start, static_cast<size_t>(p_ - start));
        return true;
      }
    }
    return false;
  }
  bool parse_word(const char *word, std::string *out) {
    size_t n = std::strlen(word);
    if (static_cast<size_t>(end_ - p_) < n || std::memcmp(p_, word, n) != 0) return false;
    p_ += n;
    out->assign(word);
    return true;
  }
  bool parse_value(std::string *out, bool *is_null) {
    if (p_ >= end_) return false;
    char c = *p_;
    if (c == '"') return parse_string(out);
    if (c == '{' || c == '[') return skip_nested(out);
    if (c == 't') return parse_word("true", out);
    if (c == 'f') return parse_word("false", out);
    if (c == 'n') {
      *is_null = true;
      return parse_word("null", out);
    }
    const char *start = p_;
    while (p_ < end_ && (std::strchr("+-.eE", *p_) || (*p_ >= '0' && *p_ <= '9'))) ++p_;
    out->assign(start, static_cast<size_t>(p_ - start));
    return p_ > start;
  }

  const char *p_;
  const char *end_;
};

}  // namespace

bool RecordReader::read_json_line(std::string *line) {
  for (;;) {
    line->clear();
    int c = src_.get();
    if (c == -1) return false;
    while (c != -1 && c != '\n') {
      line->push_back(static_cast<char>(c));
      c = src_.get();
    }
    ++line_;
    if (line->find_first_not_of(" \t\r") != std::string::npos) return true;
  }
}

bool RecordReader::read_json(Record *r, std::string *error) {
  if (!read_json_line(&json_line_)) return false;
  r->line = line_ - 1;
  r->resize(columns_.size());
  std::fill(r->null.begin(), r->null.end(), 1);
  bool learning = columns_.empty();
  JsonObject object(json_line_);
  bool ok = object.parse(
      [&](const std::string &key, const std::string &value, bool is_null) {
        size_t i = 0;
        while (i < columns_.size() && columns_[i] != key) ++i;
        if (i == columns_.size()) {
          // Members unknown to the first record are not columns: the program cannot name them
          // and the output has no place for them.
          if (!learning) return note_dropped(r->line, "member \"" + key + "\" is not among the columns");
          columns_.push_back(key);
          r->resize(columns_.size());
          r->null[i] = 1;
        }
        r->fields[i] = value;
        r->null[i] = is_null ? 1 : 0;
      },
      error);
  if (!ok) *error = "line " + std::to_string(r->line) + ": " + *error;
  return ok;
}

// ---- the reader -----------------------------------------------------------------------------------

void RecordReader::note_dropped(uint64_t line, const std::string &what) {
  if (noticed_) return;
  noticed_ = true;
  notice_ = "line " + std::to_string(line) + ": " + what +
            "; fields that are not columns are not carried to the output (the columns come from the first record)";
}

bool RecordReader::read_header(std::vector<std::string> *columns, std::string *error) {
  if (format_ == Format::Jsonl) {
    if (!read_json(&pending_record_, error)) return false;
    pending_ = true;
    *columns = columns_;
    return true;
  }
  if (!read_delimited(&scratch_, error)) return false;
  if (header_) {
    columns_ = scratch_;
  } else {
    for (size_t i = 0; i < scratch_.size(); ++i) {
      std::string name = "c";
      name += std::to_string(i + 1);
      columns_.push_back(name);
    }
    pending_record_.fields = scratch_;
    pending_record_.null.assign(scratch_.size(), 0);
    pending_record_.line = 1;
    pending_ = true;
  }
  *columns = columns_;
  return true;
}

bool RecordReader::next(Record *r, std::string *error) {
  if (pending_) {
    pending_ = false;
    std::swap(*r, pending_record_);
    return true;
  }
  if (format_ == Format::Jsonl) return read_json(r, error);
  uint64_t start = line_;
  if (!read_delimited(&scratch_, error)) return false;
  r->line = start;
  r->resize(columns_.size());
  size_t n = std::min(scratch_.size(), columns_.size());
  if (scratch_.size() > columns_.size())
    note_dropped(start, "the line has " + std::to_string(scratch_.size()) + " fields, the columns are " +
                            std::to_string(columns_.size()));
  for (size_t i = 0; i < n; ++i) r->fields[i].swap(scratch_[i]);
  for (size_t i = n; i < columns_.size(); ++i) r->null[i] = 1;  // short line: missing fields are null
  return true;
}

// ---- the writer -----------------------------------------------------------------------------------

void RecordWriter::begin(const std::vector<std::string> &columns) {
  columns_ = columns;
  if (format_ == Format::Jsonl || !header_) return;
  line_.clear();
  for (size_t i = 0; i < columns.size(); ++i) {
    if (i) line_.push_back(sep_);
    put_delimited(&line_, columns[i]);
  }
  line_.push_back('\n');
  std::fwrite(line_.data(), 1, line_.size(), f_);
}

void RecordWriter::put_delimited(std::string *out, std::string_view value) const {
  std::string &o = *out;
  bool quote = format_ == Format::Csv && value.find_first_of(std::string{sep_, '"', '\r', '\n'}) != std::string_view::npos;
  if (format_ == Format::Tsv) {
    for (char c : value) o.push_back(c == '\t' || c == '\n' || c == '\r' ? ' ' : c);
    return;
  }
  if (!quote) {
    o.append(value);
    return;
  }
  o.push_back('"');
  for (char c : value) {
    if (c == '"') o.push_back('"');
    o.push_back(c);
  }
  o.push_back('"');
}

void RecordWriter::put_json_string(std::string *out, std::string_view value) {
  static const char kHex[] = "0123456789abcdef";
  std::string &o = *out;
  o.push_back('"');
  for (char ch : value) {
    unsigned char c = static_cast<unsigned char>(ch);
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
          o.push_back(ch);
        }
    }
  }
  o.push_back('"');
}

void RecordWriter::format(const std::vector<std::string_view> &values, const std::vector<Kind> &kinds,
                          std::string *out) {
  std::string &line = *out;
  if (format_ == Format::Jsonl) {
    line.push_back('{');
    for (size_t i = 0; i < values.size(); ++i) {
      if (i) line.append(", ");
      put_json_string(out, columns_[i]);
      line.append(": ");
      switch (kinds[i]) {
        case Kind::Null: line.append("null"); break;
        case Kind::Number:
        case Kind::Boolean: line.append(values[i]); break;
        case Kind::Text: put_json_string(out, values[i]); break;
      }
    }
    line.append("}\n");
    return;
  }
  for (size_t i = 0; i < values.size(); ++i) {
    if (i) line.push_back(sep_);
    if (kinds[i] != Kind::Null) put_delimited(out, values[i]);
  }
  line.push_back('\n');
}

void RecordWriter::write(const std::vector<std::string_view> &values, const std::vector<Kind> &kinds) {
  line_.clear();
  format(values, kinds, &line_);
  std::fwrite(line_.data(), 1, line_.size(), f_);
}
