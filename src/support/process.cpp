// Starting another program and waiting for it.
#include "support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <new>
#include <thread>

extern char **environ;

struct np_process {
  pid_t pid;
  bool reaped;
};

namespace {

// Translates a waitpid status into one of the np_proc_wait statuses.
void decode(int raw, int *status, int *exit_code) {
  if (WIFEXITED(raw)) {
    *status = NP_PROC_EXITED;
    *exit_code = WEXITSTATUS(raw);
  } else if (WIFSIGNALED(raw)) {
    *status = NP_PROC_SIGNALED;
    *exit_code = WTERMSIG(raw);
  } else {
    *status = NP_PROC_LOST;
  }
}

// One waitpid that retries when a signal interrupts it: the pid, 0 (still running) or -1.
pid_t wait_once(pid_t pid, int *raw, bool block) {
  pid_t got;
  do got = ::waitpid(pid, raw, block ? 0 : WNOHANG);
  while (got < 0 && errno == EINTR);
  return got;
}

// The child's standard streams: /dev/null as input, and (when asked) output onto the caller's
// standard error. Owns the posix_spawn action list for its lifetime.
class ChildStreams {
 public:
  explicit ChildStreams(int flags) {
    inited_ = ::posix_spawn_file_actions_init(&actions_) == 0;
    if (!inited_) return;
    ok_ = ::posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0) == 0;
    if (ok_ && (flags & NP_PROC_STDOUT_TO_STDERR))
      ok_ = ::posix_spawn_file_actions_adddup2(&actions_, STDERR_FILENO, STDOUT_FILENO) == 0;
  }
  ~ChildStreams() {
    if (inited_) ::posix_spawn_file_actions_destroy(&actions_);
  }
  ChildStreams(const ChildStreams &) = delete;
  ChildStreams &operator=(const ChildStreams &) = delete;
  bool ok() const { return ok_; }
  const posix_spawn_file_actions_t *get() const { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_{};
  bool inited_ = false;
  bool ok_ = false;
};

}  // namespace

int np_proc_execute(const char *const *argv, int flags, const char *const *environment, np_process **out) {
  *out = nullptr;
  if (!argv || !argv[0]) return EINVAL;
  auto *p = new (std::nothrow) np_process{0, false};
  if (!p) return ENOMEM;
  // posix_spawn takes the lists as char *const[] but does not change them.
  auto *args = const_cast<char *const *>(argv);
  auto *env = environment ? const_cast<char *const *>(environment) : environ;
  ChildStreams streams(flags);
  if (!streams.ok()) {
    delete p;
    return ENOMEM;
  }
  int rc = (flags & NP_PROC_SEARCH_PATH) ? ::posix_spawnp(&p->pid, argv[0], streams.get(), nullptr, args, env)
                                         : ::posix_spawn(&p->pid, argv[0], streams.get(), nullptr, args, env);
  if (rc != 0) {
    delete p;
    return rc;
  }
  *out = p;
  return 0;
}

void np_proc_wait(np_process *p, int timeout_ms, int *status, int *exit_code) {
  *status = NP_PROC_LOST;
  *exit_code = 0;
  if (!p || p->reaped) return;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
  for (;;) {
    int raw = 0;
    pid_t got = wait_once(p->pid, &raw, timeout_ms < 0);
    if (got < 0) return;
    if (got == p->pid) {
      p->reaped = true;
      return decode(raw, status, exit_code);
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      *status = NP_PROC_RUNNING;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void np_proc_stop(np_process *p, int grace_ms) {
  if (!p || p->reaped) return;
  int status = 0, code = 0;
  ::kill(p->pid, SIGTERM);
  np_proc_wait(p, grace_ms, &status, &code);
  if (status != NP_PROC_RUNNING) return;
  ::kill(p->pid, SIGKILL);
  np_proc_wait(p, -1, &status, &code);
}

void np_proc_destroy(np_process *p) {
  if (!p) return;
  if (!p->reaped) {
    int raw = 0;
    wait_once(p->pid, &raw, false);
  }
  delete p;
}
