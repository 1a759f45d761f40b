// System and file-system functions: run another program, pause, name the user, make unique
// identifiers, and delete, move, copy, test and date files and create or remove directories.
// A failed operation is a result (false, null or a negative exit code), never an error.
#include <algorithm>
#include <chrono>
#include <memory>
#include <ctime>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "builtins/builtins.h"
#include "builtins/cancel.h"
#include "builtins/cells.h"
#include "builtins/rechecked.h"
#include "engine.h"
#include "errors.h"
#include "program.h"
#include "support/dates.h"
#include "support/files.h"
#include "support/process.h"
#include "support/sysinfo.h"
#include "values.h"

using namespace builtin_cells;

namespace {

constexpr int64_t kSleepSliceMs = 2000;  // sleep asks the interrupt handler between slices this long
constexpr int64_t kSleepPollMs = 10;      // and looks at the cancel flags this often within a slice
constexpr int kChildPollMs = 50;         // execute looks at cancellation this often while it waits
constexpr int kChildGraceMs = 2000;      // a cancelled child has this long to end after SIGTERM

struct ProcessDeleter {
  void operator()(np_process *p) const { np_proc_destroy(p); }
};

// True when any of the first `count` arguments is null.
bool any_null(exp_symval **argv, int count) {
  for (int k = 0; k < count; ++k)
    if (symval_is_null(argv[k])) return true;
  return false;
}

// ---- file system -------------------------------------------------------------------------------------

// The support layer's flags for what the engine allows: files of pseudo file systems only when
// the host allowed EXP_CAP_PSEUDO_FILES.
int fs_flags(const exp_engine *e) { return e && (e->capabilities & EXP_CAP_PSEUDO_FILES) ? NP_FIO_PSEUDO : 0; }

// Ends the file-system built-in `Fn` on its support call's code: true for 0, false for a failure,
// error 108 for a file of a pseudo file system the engine does not allow.
template <exp_func_cb Fn>
int fs_result(exp_engine *e, exp_symval *result, int rc) {
  if (rc == NP_FIO_REFUSED)
    if (int error = refuse_pseudo_file<Fn>(e)) return error;
  return set_int(result, rc == 0 ? 1 : 0);
}

// Runs one path operation: false for a null path, else true exactly when the operation succeeds.
template <int (*Operation)(const char *, int)>
int path_call(exp_engine *e, exp_symval *result, int, exp_symval **argv) {
  if (any_null(argv, 1)) return set_int(result, 0);
  return fs_result<path_call<Operation>>(e, result, Operation(argv[0]->value.s, fs_flags(e)));
}

int exists(const char *path, int flags) { return np_fio_stat(path, nullptr, flags); }
int copy_over(const char *from, const char *to, int flags) { return np_fio_copy(from, to, flags | NP_FIO_OVERWRITE); }

template <int (*Operation)(const char *, const char *, int)>
int two_path_call(exp_engine *e, exp_symval *result, int, exp_symval **argv) {
  if (any_null(argv, 2)) return set_int(result, 0);
  return fs_result<two_path_call<Operation>>(e, result, Operation(argv[0]->value.s, argv[1]->value.s, fs_flags(e)));
}

// mkdir(path [, recursive]).
int fn_mkdir(exp_engine *e, exp_symval *result, int argc, exp_symval **argv) {
  if (any_null(argv, 1)) return set_int(result, 0);
  int flags = (flag_arg(argc, argv, 1, false) ? NP_DIR_PARENTS : 0) | fs_flags(e);
  return fs_result<fn_mkdir>(e, result, np_dir_create(argv[0]->value.s, flags));
}

// filedate(path [, modified]): the creation (or modification) time as a local date with seconds;
// null when the file cannot be examined.
int fn_filedate(exp_engine *e, exp_symval *result, int argc, exp_symval **argv) {
  if (any_null(argv, 1)) return set_null(result);
  np_fio_status status{};
  if (int rc = np_fio_stat(argv[0]->value.s, &status, fs_flags(e))) {
    if (rc == NP_FIO_REFUSED)
      if (int error = refuse_pseudo_file<fn_filedate>(e)) return error;
    return set_null(result);
  }
  auto seconds = static_cast<std::time_t>(flag_arg(argc, argv, 1, false) ? status.modified : status.created);
  std::tm local{};
  double days = 0;
  if (!::localtime_r(&seconds, &local) ||
      !vts_compose_date(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                        local.tm_sec > 59 ? 59 : local.tm_sec, &days))
    return set_null(result);
  exp_symval_setdbl(result, days);
  return 0;
}

// ---- processes ---------------------------------------------------------------------------------------

// Waits for a child in slices of kChildPollMs, looking for cancellation between them; a cancelled
// run ends the child (SIGTERM, then SIGKILL after kChildGraceMs) and reports error 104.
int wait_child(exp_engine *e, const exp_pcode *running, np_process *child, int *status, int *code) {
  for (;;) {
    np_proc_wait(child, kChildPollMs, status, code);
    if (*status != NP_PROC_RUNNING) return 0;
    if (int rc = builtin_check_interrupt(e, running)) {
      np_proc_stop(child, kChildGraceMs);
      return rc;
    }
  }
}

// execute(program, args...): the program's exit code; -100 - c when it cannot be started (c the
// system's error code, so a missing program gives -102); -200 - s when the wait did not see a
// normal end (s the wait status: 3 killed by a signal, 4 lost). The child reads /dev/null, and its
// output goes where the engine's CHILD_STDOUT option says.
int fn_execute(exp_engine *e, exp_symval *result, int argc, exp_symval **argv) {
  if (any_null(argv, 1)) return set_null(result);
  std::vector<const char *> list;
  try {
    list.reserve(static_cast<size_t>(argc) + 1);
    for (int k = 0; k < argc; ++k) list.push_back(symval_is_null(argv[k]) ? "" : argv[k]->value.s);
    list.push_back(nullptr);
  } catch (const std::bad_alloc &) {
    return exp_raise_memory_error(e);
  }
  int flags = NP_PROC_SEARCH_PATH | (e->child_stdout_to_stderr ? NP_PROC_STDOUT_TO_STDERR : 0);
  np_process *child = nullptr;
  if (int rc = np_proc_execute(list.data(), flags, nullptr, &child)) return set_int(result, -100 - rc);
  std::unique_ptr<np_process, ProcessDeleter> owned(child);
  int status = 0, code = 0;
  if (int rc = wait_child(e, calling_program(argv[argc]), child, &status, &code)) return rc;
  return set_int(result, status == NP_PROC_EXITED ? code : -200 - status);
}

// Sleeps `ms` milliseconds in polls of kSleepPollMs. False as soon as the run is cancelled, so a
// cancel from another thread ends a long sleep within a poll rather than a whole slice.
bool sleep_unless_cancelled(const exp_engine *e, const exp_pcode *running, int64_t ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (auto now = std::chrono::steady_clock::now(); now < until; now = std::chrono::steady_clock::now()) {
    if (builtin_cancelled(e, running)) return false;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(until - now,
                                                                                std::chrono::milliseconds(kSleepPollMs)));
  }
  return !builtin_cancelled(e, running);
}

