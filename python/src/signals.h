// Ctrl-C during runs that released the GIL. Python runs its signal handlers only when code holding
// the GIL asks it to, which a run never does by itself: the watch asks, from the engine's
// interrupt handler and between the rows of a batch, at most every few milliseconds.
#pragma once

#include <pybind11/pybind11.h>

#include <chrono>

namespace pyexp {

namespace py = pybind11;

class SignalWatch {
 public:
  SignalWatch() = default;
  SignalWatch(const SignalWatch &) = delete;
  SignalWatch &operator=(const SignalWatch &) = delete;
  ~SignalWatch();

  // Remembers the main thread, the only one in which Python runs signal handlers (GIL held, at
  // import).
  static void note_main_thread();
  // GIL held, at the start of a run or batch: watches when this is the main thread.
  void arm();
  // Without the GIL: at most every interval, takes the GIL and runs Python's signal handlers.
  // True once one of them raised (Ctrl-C's KeyboardInterrupt): the run must stop.
  bool check();
  bool raised() const { return raised_; }
  // GIL held: raises what a handler raised, if one did; the watch is then clear for the next run.
  void rethrow_if_raised();

 private:
  bool active_ = false;
  bool raised_ = false;
  std::chrono::steady_clock::time_point next_{};
  PyObject *type_ = nullptr, *value_ = nullptr, *trace_ = nullptr;  // what a handler raised
};

}  // namespace pyexp
