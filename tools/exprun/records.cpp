// CSV (RFC 4180), TSV and JSON-lines readers and writers.
#include "records.h"

#include <algorithm>

#include "json.h"

namespace {

FieldKind field_kind(JsonKind kind) {
  switch (kind) {
    case JsonKind::String: return FieldKind::Quoted;
    case JsonKind::Null: return FieldKind::Null;
    case JsonKind::Number: return FieldKind::Number;
    case JsonKind::Boolean: return FieldKind::Boolean;
    case JsonKind::Nested: return FieldKind::Nested;
  }
  return FieldKind::Null;
}

}  // namespace

bool ByteSource::refill() {
  if (failed_) return false;
  long got = in_.read(buf_.data(), buf_.size());
  if (got < 0) failed_ = true;
  pos_ = 0;
  len_ = got > 0 ? static_cast<size_t>(got) : 0;
  return len_ > 0;
}

RecordReader::RecordReader(InputStream &in, const ReaderOptions &o) : src_(in), o_(o) {}

RecordReader::RecordReader(InputStream &in, const ReaderOptions &o, const std::vector<std::string> &columns,
                           uint64_t first_line)
    : src_(in), o_(o), line_(first_line), columns_(columns) {
  for (size_t i = 0; i < columns_.size(); ++i) column_index_.emplace(columns_[i], i);
}

bool RecordReader::read_chunk(std::string *out, size_t want, uint64_t *first_line, std::string *error) {
  // Where the reader of the CSV text would be: at the start of a field, in an unquoted field, in
  // a quoted one, or just after a quote inside a quoted one (an escape or the closing quote).
  enum class At { FieldStart, Unquoted, Quoted, QuoteInQuoted };
  out->clear();
  *first_line = line_;
  if (!window_error_.empty()) {  // the window stopped at an error: it comes first
    *error = std::exchange(window_error_, std::string());
    return false;
  }
  At at = At::FieldStart;
  const bool csv = o_.format == Format::Csv;
  for (int c; (c = src_.get()) != -1;) {
    out->push_back(static_cast<char>(c));
    if (csv) {
      if (at == At::Quoted) {
        if (c == '"') at = At::QuoteInQuoted;
        else if (c == '\n') ++line_;
        continue;
      }
      if (c == '"' && (at == At::FieldStart || at == At::QuoteInQuoted)) {
        at = At::Quoted;
        continue;
      }
      if (c == o_.separator) {
        at = At::FieldStart;
        continue;
      }
      if (c != '\n' && c != '\r') {
        at = At::Unquoted;
        continue;
      }
      at = At::FieldStart;
    }
    // A lone carriage return ends a line of delimited text too.
    if (c == '\r' && o_.format != Format::Jsonl && src_.peek() != '\n') ++line_;
    if (c == '\n') {
      ++line_;
      if (out->size() >= want) break;
    }
  }
  if (src_.failed()) {
    *error = "read error: " + src_.error();
    return false;
  }
  return !out->empty();
}

namespace {

// TSV escapes: \t, \n, \r and \\ stand for a tab, a line feed, a carriage return and a backslash;
// any other backslash is kept as it is.
void unescape_tsv(std::string *field) {
  if (field->find('\\') == std::string::npos) return;
  std::string out;
  out.reserve(field->size());
  for (size_t i = 0; i < field->size(); ++i) {
    char c = (*field)[i];
    if (c == '\\' && i + 1 < field->size()) {
      char n = (*field)[i + 1];
      char m = n == 't' ? '\t' : n == 'n' ? '\n' : n == 'r' ? '\r' : n == '\\' ? '\\' : 0;
      if (m) {
        out.push_back(m);
        ++i;
        continue;
      }
    }
    out.push_back(c);
  }
  field->swap(out);
}

}  // namespace

void RecordReader::skip_bom() {
  static const int kBom[] = {0xEF, 0xBB, 0xBF};
  if (src_.peek() != kBom[0]) return;
  // The byte source cannot push back, so a lone 0xEF would be lost: only a whole mark is taken.
  src_.get();
  for (int i = 1; i < 3; ++i) {
    if (src_.peek() != kBom[i]) {
      window_error_ = "the input starts with a broken byte order mark";
      return;
    }
    src_.get();
  }
}

