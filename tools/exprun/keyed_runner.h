// The run of --group-by, --partition-by and --unique: every record is run on the worker its key
// hashes to, in input order, so that the records of one key meet in their order on one worker
// whatever --jobs says, and the answer never depends on the number of workers.
#pragma once

#include <memory>

#include "options.h"
#include "record_run.h"

// The keyed run of the program over the inputs, writing to `writer`.
std::unique_ptr<RecordRun> make_keyed_run(const Options &o, RecordWriter &writer);
