// The built-in tables: global functions (shared, read-only), and the classes, methods and
// class-method functions that every engine loads.
#pragma once

#include <span>

#include "registry.h"

struct builtin_class {
  const char *name;
  const char *description;
  bool hidden;
  exp_destructor_cb destructor;
};

struct builtin_method {
  const char *class_name;
  const char *method;
  const char *function;
};

std::span<const exp_function> builtin_functions();
std::span<const builtin_class> builtin_classes();
std::span<const builtin_method> builtin_methods();
std::span<const exp_function> builtin_class_functions();
