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
  long read(char *buf, size_t n) override {
    size_t got = std::fread(buf, 1, n, h.f);
    if (got == 0 && std::ferror(h.f)) {
      error_ = std::strerror(errno);
      return -1;
    }
    return static_cast<long>(got);
  }
};

class GzipInput : public InputStream {
 public:
  gzFile gz = nullptr;
  ~GzipInput() override {
    if (gz) gzclose(gz);
  }
  long read(char *buf, size_t n) override {
    int got = gzread(gz, buf, static_cast<unsigned>(std::min<size_t>(n, 1u << 30)));
    if (got < 0) {
      int code;
      error_ = std::string("gzip: ") + gzerror(gz, &code);
      return -1;
    }
    return got;
  }
};

class ZstdInput : public InputStream {
 public:
  FileHandle h;
  ZSTD_DCtx *ctx = ZSTD_createDCtx();
  std::vector<char> in = std::vector<char>(ZSTD_DStreamInSize());
  ZSTD_inBuffer src{in.data(), 0, 0};
  bool frame_open = false;
  ~ZstdInput() override { ZSTD_freeDCtx(ctx); }
  long read(char *buf, size_t n) override {
    ZSTD_outBuffer dst{buf, n, 0};
    while (dst.pos == 0) {
      if (src.pos == src.size) {
        size_t got = std::fread(in.data(), 1, in.size(), h.f);
        if (got == 0) {
          if (std::ferror(h.f)) return fail(std::strerror(errno));
          if (frame_open) return fail("zstd: the compressed input ends early");
          return 0;
        }
        src = {in.data(), got, 0};
      }
      size_t rc = ZSTD_decompressStream(ctx, &dst, &src);
      if (ZSTD_isError(rc)) return fail(std::string("zstd: ") + ZSTD_getErrorName(rc));
      frame_open = rc != 0;
    }
    return static_cast<long>(dst.pos);
  }
  long fail(const std::string &why) {
    error_ = why;
    return -1;
  }
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
  if (path != "-" && ends_with(path, ".gz")) {
    auto s = std::make_unique<GzipInput>();
    FileHandle probe;
    if (!open_file(path, "rb", &probe, error)) return nullptr;
    s->size_ = regular_size(probe.f);
    probe.close();
    s->gz = gzopen(path.c_str(), "rb");
    if (!s->gz) {
      *error = "cannot open " + path + ": " + std::strerror(errno);
      return nullptr;
    }
    gzbuffer(s->gz, 1 << 17);
    return s;
  }
  if (path != "-" && ends_with(path, ".zst")) {
    auto s = std::make_unique<ZstdInput>();
    if (!s->ctx) {
      *error = "out of memory";
      return nullptr;
    }
    if (!open_file(path, "rb", &s->h, error)) return nullptr;
    s->size_ = regular_size(s->h.f);
    return s;
  }
  auto s = std::make_unique<PlainInput>();
  if (!open_file(path, "rb", &s->h, error)) return nullptr;
  s->size_ = regular_size(s->h.f);
  return s;
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
