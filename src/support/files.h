// Files and directories over POSIX calls: an open-file handle with a single position shared by
// reads, writes and seeks (no buffering), and the file-system operations the built-ins need.
// Paths are UTF-8 byte strings. Descriptors are opened close-on-exec, so programs started by the
// engine do not inherit them.
#pragma once

#include <cstddef>
#include <cstdint>

struct np_file;  // an open file

// Open flags: read, write, and create a missing file. Opening for writing never truncates: writing
// starts at the current position and overwrites what is there.
inline constexpr int NP_FIO_READ = 1;
inline constexpr int NP_FIO_WRITE = 2;
inline constexpr int NP_FIO_CREATE = 4;
// Also open what is not a regular file (FIFOs, devices, sockets). Without it they are refused.
inline constexpr int NP_FIO_SPECIAL = 8;
// Also reach files and directories of the kernel's pseudo file systems (/proc, /sys, debugfs,
// cgroups and the like), which expose the process's memory and environment and the machine's
// settings rather than stored data. Every call below takes it; without it such a file or
// directory is refused with NP_FIO_REFUSED, decided on the opened file or directory (its file
// system's type), never on the path's text.
inline constexpr int NP_FIO_PSEUDO = 16;

// Returned instead of an errno value when the file or directory lies on a pseudo file system
// and NP_FIO_PSEUDO was not given. Nothing was read, written, created or removed.
inline constexpr int NP_FIO_REFUSED = -1;

// Seek origins.
inline constexpr int NP_FIO_BEGIN = 0;
inline constexpr int NP_FIO_CURRENT = 1;
inline constexpr int NP_FIO_END = 2;

// np_fio_copy flag: replace an existing destination.
inline constexpr int NP_FIO_OVERWRITE = 1;

// np_dir_create flag: create missing parent directories too.
inline constexpr int NP_DIR_PARENTS = 8;

// Opens `path` without ever waiting (a FIFO with no writer does not hold the caller). Returns 0
// and the handle, or an errno value or NP_FIO_REFUSED (the handle is then none). Flags without
// read or write, and directories, are refused; so is anything but a regular file without
// NP_FIO_SPECIAL, and a file of a pseudo file system without NP_FIO_PSEUDO.
int np_fio_open(const char *path, int flags, np_file **out);
// Closes the file and frees the handle; none is ignored.
void np_fio_close(np_file *f);
// Moves the position; returns the new position from the beginning, or -1 (position unchanged).
int64_t np_fio_seek64(np_file *f, int64_t offset, int origin);
// Reads one line: at most `size` - 1 bytes, up to and including a line feed, then a terminator.
// Returns the bytes placed (0 at end of file, -1 on failure). The position ends right after what
// was returned, so the next call continues the line or starts the next one.
int64_t np_fio_gets(np_file *f, char *buffer, size_t size);
// Reads at most `count` bytes. Returns the bytes read (0 at end of file) or -1.
int64_t np_fio_getb(np_file *f, void *buffer, size_t count);
// Writes `count` bytes. Returns the bytes written or -1.
int64_t np_fio_putb(np_file *f, const void *buffer, size_t count);

// Times of a file in seconds since 1970-01-01 00:00 UTC: creation (the birth time where the file
// system records one, else the last status change) and last modification.
struct np_fio_status {
  int64_t created;
  int64_t modified;
};
// 0 when `path` exists (filling `status` when given), else an errno value or NP_FIO_REFUSED.
// `flags`: NP_FIO_PSEUDO or 0.
int np_fio_stat(const char *path, np_fio_status *status, int flags);
// Each returns 0 on success, else an errno value or NP_FIO_REFUSED (the path's directory, or
// for a copy the source or the destination, lies on a pseudo file system). `flags` takes
// NP_FIO_PSEUDO, and the flags each call names.
int np_fio_unlink(const char *path, int flags);
// Renames; across file systems the file is copied and the source removed.
int np_fio_rename(const char *from, const char *to, int flags);
// Copies the bytes of a regular file into a regular file (NP_FIO_OVERWRITE: replacing an existing
// one). A new destination gets the source's read, write and execute bits, less the umask; never
// its set-user-id, set-group-id or sticky bits, its owner, times or extended attributes. An
// existing destination keeps its own permissions. Without NP_FIO_OVERWRITE an existing
// destination is an error; copying a file onto itself always is (it would destroy the source),
// and so is a destination that is not a regular file (a device, or a FIFO, which would wait for
// a reader).
int np_fio_copy(const char *from, const char *to, int flags);
// Creates a directory (NP_DIR_PARENTS: with its missing parents). An existing one is an error.
int np_dir_create(const char *path, int flags);
// Removes an empty directory.
int np_dir_unlink(const char *path, int flags);
