// Files and directories over POSIX calls.
#include "support/files.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
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
  void reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

int errno_or(int fallback) { return errno ? errno : fallback; }

// Types (statfs's f_type) of the kernel's pseudo file systems: their files show the state of
// processes and of the machine (memory, environment, settings), not stored data.
constexpr uint32_t kPseudoFileSystems[] = {
    PROC_SUPER_MAGIC,   SYSFS_MAGIC,         DEBUGFS_MAGIC,        TRACEFS_MAGIC,  SECURITYFS_MAGIC,
    SELINUX_MAGIC,      SMACK_MAGIC,         CGROUP_SUPER_MAGIC,   CGROUP2_SUPER_MAGIC, RDTGROUP_SUPER_MAGIC,
    BPF_FS_MAGIC,       DEVPTS_SUPER_MAGIC,  EFIVARFS_MAGIC,       PSTOREFS_MAGIC, BINFMTFS_MAGIC,
    NSFS_MAGIC,         ANON_INODE_FS_MAGIC, USBDEVICE_SUPER_MAGIC,
    0x62656570u,  // configfs
    0x65735543u,  // fusectl
    0x19800202u,  // mqueue
};

// 0 when the file or directory open at `fd` may be used under `flags`; NP_FIO_REFUSED when it
// lies on a pseudo file system and NP_FIO_PSEUDO is not among them; an errno value when its file
// system cannot be told.
int check_file_system(int fd, int flags) {
  if (flags & NP_FIO_PSEUDO) return 0;
  struct statfs info;
  if (::fstatfs(fd, &info) != 0) return errno_or(EIO);
  const auto type = static_cast<uint32_t>(info.f_type);
  for (uint32_t pseudo : kPseudoFileSystems)
    if (type == pseudo) return NP_FIO_REFUSED;
  return 0;
}

// ENODEV when `path` names something that exists and is neither a regular file nor a directory
// and NP_FIO_SPECIAL is not in `flags`, else 0. Asked before opening: opening a device can act
// by itself (a tape rewinds, a watchdog starts), so what would be refused is not opened at all.
int refuse_special(const char *path, int flags) {
  if (flags & NP_FIO_SPECIAL) return 0;
  struct stat st;
  if (::stat(path, &st) != 0) return 0;  // missing: opening reports it, or creates the file
  return S_ISREG(st.st_mode) || S_ISDIR(st.st_mode) ? 0 : ENODEV;
}

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

// The directory holding the last component of a path, open for the *at calls, and that
// component: an operation on the name then acts in the very directory whose file system was
// checked, whatever the path's text says.
struct PlaceInDirectory {
  Descriptor dir{-1};
  std::string name;
};

// Opens the directory of `path`'s last component (trailing slashes dropped; "." for a name
// without a directory) and checks its file system under `flags`. 0, NP_FIO_REFUSED or an errno.
int open_place(const char *path, int flags, PlaceInDirectory *out) {
  std::string_view p(path);
  while (p.size() > 1 && p.back() == '/') p.remove_suffix(1);
  if (p.empty()) return ENOENT;
  const size_t slash = p.rfind('/');
  std::string dir = slash == std::string_view::npos ? "." : std::string(p.substr(0, slash == 0 ? 1 : slash));
  out->name = slash == std::string_view::npos ? std::string(p) : std::string(p.substr(slash + 1));
  if (out->name.empty()) out->name = ".";  // the root itself
  Descriptor fd(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0) return errno_or(EIO);
  if (int rc = check_file_system(fd.get(), flags)) return rc;
  out->dir.reset(fd.release());
  return 0;
}

// mkdir in a checked directory. 0, NP_FIO_REFUSED or an errno value.
int make_directory(const char *path, int flags) {
  PlaceInDirectory place;
  if (int rc = open_place(path, flags, &place)) return rc;
  return ::mkdirat(place.dir.get(), place.name.c_str(), 0777) == 0 ? 0 : errno_or(EIO);
}

// Creates the directory `path` unless a directory of that name exists. 0, NP_FIO_REFUSED or an
// errno value.
int ensure_directory(const std::string &path, int flags) {
  int rc = make_directory(path.c_str(), flags);
  if (rc != EEXIST) return rc;
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? 0 : rc;
}

}  // namespace

