// Built-in class of this family: its records, methods and the functions behind them.
#include "builtins/builtins.h"

class_family regex_class() { return {}; }
