// Record input and output for exprun: CSV (RFC 4180), TSV and JSON lines, UTF-8 throughout.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "json.h"
#include "streams.h"

enum class Format { Csv, Tsv, Jsonl };

// How a field was read: text of delimited input, null (JSON null, or a column the record lacks),
// a JSON string (unescaped), or another JSON literal kept as its exact text.
enum class FieldKind : uint8_t { Text, Null, Quoted, Number, Boolean, Nested };

// Whether the field is a JSON literal other than a string, written back as its exact text.
inline bool is_json_literal(FieldKind k) { return k >= FieldKind::Number; }

// One input record: its fields in column order.
struct Record {
  std::vector<std::string> fields;
  std::vector<FieldKind> kinds;
  uint64_t line = 0;  // line of the input where the record starts
  // Why the record cannot be taken as read (a JSON line that does not parse, a member named twice
  // or first seen after the columns were set, a line with the wrong number of fields), or empty.
  // It fails as an input error, so --on-error decides its fate.
  std::string unreadable;
  // The text of a JSON line that could not be taken whole, so that --on-error null keeps it.
  std::string raw;
  // Members first seen after the columns were set, as JSON text ("name": value, ...), carried
  // to JSON output as they were read.
  std::string extra;
  void resize(size_t n) {
    fields.resize(n);
    kinds.assign(n, FieldKind::Text);
  }
};

// The bytes of one string as an input stream.
class MemoryInput : public InputStream {
 public:
  explicit MemoryInput(std::string_view data) : data_(data) {}
  long read(char *buf, size_t n) override {
    n = std::min(n, data_.size() - pos_);
    std::copy_n(data_.data() + pos_, n, buf);
    pos_ += n;
    return static_cast<long>(n);
  }

 private:
  std::string_view data_;
  size_t pos_ = 0;
};

// Buffered reading of bytes from an input stream, with the count of bytes consumed.
class ByteSource {
 public:
  explicit ByteSource(InputStream &in) : in_(in) {}
  // The next byte, or -1 at the end of the input (or on a read error: error()).
  int get() {
    if (pos_ == len_ && !refill()) return -1;
    ++consumed_;
    return static_cast<unsigned char>(buf_[pos_++]);
  }
  int peek() {
    if (pos_ == len_ && !refill()) return -1;
    return static_cast<unsigned char>(buf_[pos_]);
  }
  uint64_t consumed() const { return consumed_; }
  bool failed() const { return failed_; }
  const std::string &error() const { return in_.error(); }

 private:
  bool refill();
  InputStream &in_;
  std::vector<char> buf_ = std::vector<char>(1 << 16);
  size_t pos_ = 0, len_ = 0;
  uint64_t consumed_ = 0;
  bool failed_ = false;
};

struct ReaderOptions {
  Format format = Format::Csv;
  char separator = ',';
  bool header = true;        // CSV/TSV input starts with a header line
  bool allow_ragged = false; // CSV/TSV lines may have other field counts; fields past the header become c<N>
  // JSON members first seen after the window: an input error of their record, carried in
  // Record::extra (to JSON output), or ignored (the output names its columns).
  enum class Late : uint8_t { Refuse, Carry, Ignore } late = Late::Refuse;
  // The window: records read ahead to find the columns (JSON members, ragged fields) and to
  // sample their values: at least `window` records, and on to the end of the first
  // `window_bytes` of input unless `window_max` records come first.
  size_t window = 1000;
  size_t window_bytes = size_t{1} << 20;
  size_t window_max = 100000;
};

