// The interactive side of exprun: the read-eval-print loop, the function list and the p-code dump.
#pragma once

#include "options.h"

// Runs the interactive session (a terminal, or --repl) until :quit or the end of input.
int run_repl(const Options &o);
// Prints the built-in functions and exprun's own (--functions).
int list_functions();
// Prints the compiled program (--dump); 2 when it does not compile.
int dump_program(const Options &o);
