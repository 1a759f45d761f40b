// Files and directories over POSIX calls.
#include "support/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>

struct np_file {
  int fd;
  bool seekable;  // pipes and terminals are read a byte at a time by np_fio_gets
};

namespace {

// A descriptor closed when it goes out of scope, unless released.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor &) = delete;
  Descriptor &operator=(const Descriptor &) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

int open_flags(int flags) {
  bool read = flags & NP_FIO_READ, write = flags & NP_FIO_WRITE;
  int access = read && write ? O_RDWR : (write ? O_WRONLY : O_RDONLY);
  return access | ((flags & NP_FIO_CREATE) ? O_CREAT : 0) | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
}

// One read() that retries when a signal interrupts it.
ssize_t read_once(int fd, void *buffer, size_t count) {
  ssize_t n;
  do n = ::read(fd, buffer, count);
  while (n < 0 && errno == EINTR);
  return n;
}

// Reads until `count` bytes or end of file; -1 only when nothing could be read.
int64_t read_fully(int fd, char *buffer, size_t count) {
  size_t total = 0;
  while (total < count) {
    ssize_t n = read_once(fd, buffer + total, count - total);
    if (n < 0) return total > 0 ? static_cast<int64_t>(total) : -1;
    if (n == 0) break;
    total += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(total);
}

// Writes all `count` bytes; returns the count, or -1 when a write fails before any byte went out.
int64_t write_fully(int fd, const char *buffer, size_t count) {
  size_t total = 0;
  while (total < count) {
    ssize_t n = ::write(fd, buffer + total, count - total);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return total > 0 ? static_cast<int64_t>(total) : -1;
    total += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(total);
}

// A line of a seekable file: one read of the room, then the position moves back to just after
// the first line feed.
int64_t gets_seekable(int fd, char *buffer, size_t room) {
  int64_t n = read_fully(fd, buffer, room);
  if (n <= 0) return n;
  const void *lf = std::memchr(buffer, '\n', static_cast<size_t>(n));
  int64_t keep = lf ? static_cast<const char *>(lf) - buffer + 1 : n;
  if (keep < n && ::lseek(fd, keep - n, SEEK_CUR) < 0) return -1;
  return keep;
}

// A line of a stream that cannot seek back: read a byte at a time so nothing is consumed past it.
int64_t gets_stream(int fd, char *buffer, size_t room) {
  size_t n = 0;
  while (n < room) {
    ssize_t got = read_once(fd, buffer + n, 1);
    if (got < 0) return n > 0 ? static_cast<int64_t>(n) : -1;
    if (got == 0) break;
    if (buffer[n++] == '\n') break;
  }
  return static_cast<int64_t>(n);
}

// Copies all bytes of `in` to `out`. Returns 0 or an errno value.
int copy_bytes(int in, int out) {
  constexpr size_t kChunk = 64 * 1024;
  std::unique_ptr<char[]> chunk(new (std::nothrow) char[kChunk]);
  if (!chunk) return ENOMEM;
  for (;;) {
    ssize_t n = read_once(in, chunk.get(), kChunk);
    if (n < 0) return errno;
    if (n == 0) return 0;
    if (write_fully(out, chunk.get(), static_cast<size_t>(n)) != n) return errno ? errno : EIO;
  }
}

int errno_or(int fallback) { return errno ? errno : fallback; }

// Creates the directory `path` unless a directory of that name exists. 0 or an errno value.
int ensure_directory(const std::string &path) {
  if (::mkdir(path.c_str(), 0777) == 0) return 0;
  int rc = errno_or(EIO);
  struct stat st;
  return rc == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? 0 : rc;
}

}  // namespace

int np_fio_open(const char *path, int flags, np_file **out) {
  *out = nullptr;
  if (!path || !(flags & (NP_FIO_READ | NP_FIO_WRITE))) return EINVAL;
  Descriptor fd(::open(path, open_flags(flags), 0666));
  if (fd.get() < 0) return errno_or(EIO);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return errno_or(EIO);
  if (S_ISDIR(st.st_mode)) return EISDIR;
  if (!S_ISREG(st.st_mode) && !(flags & NP_FIO_SPECIAL)) return ENODEV;
  // Opening did not wait; reads and writes of an allowed special file wait as usual.
  int status = ::fcntl(fd.get(), F_GETFL);
  if (status < 0 || ::fcntl(fd.get(), F_SETFL, status & ~O_NONBLOCK) != 0) return errno_or(EIO);
  auto *f = new (std::nothrow) np_file{fd.get(), ::lseek(fd.get(), 0, SEEK_CUR) >= 0};
  if (!f) return ENOMEM;
  fd.release();
  *out = f;
  return 0;
}

void np_fio_close(np_file *f) {
  if (!f) return;
  ::close(f->fd);
  delete f;
}

int64_t np_fio_seek64(np_file *f, int64_t offset, int origin) {
  static constexpr int kWhence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
  if (!f || origin < 0 || origin > 2) return -1;
  off_t at = ::lseek(f->fd, static_cast<off_t>(offset), kWhence[origin]);
  return at < 0 ? -1 : static_cast<int64_t>(at);
}

int64_t np_fio_gets(np_file *f, char *buffer, size_t size) {
  if (!f || !buffer || size == 0) return -1;
  int64_t n = f->seekable ? gets_seekable(f->fd, buffer, size - 1) : gets_stream(f->fd, buffer, size - 1);
  buffer[n > 0 ? n : 0] = '\0';
  return n;
}

int64_t np_fio_getb(np_file *f, void *buffer, size_t count) {
  if (!f || !buffer) return -1;
  return read_fully(f->fd, static_cast<char *>(buffer), count);
}

int64_t np_fio_putb(np_file *f, const void *buffer, size_t count) {
  if (!f || !buffer) return -1;
  return write_fully(f->fd, static_cast<const char *>(buffer), count);
}

int np_fio_stat(const char *path, np_fio_status *status) {
  if (!path) return EINVAL;
  struct statx stx;
  unsigned mask = STATX_BTIME | STATX_MTIME | STATX_CTIME;
  if (::statx(AT_FDCWD, path, 0, mask, &stx) != 0) return errno_or(EIO);
  if (status) {
    status->created = (stx.stx_mask & STATX_BTIME) ? stx.stx_btime.tv_sec : stx.stx_ctime.tv_sec;
    status->modified = stx.stx_mtime.tv_sec;
  }
  return 0;
}

int np_fio_unlink(const char *path) {
  if (!path) return EINVAL;
  return ::unlink(path) == 0 ? 0 : errno_or(EIO);
}

int np_fio_rename(const char *from, const char *to) {
  if (!from || !to) return EINVAL;
  if (::rename(from, to) == 0) return 0;
  if (errno != EXDEV) return errno_or(EIO);
  if (int rc = np_fio_copy(from, to, NP_FIO_OVERWRITE)) return rc;
  return np_fio_unlink(from);
}

int np_fio_copy(const char *from, const char *to, int flags) {
  if (!from || !to) return EINVAL;
  Descriptor in(::open(from, O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) return errno_or(EIO);
  struct stat src, dst;
  if (::fstat(in.get(), &src) != 0) return errno_or(EIO);
  if (!S_ISREG(src.st_mode)) return EINVAL;
  if (::stat(to, &dst) == 0) {
    if (dst.st_dev == src.st_dev && dst.st_ino == src.st_ino) return EINVAL;
    if (!(flags & NP_FIO_OVERWRITE)) return EEXIST;
  }
  int create = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | ((flags & NP_FIO_OVERWRITE) ? 0 : O_EXCL);
  Descriptor out(::open(to, create, src.st_mode & 07777));
  if (out.get() < 0) return errno_or(EIO);
  int rc = copy_bytes(in.get(), out.get());
  if (::close(out.release()) != 0 && rc == 0) rc = errno_or(EIO);
  if (rc != 0) ::unlink(to);
  return rc;
}

int np_dir_create(const char *path, int flags) {
  if (!path || !*path) return EINVAL;
  if (flags & NP_DIR_PARENTS) {
    std::string target(path);
    while (target.size() > 1 && target.back() == '/') target.pop_back();
    for (size_t at = target.find('/', 1); at != std::string::npos; at = target.find('/', at + 1)) {
      if (target[at - 1] == '/') continue;
      if (int rc = ensure_directory(target.substr(0, at))) return rc;
    }
  }
  return ::mkdir(path, 0777) == 0 ? 0 : errno_or(EIO);
}

int np_dir_unlink(const char *path) {
  if (!path) return EINVAL;
  return ::rmdir(path) == 0 ? 0 : errno_or(EIO);
}
