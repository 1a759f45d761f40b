// Advice about a program beyond what the compiler says: hints after a compile error (backquotes
// for keyword names, == for =, the nearest known name, the --allow that a denial needs).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "session.h"

// For a failure that a denied capability caused, the sentence naming the --allow that allows it;
// else "".
std::string denial_hint(const Failure &f);
// The known name nearest to `name` (at most a third of its letters away, ignoring case), or "".
std::string nearest_name(const std::string &name, const std::vector<std::string> &known);
// Prints a "hint:" line for a compile failure when one applies.
void print_hint(std::FILE *out, const Failure &f, const std::string &program, const std::vector<std::string> &columns);
