// Plain, gzip and Zstandard streams over files and the standard streams.
#include "streams.h"

#include <sys/stat.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace {

bool ends_with(const std::string &s, const char *suffix) {
  size_t n = std::strlen(suffix);
  return s.size() > n && s.compare(s.size() - n, n, suffix) == 0;
}

uint64_t regular_size(std::FILE *f) {
  struct stat st;
  return fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
}

// Owns a FILE* unless it is one of the standard streams.
struct FileHandle {
  std::FILE *f = nullptr;
  bool owned = false;
  ~FileHandle() {
    if (owned && f) std::fclose(f);
  }
  bool close() {
    bool ok = true;
    if (f) ok = std::fflush(f) == 0 && !std::ferror(f);
    if (owned && f) ok = std::fclose(f) == 0 && ok;
    f = nullptr;
    return ok;
  }
};

bool open_file(const std::string &path, const char *mode, FileHandle *h, std::string *error) {
  if (path == "-") {
    h->f = mode[0] == 'r' ? stdin : stdout;
    return true;
  }
  h->f = std::fopen(path.c_str(), mode);
  h->owned = true;
  if (!h->f) *error = "cannot open " + path + ": " + std::strerror(errno);
  return h->f != nullptr;
}

class PlainInput : public InputStream {
 public:
  FileHandle h;
  uint64_t read_so_far = 0;
  long read(char *buf, size_t n) override {
    size_t got = std::fread(buf, 1, n, h.f);
    if (got == 0 && std::ferror(h.f)) {
      error_ = std::strerror(errno);
      return -1;
    }
    read_so_far += got;
    return static_cast<long>(got);
  }
  uint64_t file_bytes() const override { return read_so_far; }
};

// The first bytes of a stream, read to tell its compression, handed out again before the rest.
class ReplayInput : public InputStream {
 public:
  ReplayInput(std::unique_ptr<InputStream> source, const char *head, size_t n)
      : source_(std::move(source)), head_(head, n) {
    size_ = source_->size();
  }
  long read(char *buf, size_t n) override {
    if (pos_ < head_.size()) {
      size_t k = std::min(n, head_.size() - pos_);
      std::memcpy(buf, head_.data() + pos_, k);
      pos_ += k;
      return static_cast<long>(k);
    }
    long got = source_->read(buf, n);
    if (got < 0) error_ = source_->error();
    return got;
  }
  uint64_t file_bytes() const override { return source_->file_bytes(); }

 private:
  std::unique_ptr<InputStream> source_;
  std::string head_;
  size_t pos_ = 0;
};

// A decompressor over another stream: fills its input buffer from the source as it needs.
class Decompressor : public InputStream {
 public:
  Decompressor(std::unique_ptr<InputStream> source, size_t buffer) : source_(std::move(source)), in_(buffer) {
    size_ = source_->size();
  }
  uint64_t file_bytes() const override { return source_->file_bytes(); }

 protected:
  // Reads the next piece of compressed input: its size, 0 at the end, -1 on an error.
  long refill() {
    long got = source_->read(in_.data(), in_.size());
    if (got < 0) error_ = source_->error();
    return got;
  }
  long fail(const std::string &why) {
    error_ = why;
    return -1;
  }
  std::unique_ptr<InputStream> source_;
  std::vector<char> in_;
};

// gzip, one member or several in a row (as cat of .gz files makes).
class GzipInput : public Decompressor {
 public:
  explicit GzipInput(std::unique_ptr<InputStream> source) : Decompressor(std::move(source), 1 << 17) {
    ready_ = inflateInit2(&zs_, 16 + MAX_WBITS) == Z_OK;
  }
  ~GzipInput() override {
    if (ready_) inflateEnd(&zs_);
  }
  bool ready() const { return ready_; }
  long read(char *buf, size_t n) override {
    zs_.next_out = reinterpret_cast<Bytef *>(buf);
    zs_.avail_out = static_cast<uInt>(std::min<size_t>(n, 1u << 30));
    const uInt want = zs_.avail_out;
    while (zs_.avail_out == want) {
      if (zs_.avail_in == 0) {
        long got = refill();
        if (got < 0) return -1;
        if (got == 0) return in_member_ ? fail("gzip: the compressed input ends early") : 0;
        zs_.next_in = reinterpret_cast<Bytef *>(in_.data());
        zs_.avail_in = static_cast<uInt>(got);
      }
      in_member_ = true;
      int rc = inflate(&zs_, Z_NO_FLUSH);
      if (rc == Z_STREAM_END) {
        in_member_ = false;
        inflateReset(&zs_);
      } else if (rc != Z_OK && rc != Z_BUF_ERROR) {
        return fail(std::string("gzip: ") + (zs_.msg ? zs_.msg : "the compressed input is damaged"));
      }
    }
    return static_cast<long>(want - zs_.avail_out);
  }

 private:
  z_stream zs_{};
  bool ready_ = false;
  bool in_member_ = false;
};

class ZstdInput : public Decompressor {
 public:
  explicit ZstdInput(std::unique_ptr<InputStream> source) : Decompressor(std::move(source), ZSTD_DStreamInSize()) {}
  ~ZstdInput() override { ZSTD_freeDCtx(ctx_); }
  bool ready() const { return ctx_ != nullptr; }
  long read(char *buf, size_t n) override {
    ZSTD_outBuffer dst{buf, n, 0};
    while (dst.pos == 0) {
      if (src_.pos == src_.size) {
        long got = refill();
        if (got < 0) return -1;
        if (got == 0) return frame_open_ ? fail("zstd: the compressed input ends early") : 0;
        src_ = {in_.data(), static_cast<size_t>(got), 0};
      }
      size_t rc = ZSTD_decompressStream(ctx_, &dst, &src_);
      if (ZSTD_isError(rc)) return fail(std::string("zstd: ") + ZSTD_getErrorName(rc));
      frame_open_ = rc != 0;
    }
    return static_cast<long>(dst.pos);
  }

