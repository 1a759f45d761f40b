// Byte streams of exprun's inputs and outputs: files, standard input and output ("-"), and gzip
// or Zstandard compression: an input is decompressed when its first bytes are those of a
// compressed stream, an output is compressed when its name ends in .gz or .zst.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

class InputStream {
 public:
  virtual ~InputStream() = default;
  // Opens `path` ("-" is standard input). Returns none with *error saying why.
  static std::unique_ptr<InputStream> open(const std::string &path, std::string *error);
  // Reads up to n bytes into buf. Returns the count, 0 at the end, or -1 on an error (error()).
  virtual long read(char *buf, size_t n) = 0;
  // Bytes read from the file so far (compressed bytes for a compressed input), for progress.
  virtual uint64_t file_bytes() const { return 0; }
  // Size of the file on disk when it is a regular file (compressed size for compressed files), else 0.
  uint64_t size() const { return size_; }
  const std::string &error() const { return error_; }

 protected:
  uint64_t size_ = 0;
  std::string error_;
};

class OutputStream {
 public:
  virtual ~OutputStream() = default;
  // Opens `path` for writing ("-" is standard output). Returns none with *error saying why.
  static std::unique_ptr<OutputStream> open(const std::string &path, std::string *error);
  // Writes all n bytes; false on an error (error()).
  virtual bool write(const char *buf, size_t n) = 0;
  // Pushes buffered bytes out (standard output stays usable).
  virtual bool flush() = 0;
  // Writes the end of the stream (the compressed trailer) and closes the file.
  virtual bool close() = 0;
  const std::string &error() const { return error_; }

 protected:
  std::string error_;
};
