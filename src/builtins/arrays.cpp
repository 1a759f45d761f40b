// Built-in class of this family: its records, methods and the functions behind them.
#include "builtins/builtins.h"

class_family array_classes() { return {}; }
