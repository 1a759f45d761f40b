// Callbacks of the built-in functions, one group per family.
#pragma once

#include "expression.h"
