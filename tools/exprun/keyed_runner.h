// The run of --group-by, --partition-by and --unique: every record is run on the worker its key
// hashes to, in input order, so that the records of one key meet in their order on one worker
// whatever --jobs says, and the answer never depends on the number of workers.
#pragma once

#include "options.h"

// Runs the program over the inputs by key; returns the exit status.
int process_keyed(const Options &o);
