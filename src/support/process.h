// Starting another program and waiting for it (posix_spawn and waitpid).
#pragma once

struct np_process;  // a started child process

// np_proc_execute flag: look the program up in PATH when its name has no slash.
inline constexpr int NP_PROC_SEARCH_PATH = 0x80;
// np_proc_execute flag: the child's standard output goes to the caller's standard error, so a
// host whose own standard output carries data keeps it free of what the child prints.
inline constexpr int NP_PROC_STDOUT_TO_STDERR = 0x100;

// np_proc_wait statuses.
inline constexpr int NP_PROC_RUNNING = 1;   // the time limit passed first
inline constexpr int NP_PROC_EXITED = 2;    // ended normally; the exit code is valid
inline constexpr int NP_PROC_SIGNALED = 3;  // ended by a signal; the "exit code" is its number
inline constexpr int NP_PROC_LOST = 4;      // the process could not be waited for (already reaped)

// Starts argv[0] with the arguments argv[1..] (a null-terminated list); `environment` is a
// null-terminated list of NAME=value entries, or none to pass the caller's environment. The child
// reads /dev/null as its standard input (it never consumes the caller's) and shares the caller's
// standard output and error. Returns 0 and the handle, or an errno value (ENOENT for a program
// that does not exist; the handle is then none).
int np_proc_execute(const char *const *argv, int flags, const char *const *environment, np_process **out);

// Waits for the process: `timeout_ms` < 0 without limit, 0 just looks. Stores one of the statuses
// above and, for NP_PROC_EXITED / NP_PROC_SIGNALED, the exit code / signal number.
void np_proc_wait(np_process *p, int timeout_ms, int *status, int *exit_code);

// Ends a process that is still running: SIGTERM, then SIGKILL when it has not ended after
// `grace_ms`; waits for it so no zombie is left.
void np_proc_stop(np_process *p, int grace_ms);

// Frees the handle (a process still running is not stopped).
void np_proc_destroy(np_process *p);
