// Compiled programs: flat arrays of three-word instructions over cells resolved at compile time.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "expression.h"
#include "positions.h"
#include "registry.h"
#include "symbols.h"
#include "warnings.h"

enum exp_instr_kind : int32_t {
  EXP_OPERAND = -1,      // operand slot of the preceding call: result cell, then the arguments
  EXP_NOOP = 0,
  EXP_JUMP = 1,          // continue at a
  EXP_JUMP_IF_ZERO = 2,  // continue at a when cell b tests false
  EXP_CALL = 3,          // call callback b with a arguments
  EXP_EXIT = 4,
  EXP_UDF_CALL = 5,      // run program b with a arguments
};

struct exp_instr {
  int32_t kind;
  int32_t a;
  union {
    void *any;
    exp_symval *cell;
    exp_func_cb fn;
    exp_pcode *program;
  } b;
};


// A `for` loop as the compiler laid it out (see parse_for): where its parts start, and its cells.
// The prepared form builds the loop's steps from this rather than from the shape of the code.
struct exp_for_loop {
  int32_t top;   // the loop head: var = counter, then the direction test, then the bound test
  int32_t body;  // the first instruction of the body
  int32_t next;  // the increment counter = counter + step, followed by the jump back to top
  int32_t end;   // the first instruction after the loop
  exp_symval *var, *counter, *limit, *step, *zero, *test;
};

// A string cell of a program that a run may widen (a call's result, a non-static declared local)
// and that no one reads once the run is over, with its limit and buffer as compiled: the end of
// every run gives back what the run grew it by (pcode_give_back), so each run starts with the
// same memory charged and the same input gets the same answer on every run.
struct exp_scratch_string {
  exp_symval *cell;
  char *buffer;  // its compiled buffer when that lies in the record arena, else none
  uint32_t len;
};

struct exp_prepared;  // the form the run loop executes (prepared.h)
struct PreparedDeleter {
  void operator()(exp_prepared *prepared) const;
};

// A global symbol that a program's declarations added to the engine.
struct exp_created_global {
  exp_sym *sym;
  exp_created_global *next;
};

// The mark of a live program, cleared (with its engine) when it is freed: a freed program handed
// back to the library is refused instead of being used, as long as its memory has not been reused.
inline constexpr uint32_t kProgramMagic = 0x31474F52;  // "ROG1"

struct exp_pcode {
  int32_t capacity = 0;
  int32_t count = 0;
  exp_instr *code = nullptr;
  RecordArena records;                           // the records of `locals`
  SymbolList locals;                             // declared locals, constants and temporaries
  exp_created_global *created_globals = nullptr;
  exp_created_global *created_globals_tail = nullptr;
  exp_symval result{};
  int32_t max_args = 0;
  exp_symval **argv = nullptr;                   // max_args + 1 entries, reused by every call
  exp_symval self{};                             // pointer cell holding this program
  int32_t pc = 0;
  int32_t result_type = 0;
  int32_t result_len = 0;
  std::atomic<int32_t> cancel{0};               // set from outside the run by exp_cancel_execution
  char udf_name[EXP_NAME_MAX + 1] = {};
  unsigned capabilities = 0;                     // groups its calls need, those of called programs included
  unsigned traits = 0;                           // EXP_TRAIT_* found while compiling, callees' included
  int32_t udf_callers = 0;                       // calls naming this program in finished live programs
  bool links_callees = false;                    // finishing counted this program's calls in its callees
  uint32_t magic = kProgramMagic;                // cleared when the program is freed
  exp_engine *engine = nullptr;                  // the engine that owns the program
  PositionTable positions;                       // per instruction, when compiled from text
  std::vector<exp_for_loop> loops;               // every `for` loop, as the compiler declared it
  std::vector<exp_warning> warnings;             // what compiling it warned about
  std::vector<exp_scratch_string> scratch_strings;  // made with the memory charge
  int32_t fail_pc = -1;                          // instruction at which the last run failed
  bool running = false;                          // a run of this program is in progress
  // Built by pcode_finish; absent (or stale, when instructions were added after) the run loop
  // executes the canonical instructions.
  std::unique_ptr<exp_prepared, PreparedDeleter> prepared;
  // The static cells of the program and of the user-defined functions it calls, in the order a
  // saved state block holds their values (state.cpp); listed on first use, fixed from then on.
  std::vector<exp_symval *> state_cells;
  uint64_t state_layout = 0;  // a digest of the cells' types, limits and classes
  bool state_cells_listed = false;
};

exp_pcode *pcode_new();
// Appends an instruction (the array grows to 16, then doubles). Returns 0, or 1 out of memory.
int pcode_emit(exp_pcode *p, int kind, int a, void *b, int *index);
// Overwrites instruction `index`; returns 1 when index is not below count, else 0.
int pcode_patch(int index, exp_pcode *p, int kind, int a, void *b);
int pcode_set_capacity(exp_pcode *p, int n);
// Sets up a new program's result cell (null, of `type`, `len` characters, `flags`) and its self
// cell (pointing at the program), and records `e` as its engine. Returns 0, or 1 out of memory.
int pcode_init_cells(exp_pcode *p, exp_engine *e, int type, int len, uint32_t flags);
// Trims the instruction arrays to the program, sizes the argument vector for the largest call and
// prepares the program for running.
// Returns 0 or 1.
int pcode_finish(exp_pcode *p);
// Registers a program with a non-empty udf_name as a user-defined function. Returns 0 or 1.
int pcode_register_udf(exp_engine *e, exp_pcode *p);
void pcode_free(exp_engine *e, exp_pcode *p);
// Returns 0 when `p` was made or copied by `e`, else reports error 111 in `e`: a program handed to
// the wrong engine would corrupt both engines' counts and symbol lists.
// Also refuses a freed program (error 3), and for a freed engine returns 3 without touching it.
int pcode_refuse_foreign(exp_engine *e, const exp_pcode *p);
inline bool pcode_is_live(const exp_pcode *p) { return p && p->magic == kProgramMagic; }
// Charges the buffers of the program's cells (locals, constants, temporaries, the globals it
// declared and its result) to the engine's memory and lists its scratch strings. 0, or error 109
// past the memory limit, or 1 out of memory.
int pcode_charge_memory(exp_engine *e, exp_pcode *p);
// Brings the program's scratch strings back to their compiled limits and buffers, null, and gives
// back the memory their growth was charged: called when a run of `p` ends, however it ends.
void pcode_give_back(exp_engine *e, exp_pcode *p) noexcept;