int np_fio_open(const char *path, int flags, np_file **out) {
  *out = nullptr;
  if (!path || !(flags & (NP_FIO_READ | NP_FIO_WRITE))) return EINVAL;
  if (int rc = refuse_special(path, flags)) return rc;
  Descriptor fd(::open(path, open_flags(flags), 0666));
  if (fd.get() < 0) return errno_or(EIO);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return errno_or(EIO);
  if (S_ISDIR(st.st_mode)) return EISDIR;
  if (!S_ISREG(st.st_mode) && !(flags & NP_FIO_SPECIAL)) return ENODEV;
  if (int rc = check_file_system(fd.get(), flags)) return rc;
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

int np_fio_stat(const char *path, np_fio_status *status, int flags) {
  if (!path) return EINVAL;
  // Opened as a place only (nothing is read, a FIFO or device is not opened), so that the file
  // whose file system is checked is the one examined.
  Descriptor fd(::open(path, O_PATH | O_CLOEXEC));
  if (fd.get() < 0) return errno_or(EIO);
  if (int rc = check_file_system(fd.get(), flags)) return rc;
  struct statx stx;
  unsigned mask = STATX_BTIME | STATX_MTIME | STATX_CTIME;
  if (::statx(fd.get(), "", AT_EMPTY_PATH, mask, &stx) != 0) return errno_or(EIO);
  if (status) {
    status->created = (stx.stx_mask & STATX_BTIME) ? stx.stx_btime.tv_sec : stx.stx_ctime.tv_sec;
    status->modified = stx.stx_mtime.tv_sec;
  }
  return 0;
}

int np_fio_unlink(const char *path, int flags) {
  if (!path) return EINVAL;
  PlaceInDirectory place;
  if (int rc = open_place(path, flags, &place)) return rc;
  return ::unlinkat(place.dir.get(), place.name.c_str(), 0) == 0 ? 0 : errno_or(EIO);
}

int np_fio_rename(const char *from, const char *to, int flags) {
  if (!from || !to) return EINVAL;
  PlaceInDirectory source, target;
  if (int rc = open_place(from, flags, &source)) return rc;
  if (int rc = open_place(to, flags, &target)) return rc;
  if (::renameat(source.dir.get(), source.name.c_str(), target.dir.get(), target.name.c_str()) == 0) return 0;
  if (errno != EXDEV) return errno_or(EIO);
  if (int rc = np_fio_copy(from, to, flags | NP_FIO_OVERWRITE)) return rc;
  return np_fio_unlink(from, flags);
}

int np_fio_copy(const char *from, const char *to, int flags) {
  if (!from || !to) return EINVAL;
  // Neither end may be a FIFO or a device: opening one could wait for the other side, or act.
  const int plain = flags & ~NP_FIO_SPECIAL;
  if (refuse_special(from, plain) || refuse_special(to, plain)) return EINVAL;
  Descriptor in(::open(from, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (in.get() < 0) return errno_or(EIO);
  struct stat src, dst;
  if (::fstat(in.get(), &src) != 0) return errno_or(EIO);
  if (!S_ISREG(src.st_mode)) return EINVAL;
  if (int rc = check_file_system(in.get(), flags)) return rc;
  // Opened without truncating, so nothing of an existing destination is lost before it has
  // passed the checks.
  int create = O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | ((flags & NP_FIO_OVERWRITE) ? 0 : O_EXCL);
  Descriptor out(::open(to, create, src.st_mode & 0777));
  if (out.get() < 0) return errno_or(EIO);
  if (::fstat(out.get(), &dst) != 0) return errno_or(EIO);
  if (!S_ISREG(dst.st_mode) || (dst.st_dev == src.st_dev && dst.st_ino == src.st_ino)) return EINVAL;
  if (int rc = check_file_system(out.get(), flags)) return rc;
  int rc = ::ftruncate(out.get(), 0) == 0 ? copy_bytes(in.get(), out.get()) : errno_or(EIO);
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
      if (int rc = ensure_directory(target.substr(0, at), flags)) return rc;
    }
  }
  return make_directory(path, flags);
}

int np_dir_unlink(const char *path, int flags) {
  if (!path) return EINVAL;
  PlaceInDirectory place;
  if (int rc = open_place(path, flags, &place)) return rc;
  return ::unlinkat(place.dir.get(), place.name.c_str(), AT_REMOVEDIR) == 0 ? 0 : errno_or(EIO);
}
