// Error messages that show where in the program text something went wrong.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "session.h"

// A count for messages, with thousands separated: "1,204".
std::string with_commas(uint64_t n);
// Prints "<what> error N: message", then the program line with a caret under the column when
// the position is known.
void print_failure(std::FILE *out, const std::string &what, const Failure &f, const std::string &program,
                   const std::string &program_name);
