// Error and warning messages that show where in the program text something went wrong.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "expression.h"
#include "session.h"

// A count for messages, with thousands separated: "1,204".
std::string with_commas(uint64_t n);
// Prints "<what> error N: message", then the place and the program line with a caret under the
// column when the position is known. A failure in a --function file shows that file.
void print_failure(std::FILE *out, const std::string &what, const Failure &f, const std::string &program,
                   const std::string &program_name);
// Prints the compile-time warnings of p (compiled from `text`, called `name` in messages), each
// with its place and caret, and a hint where exprun knows one (`columns`: the input columns).
// Returns how many there were.
int print_warnings(std::FILE *out, exp_pcode *p, const std::string &text, const std::string &name,
                   const std::vector<std::string> &columns);
// Prints the warnings of the program and of the --function files; returns their number. With
// --strict and warnings, also says that they count as errors.
int print_all_warnings(std::FILE *out, const Options &o, exp_pcode *program, const std::vector<exp_pcode *> &functions,
                       const std::vector<std::string> &columns);
