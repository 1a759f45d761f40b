// User-defined functions from program files (--function NAME=FILE): compiled in an engine under
// their names before the program that calls them, copied into workers, freed after it.
#pragma once

#include <vector>

#include "expression.h"
#include "options.h"
#include "session.h"

// Compiles every --function file in e, in order, each under its name with its declarations
// private to it. With `bind_unknown`, names a file uses that the engine lacks are bound first as
// string columns (or as --field types them). False with *f (naming the file) when one does not
// compile; the programs compiled before stay in *out.
bool compile_functions(exp_engine *e, const Options &o, bool bind_unknown, std::vector<exp_pcode *> *out, Failure *f);
// Copies the function programs of `src` into `dst` (a clone), so that programs calling them can
// be copied too.
bool copy_functions(exp_engine *src, exp_engine *dst, const std::vector<exp_pcode *> &functions,
                    std::vector<exp_pcode *> *out, Failure *f);
// Frees function programs, the last compiled first (after every program that calls them).
void free_functions(exp_engine *e, std::vector<exp_pcode *> *functions);
// Binds the names `text` uses that e lacks as columns: strings, or as --field types them.
void bind_unknown_names(exp_engine *e, const Options &o, const char *text);