 private:
  ZSTD_DCtx *ctx_ = ZSTD_createDCtx();
  ZSTD_inBuffer src_{nullptr, 0, 0};
  bool frame_open_ = false;
};

class PlainOutput : public OutputStream {
 public:
  FileHandle h;
  bool write(const char *buf, size_t n) override {
    if (std::fwrite(buf, 1, n, h.f) == n) return true;
    error_ = std::strerror(errno);
    return false;
  }
  bool flush() override { return std::fflush(h.f) == 0 || fail(); }
  bool close() override { return h.close() || fail(); }
  bool fail() {
    error_ = std::strerror(errno);
    return false;
  }
};

class GzipOutput : public OutputStream {
 public:
  gzFile gz = nullptr;
  ~GzipOutput() override {
    if (gz) gzclose(gz);
  }
  bool write(const char *buf, size_t n) override {
    while (n > 0) {
      unsigned part = static_cast<unsigned>(std::min<size_t>(n, 1u << 30));
      if (gzwrite(gz, buf, part) != static_cast<int>(part)) return fail();
      buf += part;
      n -= part;
    }
    return true;
  }
  bool flush() override { return true; }  // a gzip flush would weaken the compression
  bool close() override {
    int rc = gzclose(gz);
    gz = nullptr;
    if (rc != Z_OK) error_ = "gzip: cannot finish the output";
    return rc == Z_OK;
  }
  bool fail() {
    int code;
    error_ = std::string("gzip: ") + gzerror(gz, &code);
    return false;
  }
};

class ZstdOutput : public OutputStream {
 public:
  FileHandle h;
  ZSTD_CCtx *ctx = ZSTD_createCCtx();
  std::vector<char> out = std::vector<char>(ZSTD_CStreamOutSize());
  ~ZstdOutput() override { ZSTD_freeCCtx(ctx); }
  bool write(const char *buf, size_t n) override {
    ZSTD_inBuffer src{buf, n, 0};
    while (src.pos < src.size)
      if (!step(&src, ZSTD_e_continue)) return false;
    return true;
  }
  bool flush() override { return true; }
  bool close() override {
    ZSTD_inBuffer src{nullptr, 0, 0};
    size_t left = 1;
    while (left != 0) {
      ZSTD_outBuffer dst{out.data(), out.size(), 0};
      left = ZSTD_compressStream2(ctx, &dst, &src, ZSTD_e_end);
      if (ZSTD_isError(left)) return fail(ZSTD_getErrorName(left));
      if (std::fwrite(out.data(), 1, dst.pos, h.f) != dst.pos) return fail(std::strerror(errno));
    }
    return h.close() || fail(std::strerror(errno));
  }
  bool step(ZSTD_inBuffer *src, ZSTD_EndDirective mode) {
    ZSTD_outBuffer dst{out.data(), out.size(), 0};
    size_t rc = ZSTD_compressStream2(ctx, &dst, src, mode);
    if (ZSTD_isError(rc)) return fail(ZSTD_getErrorName(rc));
    if (std::fwrite(out.data(), 1, dst.pos, h.f) != dst.pos) return fail(std::strerror(errno));
    return true;
  }
  bool fail(const std::string &why) {
    error_ = "zstd: " + why;
    return false;
  }
};

}  // namespace

std::unique_ptr<InputStream> InputStream::open(const std::string &path, std::string *error) {
  auto plain = std::make_unique<PlainInput>();
  if (!open_file(path, "rb", &plain->h, error)) return nullptr;
  plain->size_ = regular_size(plain->h.f);
  // The first bytes tell the compression, whatever the name (standard input has none).
  char head[4];
  size_t n = 0;
  for (long got; n < sizeof head && (got = plain->read(head + n, sizeof head - n)) > 0;) n += static_cast<size_t>(got);
  if (!plain->error().empty()) {
    *error = "cannot read " + path + ": " + plain->error();
    return nullptr;
  }
  auto start = std::make_unique<ReplayInput>(std::move(plain), head, n);
  static const unsigned char kGzip[] = {0x1F, 0x8B}, kZstd[] = {0x28, 0xB5, 0x2F, 0xFD};
  if (n >= 2 && std::memcmp(head, kGzip, 2) == 0) {
    auto s = std::make_unique<GzipInput>(std::move(start));
    if (s->ready()) return s;
  } else if (n >= 4 && std::memcmp(head, kZstd, 4) == 0) {
    auto s = std::make_unique<ZstdInput>(std::move(start));
    if (s->ready()) return s;
  } else {
    return start;
  }
  *error = "out of memory";
  return nullptr;
}

std::unique_ptr<OutputStream> OutputStream::open(const std::string &path, std::string *error) {
  if (path != "-" && ends_with(path, ".gz")) {
    auto s = std::make_unique<GzipOutput>();
    s->gz = gzopen(path.c_str(), "wb");
    if (!s->gz) {
      *error = "cannot create " + path + ": " + std::strerror(errno);
      return nullptr;
    }
    return s;
  }
  if (path != "-" && ends_with(path, ".zst")) {
    auto s = std::make_unique<ZstdOutput>();
    if (!s->ctx) {
      *error = "out of memory";
      return nullptr;
    }
    if (!open_file(path, "wb", &s->h, error)) return nullptr;
    return s;
  }
  auto s = std::make_unique<PlainOutput>();
  if (!open_file(path, "wb", &s->h, error)) return nullptr;
  return s;
}
