// Record input and output for exprun: CSV (RFC 4180), TSV and JSON lines, UTF-8 throughout.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

enum class Format { Csv, Tsv, Jsonl };

// One input record: its fields in column order. A field may be null (JSON null, or a column
// the record lacks).
struct Record {
  std::vector<std::string> fields;
  std::vector<uint8_t> null;  // 1 where the field is null
  uint64_t line = 0;          // line of the input where the record starts
  void resize(size_t n) {
    fields.resize(n);
    null.assign(n, 0);
  }
};

// Buffered reading of bytes from a FILE*, with the count of bytes consumed (for progress).
class ByteSource {
 public:
  explicit ByteSource(std::FILE *f) : f_(f) {}
  // The next byte, or -1 at the end of the input.
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
  bool error() const { return std::ferror(f_) != 0; }

 private:
  bool refill();
  std::FILE *f_;
  char buf_[1 << 16];
  size_t pos_ = 0, len_ = 0;
  uint64_t consumed_ = 0;
};

// Reads records of one format. The first call, for formats with a header, also yields the
// column names.
class RecordReader {
 public:
  RecordReader(std::FILE *f, Format format, char separator, bool header);
  // Reads the header (or, without one, looks at the first record to count the columns).
  // Returns false on an empty input.
  bool read_header(std::vector<std::string> *columns, std::string *error);
  // The next record, mapped onto the columns. Returns false at the end of the input or on an
  // error (then *error is set).
  bool next(Record *r, std::string *error);
  uint64_t bytes_read() const { return src_.consumed(); }
  uint64_t line() const { return line_; }
  // The first time a record carried a field that is not a column (a JSON member the first record
  // lacks, a CSV line longer than the header), the text saying so; taken once, then empty.
  std::string take_notice() { return std::exchange(notice_, std::string()); }

 private:
  // Records the first field that is not a column; later ones are counted in silence.
  void note_dropped(uint64_t line, const std::string &what);
  bool read_delimited(std::vector<std::string> *fields, std::string *error);
  bool read_json(Record *r, std::string *error);
  bool read_json_line(std::string *line);

  ByteSource src_;
  Format format_;
  char sep_;
  bool header_;
  uint64_t line_ = 1;
  std::vector<std::string> columns_;
  std::vector<std::string> scratch_;
  bool pending_ = false;  // a record read while looking for the column count
  Record pending_record_;
  std::string json_line_;
  std::string notice_;
  bool noticed_ = false;
};

// Writes records with a header line (CSV/TSV) or as JSON objects.
class RecordWriter {
 public:
  RecordWriter(std::FILE *f, Format format, char separator, bool header)
      : f_(f), format_(format), sep_(separator), header_(header) {}
  void begin(const std::vector<std::string> &columns);
  // Values are given as text with a kind per field (for JSON typing and null).
  enum class Kind : uint8_t { Null, Text, Number, Boolean };
  void write(const std::vector<std::string_view> &values, const std::vector<Kind> &kinds);
  // Appends the formatted record to *out instead of writing it (for worker threads).
  void format(const std::vector<std::string_view> &values, const std::vector<Kind> &kinds, std::string *out);
  void write_raw(const std::string &text) { std::fwrite(text.data(), 1, text.size(), f_); }
  void flush() { std::fflush(f_); }

 private:
  void put_delimited(std::string *out, std::string_view value) const;
  static void put_json_string(std::string *out, std::string_view value);
  std::FILE *f_;
  Format format_;
  char sep_;
  bool header_;
  std::vector<std::string> columns_;
  std::string line_;
};
