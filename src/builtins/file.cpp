// The file class: a `file` variable holds an open file (shared by assignment, closed with its last
// reference). Failures of the file system are results (false, 0 or null), never errors, so a
// program can test them and go on.
#include <cstring>
#include <new>

#include "builtins/builtins.h"
#include "builtins/cancel.h"
#include "builtins/cells.h"
#include "engine.h"
#include "errors.h"
#include "registry.h"
#include "support/files.h"
#include "values.h"

using namespace builtin_cells;

namespace {

// Longest line readline returns, in bytes (the result record's limit is as many characters).
constexpr size_t kLineBytes = 1024;

// An open file and the capability groups its opening needed. Every method on it but close
// needs them again when it runs, so a file opened while the host allowed a group is unusable
// once the host denies it, whichever program (a later one, through a global) holds it then.
struct OpenFile {
  np_file *file;
  unsigned groups;
};

void file_destructor(void *data) {
  auto *open = static_cast<OpenFile *>(data);
  np_fio_close(open->file);
  delete open;
}

constexpr const char *kClassName = "file";

bool is_file_cell(const exp_symval *cell) { return is_object_of(cell, kClassName); }

// The open file of the object argument, or none for a null variable.
OpenFile *file_of(const exp_symval *cell) { return instance_of<OpenFile>(cell); }

// The open file of argv[0] for the methods that need one: "File not open" for a null variable,
// error 108 (naming `method`) when the engine now denies a group the file was opened under.
int open_file(exp_engine *e, exp_symval **argv, const char *method, np_file **out) {
  if (!is_file_cell(argv[0])) return wrong_object(e, kClassName);
  const OpenFile *open = file_of(argv[0]);
  if (!open) return exp_raise_error(e, "File not open");
  if (int rc = capability_check(e, open->groups, method, ERR_CAPABILITY_RUN)) return rc;
  *out = open->file;
  return 0;
}

// Open flags of a mode text: r reads; w writes; a writes from the end. Other characters are ignored.
int mode_flags(const char *mode, bool *append) {
  int flags = 0;
  *append = false;
  for (const char *m = mode; *m; ++m) {
    switch (*m) {
      case 'r': case 'R': flags |= NP_FIO_READ; break;
      case 'a': case 'A': *append = true; [[fallthrough]];
      case 'w': case 'W': flags |= NP_FIO_WRITE | NP_FIO_CREATE; break;
      default: break;
    }
  }
  return flags;
}

// The groups an open mode needs: file read to read, file write to write or append.
unsigned mode_groups(int flags) {
  unsigned needed = (flags & NP_FIO_READ) ? EXP_CAP_FILE_READ : 0u;
  if (flags & NP_FIO_WRITE) needed |= EXP_CAP_FILE_WRITE;
  return needed;
}

// open(f, path [, mode]): releases what f held, then opens the path (mode "r" by default).
// True when open; false, with f null, when the file cannot be opened. Error 108 before anything
// is opened when the engine denies the mode's group (compiling let the call through because one
// of them was allowed), and after opening, with the file closed again, when the file lies on a
// pseudo file system the engine does not allow.
int file_open(exp_engine *e, exp_symval *result, int argc, exp_symval **argv) {
  if (!is_file_cell(argv[0])) return wrong_object(e, kClassName);
  if (symval_is_null(argv[1])) return set_null(result);
  const char *mode = argc >= 3 && !symval_is_null(argv[2]) && argv[2]->value.s ? argv[2]->value.s : "r";
  bool append = false;
  int flags = mode_flags(mode, &append);
  const unsigned groups = mode_groups(flags);
  if (int rc = capability_check(e, groups, "open", ERR_CAPABILITY_RUN)) return rc;
  exp_symval_setnull(argv[0]);
  if (e->file_special) flags |= NP_FIO_SPECIAL;
  if (e->capabilities & EXP_CAP_PSEUDO_FILES) flags |= NP_FIO_PSEUDO;
  np_file *f = nullptr;
  if (int rc = np_fio_open(argv[1]->value.s, flags, &f)) {
    if (rc == NP_FIO_REFUSED)
      if (int error = capability_check(e, EXP_CAP_PSEUDO_FILES, "open", ERR_CAPABILITY_RUN)) return error;
    return set_int(result, 0);
  }
  if (append) np_fio_seek64(f, 0, NP_FIO_END);
  auto *open = new (std::nothrow) OpenFile{f, groups};
  if (!open || !exp_instantiate_object(argv[0], open)) {
    delete open;
    np_fio_close(f);
    return exp_raise_memory_error(e);
  }
  return set_int(result, 1);
}

// close(f): drops f's reference (the file closes with the last one). False when f was null.
int file_close(exp_engine *e, exp_symval *result, int, exp_symval **argv) {
  if (!is_file_cell(argv[0])) return wrong_object(e, kClassName);
  bool was_open = file_of(argv[0]) != nullptr;
  exp_symval_setnull(argv[0]);
  return set_int(result, was_open ? 1 : 0);
}

// readline(f): the next line without its line end (at most kLineBytes bytes), or null at end of
// file or on a read error.
int file_readline(exp_engine *e, exp_symval *result, int, exp_symval **argv) {
  np_file *f = nullptr;
  if (int rc = open_file(e, argv, "readline", &f)) return rc;
  if (symval_type(result) != EXP_STRING || !result->value.s) return set_null(result);
  // Each byte is at most one character, so a line of `limit` bytes fits the cell's limit.
  size_t limit = result->len < kLineBytes ? result->len : kLineBytes;
  int64_t n = np_fio_gets(f, result->value.s, limit + 1);
  if (n <= 0) return set_null(result);
  while (n > 0 && (result->value.s[n - 1] == '\n' || result->value.s[n - 1] == '\r')) --n;
  result->value.s[n] = '\0';
  if (int rc = limit_check_text(e, std::string_view(result->value.s, static_cast<size_t>(n)))) return rc;
  symval_clear_null_flag(result);
  return 0;
}

// The byte count a block call may use with `buf`: n bounded by the cell's declared length.
size_t block_size(int64_t n, const exp_symval *buf) {
  uint64_t limit = buf->len;
  return static_cast<size_t>(static_cast<uint64_t>(n) < limit ? static_cast<uint64_t>(n) : limit);
}

// readbytes(f, n, buf): reads up to n bytes (bounded by buf's length) into buf's storage as they
// are, zero bytes included, and returns the count; 0 on failure with buf unchanged.
int file_readbytes(exp_engine *e, exp_symval *result, int argc, exp_symval **argv) {
  np_file *f = nullptr;
  if (int rc = open_file(e, argv, "readbytes", &f)) return rc;
  exp_symval *buf = argv[2];
  if (symval_is_null(argv[1])) return set_null(result);
  if (argv[1]->value.i < 1 || symval_type(buf) != EXP_STRING || !buf->value.s) return set_int(result, 0);
  if (int rc = check_writable(e, buf)) return rc;
  symval_mark_raw(buf);
  int64_t n = np_fio_getb(f, buf->value.s, block_size(argv[1]->value.i, buf));
  if (n < 0) return set_int(result, 0);
  if (int rc = charge_bytes(e, argv[argc], static_cast<size_t>(n))) return rc;
  // The block is the whole value: nothing an earlier, longer block left stays behind it.
  std::memset(buf->value.s + n, 0, symval_buffer_bytes(buf) + 1 - static_cast<size_t>(n));
  symval_clear_null_flag(buf);
  symval_note_cut(buf, false);  // a block read is the whole value, not a text cut short
  return set_int(result, n);
}

// writeline(f, text): writes the text and CR LF. True on success, false when a write fails.
int file_writeline(exp_engine *e, exp_symval *result, int, exp_symval **argv) {
  np_file *f = nullptr;
  if (int rc = open_file(e, argv, "writeline", &f)) return rc;
  if (symval_is_null(argv[1])) return set_null(result);
  const char *text = argv[1]->value.s ? argv[1]->value.s : "";
  int64_t n = np_fio_putb(f, text, std::strlen(text));
  if (n < 0) return set_int(result, 0);
  int64_t end = np_fio_putb(f, "\r\n", 2);
  return set_int(result, end == 2 ? n + end : 0);
}

// Writes `count` zero bytes. Returns the count written, or -1 when the first write fails.
int64_t write_zeros(np_file *f, size_t count) {
  static constexpr char kZeros[4096] = {};
  size_t done = 0;
  while (done < count) {
    size_t step = count - done < sizeof kZeros ? count - done : sizeof kZeros;
    int64_t n = np_fio_putb(f, kZeros, step);
    if (n < 0) return done > 0 ? static_cast<int64_t>(done) : -1;
    done += static_cast<size_t>(n);
    if (static_cast<size_t>(n) < step) break;
  }
  return static_cast<int64_t>(done);
}

// writebytes(f, n, buf): writes n bytes of buf's storage (bounded by its length). A raw block
// (readbytes, the format functions) or a host's field goes out as it is, zero bytes included, so
// a block from readbytes goes back whole; a text goes out as its bytes padded with zero bytes.
// Returns the count.
int file_writebytes(exp_engine *e, exp_symval *result, int, exp_symval **argv) {
  np_file *f = nullptr;
  if (int rc = open_file(e, argv, "writebytes", &f)) return rc;
  exp_symval *buf = argv[2];
  if (symval_is_null(argv[1]) || symval_is_null(buf)) return set_null(result);
  if (argv[1]->value.i < 1 || symval_type(buf) != EXP_STRING || !buf->value.s) return set_int(result, 0);
  size_t count = block_size(argv[1]->value.i, buf);
  // A raw block (from readbytes or a format function) goes out whole; of a text, only its own
  // bytes, then zero bytes, so nothing past its terminator reaches the file.
  size_t own = symval_raw_bytes(buf) ? count : strnlen(buf->value.s, count);
  int64_t n = np_fio_putb(f, buf->value.s, own);
  if (n == static_cast<int64_t>(own) && own < count) {
    int64_t zeros = write_zeros(f, count - own);
    n = zeros < 0 ? n : n + zeros;
  }
  return set_int(result, n < 0 ? 0 : n);
}

// The three seeks: true unless the position cannot be set.
int seek(exp_engine *e, exp_symval *result, exp_symval **argv, int origin) {
  static constexpr const char *kNames[] = {"seekbegin", "seekcurrent", "seekend"};
  np_file *f = nullptr;
  if (int rc = open_file(e, argv, kNames[origin], &f)) return rc;
  if (symval_is_null(argv[1])) return set_null(result);
  return set_int(result, np_fio_seek64(f, argv[1]->value.i, origin) < 0 ? 0 : 1);
}

int file_seekbegin(exp_engine *e, exp_symval *result, int, exp_symval **argv) {
  return seek(e, result, argv, NP_FIO_BEGIN);
}
int file_seekcurrent(exp_engine *e, exp_symval *result, int, exp_symval **argv) {
  return seek(e, result, argv, NP_FIO_CURRENT);
}
int file_seekend(exp_engine *e, exp_symval *result, int, exp_symval **argv) {
  return seek(e, result, argv, NP_FIO_END);
}

// position(f): bytes from the beginning (64-bit), or -1.
int file_position(exp_engine *e, exp_symval *result, int, exp_symval **argv) {
  np_file *f = nullptr;
  if (int rc = open_file(e, argv, "position", &f)) return rc;
  return set_int(result, np_fio_seek64(f, 0, NP_FIO_CURRENT));
}

const builtin_class kClasses[] = {{"file", "File", false, file_destructor}};

const builtin_method kMethods[] = {
    {"file", "open", "file_open"},           {"file", "close", "file_close"},
    {"file", "readline", "file_readline"},   {"file", "readbytes", "file_readbytes"},
    {"file", "writeline", "file_writeline"}, {"file", "writebytes", "file_writebytes"},
    {"file", "seekbegin", "file_seekbegin"}, {"file", "seekcurrent", "file_seekcurrent"},
    {"file", "seekend", "file_seekend"},     {"file", "position", "file_position"},
};

const exp_function kFunctions[] = {
    {"file_open", file_open, 2, 3, "Oss", 'b', 0,
     "Open a file. First parameter is the string file name, and a the second parameter is a string "
     "indicating mode: 'r'=read, 'w'=write, 'rw'=both. If a file doesn't exist it is created. Returns "
     "false on failure.",
     1, "", 0, EXP_CAP_FILE_READ | EXP_CAP_FILE_WRITE},
    {"file_close", file_close, 1, 1, "O", 'b', 0, "Closes the open file.", 1, ""},
    {"file_readline", file_readline, 1, 1, "O", 's', 1024,
     "Read a line of text from a file. A maximum of 1024 bytes will be read. The text is returned. "
     "Null is returned if there was a condition such as end of file",
     1, "", EXP_CAP_FILE_READ},
    {"file_readbytes", file_readbytes, 3, 3, "Ois", 'i', 0,
     "Read a first parameter number of bytes from a file into the second parameter. The number of "
     "bytes actually read is returned.",
     1, "", EXP_CAP_FILE_READ},
    {"file_writeline", charging_texts<file_writeline, 1>, 2, 2, "Os", 'b', 0,
     "Write a line of text to the file. Returns true on success. This function overwrites existing "
     "content.",
     1, "", EXP_CAP_FILE_WRITE},
    {"file_writebytes", charging_texts<file_writebytes, 2>, 3, 3, "Ois", 'i', 0,
     "Write a block of bytes to the file. Specify the number of characters, and a string. Returns "
     "the number of bytes actually written.",
     1, "", EXP_CAP_FILE_WRITE},
    {"file_seekbegin", file_seekbegin, 2, 2, "Oi", 'b', 0,
     "Sets the file pointer to a position starting at the beginning of the file. Returns true on "
     "success, false otherwise. Parameter specifies the position.",
     1, ""},
    {"file_seekcurrent", file_seekcurrent, 2, 2, "Oi", 'b', 0,
     "Sets the file pointer to a position starting at the current position. Returns true on "
     "success, false otherwise. Parameter specifies the number of bytes from the current position.",
     1, ""},
    {"file_seekend", file_seekend, 2, 2, "Oi", 'b', 0,
     "Sets the file pointer to a position starting at the end of the file. Returns true on success, "
     "false otherwise. Parameter specifies the position from the end of the file.",
     1, ""},
    {"file_position", file_position, 1, 1, "O", 'i', 0,
     "Returns the current file position which is the number of bytes from the beginning.", 1, ""},
};

}  // namespace

class_family file_class() { return {kClasses, kMethods, kFunctions}; }