// Reads records of one format. The columns are the header's (or c1, c2, ... without one), then
// for JSON lines and ragged CSV whatever new names the window brings. A record that does not fit
// the columns (a field count other than the header's, a member first seen after the window) is
// not cut to fit: it carries the reason in Record::unreadable.
class RecordReader {
 public:
  RecordReader(InputStream &in, const ReaderOptions &o);
  // A reader of a part of an input that starts at a record boundary on line `first_line`, with
  // the columns already known (no header, no window).
  RecordReader(InputStream &in, const ReaderOptions &o, const std::vector<std::string> &columns, uint64_t first_line);
  // Reads the header and the first window of records. Returns false on an empty input or an
  // error in the header (then *error is set).
  bool start(std::vector<std::string> *columns, std::string *error);
  // The records read ahead (for inferring column types).
  const std::deque<Record> &window() const { return window_; }
  // Hands the records read ahead over (next() then goes on after them).
  std::deque<Record> take_window() { return std::exchange(window_, {}); }
  // The next record, mapped onto the columns. Returns false at the end of the input or on an
  // error (then *error is set).
  bool next(Record *r, std::string *error);
  // Reads the bytes of whole records into *out: at least `want` bytes unless the input ends, then
  // on to the end of a record (a line break outside quoted fields), so that another reader can
  // parse them. *first_line is the line they start on. False at the end of the input.
  bool read_chunk(std::string *out, size_t want, uint64_t *first_line, std::string *error);
  uint64_t bytes_read() const { return src_.consumed(); }

 private:
  bool read_delimited(std::vector<std::string> *fields, std::string *error);
  bool read_one(Record *r, bool learning, std::string *error);
  // Sets *error to the first unreadable record of the window, with its line; false if none.
  bool error_of_first_unreadable(std::string *error) const;
  bool read_csv_record(Record *r, bool learning, std::string *error);
  bool read_json(Record *r, bool learning, std::string *error);
  bool read_json_line(std::string *line);
  void late_member(Record *r, const std::string &key, const std::string &value, JsonKind kind);
  std::string window_words() const;
  void skip_bom();

  ByteSource src_;
  ReaderOptions o_;
  uint64_t line_ = 1;
  uint64_t record_line_ = 1;  // where the record read_delimited read last starts
  std::vector<std::string> columns_;
  std::unordered_map<std::string, size_t> column_index_;  // JSON member name to column
  std::vector<std::string> scratch_;
  std::deque<Record> window_;
  std::string window_error_;
  std::string json_line_;
  std::vector<uint64_t> seen_;      // per column: the JSON record that set it last
  uint64_t serial_ = 0;             // JSON records read
};

// Writes records with a header line (CSV/TSV) or as JSON objects.
class RecordWriter {
 public:
  RecordWriter(OutputStream &out, Format format, char separator, bool header);
  // Writes the header line (CSV/TSV with a header).
  void begin(const std::vector<std::string> &columns);
  // How a value is written: null, text, a number or boolean (bare in JSON when JSON has the form),
  // JSON text passed through (bare in JSON, as its text in CSV/TSV), or nothing (a JSON member
  // left out, an empty CSV field).
  enum class Kind : uint8_t { Null, Text, Number, Boolean, Json, Omit };
  // What writing a record met: values whose bytes are not UTF-8 (written as read to CSV/TSV, with
  // U+FFFD for the bad bytes to JSON), and the first of them.
  struct Written {
    uint32_t bad_utf8 = 0;
    int first_bad = -1;
  };
  // Appends the formatted record to *out; `extra` (JSON members as text) is added to a JSON
  // object.
  Written format(const std::vector<std::string_view> &values, const std::vector<Kind> &kinds, std::string_view extra,
                 std::string *out) const;
  // Writes formatted text; false on a write error (error()).
  bool write_raw(const std::string &text) { return out_.write(text.data(), text.size()); }
  bool flush() { return out_.flush(); }
  const std::string &error() const { return out_.error(); }

 private:
  // Appends a CSV/TSV field; returns whether it holds a byte above 0x7F.
  bool put_delimited(std::string *out, std::string_view value) const;
  OutputStream &out_;
  Format format_;
  char sep_;
  bool header_;
  std::vector<std::string> columns_;
  uint8_t byte_class_[256] = {};  // per byte: kQuote (CSV must quote the field), kHigh (not ASCII)
};