// ---- delimited text ---------------------------------------------------------------------------

// Reads one line of fields. Quoted fields (CSV only) may hold separators, doubled quotes and
// line breaks. Returns false at the end of the input or on an error.
bool RecordReader::read_delimited(std::vector<std::string> *fields, std::string *error) {
  int c = src_.get();
  while (c == '\n' || c == '\r') {  // blank lines carry no record
    if (c == '\n' || src_.peek() != '\n') ++line_;  // a lone carriage return ends a line too
    c = src_.get();
  }
  record_line_ = line_;
  if (c == -1) {
    if (src_.failed()) *error = "read error: " + src_.error();
    return false;
  }
  size_t n = 0;
  const bool quoting = o_.format == Format::Csv;
  const char sep = o_.separator;
  for (;;) {
    if (n == fields->size()) fields->emplace_back();
    std::string &field = (*fields)[n++];
    field.clear();
    if (quoting && c == '"') {
      uint64_t start = line_;
      for (;;) {
        c = src_.get();
        if (c == -1) {
          *error = src_.failed() ? "read error: " + src_.error()
                                 : "unterminated quoted field starting on line " + std::to_string(start);
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
    while (c != -1 && c != sep && c != '\n' && c != '\r') {
      field.push_back(static_cast<char>(c));
      c = src_.get();
    }
    if (o_.format == Format::Tsv) unescape_tsv(&field);
    if (c == sep) {
      c = src_.get();
      continue;
    }
    if (c == '\r' && src_.peek() == '\n') c = src_.get();
    if (c == '\n' || c == '\r') ++line_;
    fields->resize(n);
    if (c == -1 && src_.failed()) {
      *error = "read error: " + src_.error();
      return false;
    }
    return true;
  }
}

// A line whose field count differs from the columns' is taken as far as it fits and fails as an
// input error, except that --allow-ragged takes short lines (the rest null) and, in the window,
// long ones (their fields become columns c<N>).
bool RecordReader::read_csv_record(Record *r, bool learning, std::string *error) {
  if (!read_delimited(&scratch_, error)) return false;
  const size_t have = scratch_.size();
  if (have > columns_.size() && learning && o_.allow_ragged)
    while (columns_.size() < have) columns_.push_back("c" + std::to_string(columns_.size() + 1));
  r->line = record_line_;
  r->resize(columns_.size());
  size_t n = std::min(have, columns_.size());
  for (size_t i = 0; i < n; ++i) r->fields[i].swap(scratch_[i]);
  for (size_t i = n; i < columns_.size(); ++i) r->kinds[i] = FieldKind::Null;  // short line
  if (have == columns_.size() || (o_.allow_ragged && have < columns_.size())) return true;
  const std::string counts = "the line has " + std::to_string(have) + " fields, ";
  if (!o_.allow_ragged)
    r->unreadable = counts + (o_.header ? "the header " : "the first line ") + std::to_string(columns_.size()) +
                    " (--allow-ragged takes lines of other lengths)";
  else
    r->unreadable = counts + "the columns are " + std::to_string(columns_.size()) +
                    ": a column first seen past " + window_words() + " cannot be added to the output";
  return true;
}

// ---- JSON lines ---------------------------------------------------------------------------------

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

bool RecordReader::read_json(Record *r, bool learning, std::string *error) {
  if (!read_json_line(&json_line_)) {
    if (src_.failed()) *error = "read error: " + src_.error();
    return false;
  }
  r->line = line_ - 1;
  r->resize(columns_.size());
  std::fill(r->kinds.begin(), r->kinds.end(), FieldKind::Null);
  ++serial_;
  seen_.resize(columns_.size(), 0);
  auto visit = [&](std::string &&key, std::string &&value, JsonKind kind) {
    auto known = column_index_.find(key);
    size_t i = known == column_index_.end() ? columns_.size() : known->second;
    if (i == columns_.size()) {
      if (!learning) return late_member(r, key, value, kind);
      column_index_.emplace(key, i);
      columns_.push_back(std::move(key));
      r->fields.emplace_back();
      r->kinds.push_back(FieldKind::Null);
      seen_.push_back(0);
    } else if (seen_[i] == serial_) {  // which of the two values was meant is unknown
      if (r->unreadable.empty()) r->unreadable = "the member \"" + key + "\" appears twice in the object";
      return;
    }
    seen_[i] = serial_;
    r->fields[i] = std::move(value);
    r->kinds[i] = field_kind(kind);
  };
  // Each line stands alone, so reading goes on after one that does not parse: the record carries
  // the reason and its text, with no fields, and the run's error policy decides its fate.
  std::string why;
  if (parse_json_object(json_line_, visit, &why)) {
    if (!r->unreadable.empty()) r->raw = json_line_;
    return true;
  }
  r->unreadable = "not valid JSON: " + why;
  r->raw = json_line_;
  r->extra.clear();
  std::fill(r->kinds.begin(), r->kinds.end(), FieldKind::Null);
  return true;
}

// The window in messages about columns it could not foresee.
std::string RecordReader::window_words() const {
  std::string w = "the first " + std::to_string(o_.window) + " records";
  if (o_.window_bytes >= (size_t{1} << 20)) w += ", or more up to the first " + std::to_string(o_.window_bytes >> 20) + " MB of input";
  return w;
}

// A member first seen after the window: JSON output carries it as it was read, output that names
// its columns does not want it; otherwise it has no column and the record fails.
void RecordReader::late_member(Record *r, const std::string &key, const std::string &value, JsonKind kind) {
  if (o_.late == ReaderOptions::Late::Ignore) return;
  if (o_.late == ReaderOptions::Late::Refuse) {
    if (r->unreadable.empty())
      r->unreadable = "the member \"" + key + "\" is not among the columns, which come from " + window_words() +
                      " (JSON output, --ojsonl, carries such members through)";
    return;
  }
  if (!r->extra.empty()) r->extra.append(", ");
  put_json_string(&r->extra, key);
  r->extra.append(": ");
  if (kind == JsonKind::String) put_json_string(&r->extra, value);
  else r->extra.append(kind == JsonKind::Null ? std::string_view("null") : std::string_view(value));
}

// ---- the reader -----------------------------------------------------------------------------------

bool RecordReader::read_one(Record *r, bool learning, std::string *error) {
  r->unreadable.clear();
  r->raw.clear();
  r->extra.clear();
  return o_.format == Format::Jsonl ? read_json(r, learning, error) : read_csv_record(r, learning, error);
}

bool RecordReader::start(std::vector<std::string> *columns, std::string *error) {
  skip_bom();
  if (!window_error_.empty()) {
    *error = window_error_;
    return false;
  }
  if (o_.format != Format::Jsonl) {
    if (!read_delimited(&scratch_, error)) return false;
    // A JSON-lines file read as CSV would bind pieces of its first object as column names.
    if (o_.header && !scratch_.empty() && scratch_.front().starts_with('{') && scratch_.back().ends_with('}')) {
      *error = "the first line is a JSON object, not a header: read JSON lines with --ijsonl (or name the file .jsonl)";
      return false;
    }
    if (o_.header) {
      columns_ = scratch_;
    } else {
      for (size_t i = 0; i < scratch_.size(); ++i) columns_.push_back("c" + std::to_string(i + 1));
      Record first;
      first.line = 1;
      first.fields = scratch_;
      first.kinds.assign(scratch_.size(), FieldKind::Text);
      window_.push_back(std::move(first));
    }
  }
  // The window: records read ahead while their new names still become columns.
  Record r;
  auto more = [&] {
    return window_.size() < o_.window || (src_.consumed() < o_.window_bytes && window_.size() < o_.window_max);
  };
  while (more() && read_one(&r, true, &window_error_)) window_.push_back(std::move(r));
  if (window_.empty() && columns_.empty()) {
    *error = window_error_;
    return false;
  }
  // With no column learned, no program can name a field: the first line that did not parse is
  // the error to show.
  if (columns_.empty() && error_of_first_unreadable(error)) return false;
  for (Record &w : window_) {
    size_t had = w.fields.size();
    w.fields.resize(columns_.size());
    w.kinds.resize(columns_.size(), FieldKind::Null);
    for (size_t i = had; i < columns_.size(); ++i) w.kinds[i] = FieldKind::Null;
  }
  *columns = columns_;
  return true;
}

bool RecordReader::error_of_first_unreadable(std::string *error) const {
  for (const Record &r : window_) {
    if (r.unreadable.empty()) continue;
    *error = "line " + std::to_string(r.line) + ": " + r.unreadable;
    return true;
  }
  return false;
}

bool RecordReader::next(Record *r, std::string *error) {
  if (!window_.empty()) {
    std::swap(*r, window_.front());
    window_.pop_front();
    return true;
  }
  if (!window_error_.empty()) {
    *error = std::exchange(window_error_, std::string());
    return false;
  }
  return read_one(r, false, error);
}

// ---- the writer -----------------------------------------------------------------------------------

namespace {
constexpr uint8_t kQuote = 1, kHigh = 2;
}  // namespace

RecordWriter::RecordWriter(OutputStream &out, Format format, char separator, bool header)
    : out_(out), format_(format), sep_(separator), header_(header) {
  for (unsigned char c : {static_cast<unsigned char>(separator), static_cast<unsigned char>('"'),
                          static_cast<unsigned char>('\r'), static_cast<unsigned char>('\n')})
    byte_class_[c] |= kQuote;
  for (int c = 0x80; c < 0x100; ++c) byte_class_[c] |= kHigh;
}

void RecordWriter::begin(const std::vector<std::string> &columns) {
  columns_ = columns;
  if (format_ == Format::Jsonl || !header_) return;
  std::string line;
  for (size_t i = 0; i < columns.size(); ++i) {
    if (i) line.push_back(sep_);
    put_delimited(&line, columns[i]);
  }
  line.push_back('\n');
  write_raw(line);
}

bool RecordWriter::put_delimited(std::string *out, std::string_view value) const {
  std::string &o = *out;
  uint8_t seen = 0;
  for (char c : value) seen |= byte_class_[static_cast<unsigned char>(c)];
  if (format_ == Format::Tsv) {
    // Escaped, so that a value keeps its tabs, line breaks and backslashes and reads back whole.
    for (char c : value) {
      switch (c) {
        case '\t': o.append("\\t"); break;
        case '\n': o.append("\\n"); break;
        case '\r': o.append("\\r"); break;
        case '\\': o.append("\\\\"); break;
        default: o.push_back(c);
      }
    }
  } else if (!(seen & kQuote)) {
    o.append(value);
  } else {
    o.push_back('"');
    for (char c : value) {
      if (c == '"') o.push_back('"');
      o.push_back(c);
    }
    o.push_back('"');
  }
  return seen & kHigh;
}

RecordWriter::Written RecordWriter::format(const std::vector<std::string_view> &values, const std::vector<Kind> &kinds,
                                           std::string_view extra, std::string *out) const {
  std::string &line = *out;
  Written w;
  auto bad = [&](size_t i) {
    if (w.first_bad < 0) w.first_bad = static_cast<int>(i);
    ++w.bad_utf8;
  };
  if (format_ == Format::Jsonl) {
    line.push_back('{');
    bool first = true;
    for (size_t i = 0; i < values.size(); ++i) {
      if (kinds[i] == Kind::Omit) continue;
      if (!first) line.append(", ");
      first = false;
      put_json_string(out, columns_[i]);
      line.append(": ");
      switch (kinds[i]) {
        case Kind::Null: line.append("null"); break;
        case Kind::Json:
        case Kind::Boolean: line.append(values[i]); break;
        // Numbers JSON cannot write (infinity, NaN) are written as their text.
        case Kind::Number:
          if (is_json_number(values[i])) line.append(values[i]);
          else put_json_string(out, values[i]);
          break;
        case Kind::Text:
          if (put_json_string(out, values[i])) bad(i);
          break;
        case Kind::Omit: break;
      }
    }
    if (!extra.empty()) {
      if (!first) line.append(", ");
      line.append(extra);
    }
    line.append("}\n");
    return w;
  }
  for (size_t i = 0; i < values.size(); ++i) {
    if (i) line.push_back(sep_);
    if (kinds[i] != Kind::Null && kinds[i] != Kind::Omit && put_delimited(out, values[i]) && !valid_utf8(values[i])) bad(i);
  }
  line.push_back('\n');
  return w;
}
