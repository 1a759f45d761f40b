// The batch run of exprun: reads the inputs, runs the program on every record (on one or more
// workers), and writes the output in input order.
#pragma once

#include "options.h"

enum Exit { kOk = 0, kRunError = 1, kUsage = 2, kInputError = 3, kSkipped = 4, kInterrupted = 130 };

// Runs the program over the inputs; returns the exit status.
int process(const Options &o);
// Cancels every running program and makes the run stop at the next record boundary (from a
// signal handler: only lock-free stores). `signal` decides the exit status (128 + signal).
void stop_from_signal(int signal);
// The exit status of a run stopped by a signal: 128 + the signal (130 without one).
int interrupted_status();
