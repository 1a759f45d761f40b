// Function and class records: what a program may call, and how.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "expression.h"
#include "names.h"


// One callable function: a built-in, a class method's worker, or a host function.
struct exp_function {
  char name[EXP_NAME_MAX + 1];
  exp_func_cb fn;
  int min_args;
  uint32_t max_args;                  // EXP_UNLIMITED for no limit
  char signature[EXP_NAME_MAX + 1];   // one type letter per parameter; the last repeats
  char ret_type;                      // result letter (a type code 1-7 for user-defined functions)
  uint32_t max_len;                   // string result limit; 0 means 255
  char description[EXP_DESC_MAX + 1];
  uint32_t hidden;                    // not listed by the enumeration calls
  char class_name[EXP_NAME_MAX + 1];  // class of an object result
  // Capability groups (EXP_CAP_*) a call needs, every one of them; 0 for functions that stay
  // inside the engine.
  unsigned capability = 0;
  // Groups of which a call needs at least one (the file class's open, whose mode decides): the
  // call compiles when any of them is allowed, and the callee checks the one it uses.
  unsigned capability_any = 0;
  bool host = false;  // registered or replaced by the host (not a built-in)
};

struct exp_method {
  std::string method;                 // method name as called in programs
  std::string function;               // name of the function record that implements it
};

struct exp_class {
  char name[EXP_NAME_MAX + 1];
  char description[EXP_DESC_MAX + 1];
  exp_destructor_cb destructor;
  std::vector<exp_method> methods;
  uint32_t hidden;
};

// A compiled program registered under a name: callable from later programs.
struct exp_udf {
  exp_pcode *program;
  exp_function record;
};

// ---- capabilities --------------------------------------------------------------------------------
// The groups a call of `f` needs for certain: its own groups, and its alternatives unless one of
// them is allowed (the callee then checks the one it uses).
unsigned capability_needed(const exp_engine *e, const exp_function &f);
// 0 while engine `e` allows what a call of `f` needs, else error 108 naming it: built-ins of a
// group ask this each time they run (see builtins/rechecked.h).
int capability_recheck(exp_engine *e, const exp_function &f);
// 0 when the engine allows every group in `groups`, else error `number` (53 when compiling, 108
// when running) naming `function` and the first denied group.
int capability_check(exp_engine *e, unsigned groups, const char *function, int number);
// 0 when engine `e` allows every call of `p` (a program of engine `src`), else error `number`
// naming the first call it denies.
int capability_check_program(exp_engine *e, const exp_engine *src, const exp_pcode *p, int number);

// ---- lookups -------------------------------------------------------------------------------------
// A function record by name: the static built-ins first, then the engine's table.
const exp_function *func_find(exp_engine *e, const char *name);
// The record whose callback is `fn`: the engine's table first, then the static built-ins; none
// for other callbacks (operators).
const exp_function *registry_find_callback(const exp_engine *e, const void *fn);
// A record of the engine's own table by name, or none.
const exp_function *registry_find_engine_function(exp_engine *e, const char *name);
// The program of a user-defined function by name (empty names never match), or none.
exp_pcode *udf_find(exp_engine *e, const char *name);
exp_udf *udf_entry_find(exp_engine *e, const char *name);
exp_class *class_find(exp_engine *e, const char *name);
// The name of the function implementing a method, or none.
const char *class_find_method(const exp_class *c, const char *method);
// Registers the built-in classes, their methods and the class-method functions. 0 or an error.
int registry_load_builtins(exp_engine *e);
// True when `letter` is a valid result letter (O/o need a class name) / parameter letter.
bool registry_valid_return(char letter, const char *class_name);
bool registry_valid_param(char letter);
// The type code of a signature or result letter (either case); 0 for 'a' and unknown letters.
int type_of_letter(char letter);