// sleep(ms): sleeps in slices of at most kSleepSliceMs, asking the interrupt handler after each
// and looking at the cancel flags throughout. True; 0 and negative durations return at once.
int fn_sleep(exp_engine *e, exp_symval *result, int argc, exp_symval **argv) {
  if (any_null(argv, 1)) return set_null(result);
  const exp_pcode *running = calling_program(argv[argc]);
  for (int64_t left = argv[0]->value.i; left > 0; left -= kSleepSliceMs) {
    if (!sleep_unless_cancelled(e, running, left < kSleepSliceMs ? left : kSleepSliceMs))
      return engine_error(e, ERR_INTERRUPT);
    if (int rc = builtin_check_interrupt(e, running)) return rc;
  }
  return set_int(result, 1);
}

// ---- process facts -----------------------------------------------------------------------------------

int fn_username(exp_engine *, exp_symval *result, int, exp_symval **) {
  char name[256];
  np_osinf_user(name, sizeof name);
  exp_symval_setstr(result, name);
  return 0;
}

// uniqueid(): an identifier no other call returns. It packs the process id, which an engine that
// denies the process group keeps from programs: its identifiers are enciphered.
int fn_uniqueid(exp_engine *e, exp_symval *result, int, exp_symval **) {
  char id[NP_UNIQ_LENGTH + 4];
  if (e && !(e->capabilities & EXP_CAP_PROCESS)) np_uniq_s64_anonymous(id);
  else np_uniq_s64(id);
  exp_symval_setstr(result, id);
  return 0;
}

// Copying and moving read the source as well as write the destination.
constexpr unsigned kReadAndWrite = EXP_CAP_FILE_READ | EXP_CAP_FILE_WRITE;

const exp_function kRecords[] = {
    {"execute", rechecked<fn_execute>, 1, EXP_UNLIMITED, "s", 'i', 0,
     "Executes a program. First parameter is program name, second...n are command line args. Returns "
     "the program's exit code, or -1 if failed to start.",
     0, "", EXP_CAP_PROCESS},
    {"sleep", rechecked<fn_sleep>, 1, 1, "i", 'b', 0,
     "Sleeps the specified number of milliseconds and invokes the interrupt handler.", 0, "", EXP_CAP_SLEEP},
    {"deletefile", rechecked<path_call<np_fio_unlink>>, 1, 1, "s", 'b', 0, "Deletes a file from disk.", 0, "",
     EXP_CAP_FILE_WRITE},
    {"fileexists", rechecked<path_call<exists>>, 1, 1, "s", 'b', 0,
     "Returns true if the specified file exists.", 0, "", EXP_CAP_FILE_READ},
    {"filedate", rechecked<fn_filedate>, 1, 2, "sb", 'd', 0,
     "Returns the date a file was created. If second parameter is true, returns the modified date.",
     0, "", EXP_CAP_FILE_READ},
    {"movefile", rechecked<two_path_call<np_fio_rename>>, 2, 2, "ss", 'b', 0, "Move or rename a file.", 0, "",
     kReadAndWrite},
    {"copyfile", rechecked<two_path_call<copy_over>>, 2, 2, "ss", 'b', 0, "Copy a file.", 0, "", kReadAndWrite},
    {"username", rechecked<fn_username>, 0, 0,
     "", 's', 255, "Return the OS username of the logged in user", 0, "", EXP_CAP_ENVIRONMENT},
    {"uniqueid", fn_uniqueid, 0, 0, "", 's', 16, "Return a unique indentifier", 0, ""},
    {"mkdir", rechecked<fn_mkdir>, 1, 2, "sb", 'b', 0,
     "Create a directory. If second parameter is true, the directory will be recursively created",
     0, "", EXP_CAP_FILE_WRITE},
    {"rmdir", rechecked<path_call<np_dir_unlink>>, 1, 1, "s", 'b', 0,
     "Delete a directory. Directory must be empty", 0, "", EXP_CAP_FILE_WRITE},
};

}  // namespace

std::span<const exp_function> system_functions() { return kRecords; }
