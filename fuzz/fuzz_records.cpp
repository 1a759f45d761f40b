// Fuzz target: exprun's record readers and writers. The first byte picks the format, the
// separator and whether there is a header; the rest is the input file. Every record read is
// written back in each output format, so the writers' quoting and escaping see hostile text too.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "records.h"

namespace {

constexpr int kMaxRecords = 2000;
constexpr char kSeparators[] = {',', ';', '\t', '|'};

// Formats a record in every output format (in memory), one value per column as exprun does:
// fields beyond the columns are dropped, missing ones are null.
void write_back(std::FILE *sink, const Record &r, const std::vector<std::string> &columns) {
  std::vector<std::string_view> values;
  std::vector<RecordWriter::Kind> kinds;
  for (size_t k = 0; k < columns.size(); ++k) {
    bool present = k < r.fields.size() && !r.null[k];
    values.emplace_back(present ? std::string_view(r.fields[k]) : std::string_view());
    kinds.push_back(present ? static_cast<RecordWriter::Kind>(1 + k % 3) : RecordWriter::Kind::Null);
  }
  for (Format f : {Format::Csv, Format::Tsv, Format::Jsonl}) {
    RecordWriter w(sink, f, f == Format::Tsv ? '\t' : ',', true);
    w.begin(columns);
    std::string out;
    w.format(values, kinds, &out);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const uint8_t mode = data[0];
  const Format format = static_cast<Format>(mode % 3);
  const char sep = kSeparators[(mode >> 2) % 4];
  const bool header = (mode & 0x10) != 0;
  std::FILE *f = fmemopen(const_cast<uint8_t *>(data + 1), size - 1 ? size - 1 : 1, "rb");
  if (!f) return 0;
  if (size == 1) std::fgetc(f);  // an empty input: fmemopen needs a buffer of at least one byte
  std::FILE *sink = std::fopen("/dev/null", "wb");
  if (!sink) {
    std::fclose(f);
    return 0;
  }
  RecordReader reader(f, format, sep, header);
  std::vector<std::string> columns;
  std::string error;
  if (reader.read_header(&columns, &error)) {
    Record r;
    for (int n = 0; n < kMaxRecords && reader.next(&r, &error); ++n) {
      if (r.fields.size() != r.null.size()) std::abort();
      write_back(sink, r, columns);
    }
  }
  std::fclose(sink);
  std::fclose(f);
  return 0;
}
