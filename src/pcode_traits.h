// What the compiler learns about a program beyond its instructions (EXP_TRAIT_*): whether its
// answers may depend on earlier runs, and whether it calls into the host.
#pragma once

#include "program.h"
#include "registry.h"
#include "symbols.h"

// The traits a call of `f` gives its caller.
unsigned call_traits(const exp_function &f);
// The traits naming or declaring the symbol whose cell is `cell` gives a program: a static cell
// that is not the host's keeps state from one run to the next.
unsigned symbol_traits(const exp_symval &cell);
