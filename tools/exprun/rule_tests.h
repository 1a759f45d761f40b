// Rule tests (exprun --test CASES): the program is run on every record of a file of cases and
// what it gives is compared with what the record expects.
//
// The cases file is CSV, TSV or JSON lines (by its extension: .tsv, .jsonl/.json/.ndjson, else as
// the input options say). Its columns are
//   - input columns, bound and typed as exprun binds input (--field, --infer);
//   - expect:NAME columns: the value the result (NAME = the result's name, "result" by default)
//     or the variable or column NAME must have after the run;
//   - an optional column `error`: the error number the run must stop with (empty: none).
// Values compare by the type of what the program gives: numbers as numbers (2.50 equals 2.5),
// dates as dates, booleans as booleans, text exactly; a text result (the default result type)
// that reads as a number compares as a number. An empty expected value stands for null (or the
// empty text); a JSON null, or a member a record lacks, leaves the column unchecked.
#pragma once

#include "options.h"

// Runs the cases and prints every failure (record, column, expected, got) and the summary line
// "N passed, M failed" on standard output. Returns the exit status: 0 when every case passed,
// 1 when one failed, 2 for a program that does not compile (or warns under --strict) or cases
// that name what the program does not have, 3 for a cases file that cannot be read.
int run_rule_tests(const Options &o);
