// Fuzz target: exprun's record readers and writers. The first byte picks the format, the
// separator, whether there is a header and whether fields past the header become columns; the
// rest is the input file. Three properties are checked on hostile text:
// - the records a reader reads from the whole input equal those that readers of the pieces
//   read_chunk cuts read (the workers' way), lines included;
// - every record written as a JSON line parses back to the same values;
// - the writers never fail on any value (quoting and escaping see everything).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "json.h"
#include "records.h"

namespace {

constexpr size_t kMaxRecords = 2000;
constexpr char kSeparators[] = {',', ';', '\t', '|'};

// A sink that keeps nothing.
class NullOutput : public OutputStream {
 public:
  bool write(const char *, size_t) override { return true; }
  bool flush() override { return true; }
  bool close() override { return true; }
};

// Writes the record as a JSON line and reads it back: text values must come back unchanged
// when they are valid UTF-8 (others are written with U+FFFD).
void check_json_round_trip(const Record &r, const std::vector<std::string> &columns) {
  NullOutput sink;
  RecordWriter w(sink, Format::Jsonl, ',', true);
  w.begin(columns);
  std::vector<std::string_view> values;
  std::vector<RecordWriter::Kind> kinds;
  for (size_t k = 0; k < columns.size(); ++k) {
    values.emplace_back(r.fields[k]);
    kinds.push_back(r.kinds[k] == FieldKind::Null    ? RecordWriter::Kind::Null
                    : is_json_literal(r.kinds[k]) ? RecordWriter::Kind::Json
                                                  : RecordWriter::Kind::Text);
  }
  std::string line;
  RecordWriter::Written written = w.format(values, kinds, r.extra, &line);
  std::vector<std::string> back;
  std::string error;
  bool ok = parse_json_object(
      line, [&](std::string &&, std::string &&value, JsonKind) { back.push_back(std::move(value)); }, &error);
  // Column names repeat in hostile headers, and JSON keeps each member: the count still matches.
  if (!ok || back.size() != columns.size()) std::abort();
  uint32_t bad = 0;
  for (size_t k = 0; k < columns.size(); ++k) {
    if (kinds[k] != RecordWriter::Kind::Text) continue;
    if (!valid_utf8(r.fields[k])) ++bad;
    else if (back[k] != r.fields[k]) std::abort();
  }
  // Values that are not UTF-8 are counted by JSON and delimited writers alike.
  if (written.bad_utf8 != bad) std::abort();
  for (Format f : {Format::Csv, Format::Tsv}) {
    RecordWriter d(sink, f, f == Format::Tsv ? '\t' : ',', true);
    d.begin(columns);
    std::string out;
    if (d.format(values, kinds, {}, &out).bad_utf8 != bad) std::abort();
  }
}

bool same(const Record &a, const Record &b) {
  return a.fields == b.fields && a.kinds == b.kinds && a.line == b.line && a.unreadable == b.unreadable &&
         a.raw == b.raw && a.extra == b.extra;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const uint8_t mode = data[0];
  ReaderOptions o;
  o.format = static_cast<Format>(mode % 3);
  o.separator = kSeparators[(mode >> 2) % 4];
  o.header = (mode & 0x10) != 0;
  o.allow_ragged = (mode & 0x20) != 0;
  o.window = 4;  // exactly: the pieces after it are read as the workers read them
  o.window_bytes = 0;
  std::string_view text(reinterpret_cast<const char *>(data + 1), size - 1);

  // The whole input, read as one reader reads it.
  MemoryInput whole_in(text);
  RecordReader whole(whole_in, o);
  std::vector<std::string> columns;
  std::string error;
  if (!whole.start(&columns, &error)) return 0;
  std::vector<Record> expected;
  for (Record r; expected.size() < kMaxRecords && whole.next(&r, &error);) {
    if (r.fields.size() != columns.size() || r.kinds.size() != columns.size()) std::abort();
    check_json_round_trip(r, columns);
    expected.push_back(std::move(r));
  }
  if (expected.size() == kMaxRecords) return 0;
  const bool failed = !error.empty();

  // The same input cut into small pieces after the window, each read by a reader of its own.
  MemoryInput cut_in(text);
  RecordReader cutter(cut_in, o);
  std::vector<std::string> columns2;
  std::string error2;
  if (!cutter.start(&columns2, &error2) || columns2 != columns) std::abort();
  std::vector<Record> got;
  for (Record &w : cutter.take_window()) got.push_back(std::move(w));
  std::string chunk;
  uint64_t first_line = 0;
  while (error2.empty() && cutter.read_chunk(&chunk, 1 + mode % 7, &first_line, &error2)) {
    MemoryInput piece_in(chunk);
    RecordReader piece(piece_in, o, columns, first_line);
    for (Record r; piece.next(&r, &error2);) got.push_back(std::move(r));
  }
  // Where the whole input failed, the pieces fail too (perhaps at a different record of the
  // same broken line); up to there the records are the same.
  if (failed != !error2.empty()) std::abort();
  size_t n = std::min(expected.size(), got.size());
  if (!failed && expected.size() != got.size()) std::abort();
  for (size_t i = 0; i < n; ++i)
    if (!same(expected[i], got[i])) std::abort();
  return 0;
}
