/*
 * expression: an embeddable expression engine.
 *
 * A host creates an engine (exp_init), binds its fields as typed symbols (exp_add_symbol),
 * compiles a program once (exp_make_pcode) and runs it once per record (exp_execute), then
 * reads the result cell and the symbols the program set. Every call that can fail returns an
 * error number (0 = success) and leaves the message in the engine (exp_error_info).
 *
 * One engine, with its symbols and programs, is used by one thread at a time. No call throws;
 * allocation failure is reported as error 1.
 */
/*
 * Turkish mode of the regex class: re.compile(pattern, "turkish") (any text whose first seven
 * letters spell turkish, in any case) selects the Turkish case rules. Turkish has two letters i,
 * dotted i/İ and dotless ı/I, so wherever the pattern matches without regard to case ((?i)), i and
 * İ match each other and ı and I match each other, while i never matches I; and the case
 * conversions of replace (\U \L \u \l) map i to İ and I to ı. Turkish mode does not by itself make
 * matching case-insensitive. Letters inside character classes and letters written as escapes
 * (\x{131}) keep the default folding.
 */
#ifndef EXPRESSION_H
#define EXPRESSION_H

#include <stddef.h>
#include <stdint.h>

#if defined(EXP_BUILDING_LIBRARY)
#define EXP_API __attribute__((visibility("default")))
#else
#define EXP_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- types and constants --------------------------------------------------------------------- */

typedef struct exp_engine exp_engine; /* opaque engine context */
typedef struct exp_pcode exp_pcode;   /* opaque compiled program */
typedef struct exp_class exp_class;   /* opaque class record */

/* A reference-counted object instance; the class of the cell that holds it owns the destructor. */
typedef struct exp_object {
  uint32_t refcount;
  void *data;
} exp_object;

/*
 * A 52-digit decimal floating-point number (reals and dates), 24 bytes:
 *   w[0], w[1] and bits 0..44 of w[2]: the coefficient, an unsigned binary integer below 10^52,
 *     least significant word first;
 *   bits 45..62 of w[2]: the biased exponent (exponent + EXP_DECIMAL_BIAS) of a finite number, or a code
 *     above the finite range for infinity and NaN;
 *   bit 63 of w[2]: the sign.
 * The value is (-1)^sign * coefficient * 10^exponent. Hosts normally go through
 * exp_symval_setdbl / exp_symval_setreal_text and exp_symval_to_text instead of the bits.
 */
typedef struct exp_decimal192 {
  uint64_t w[3];
} exp_decimal192;
#define EXP_DECIMAL_BIAS 131072     /* added to the exponent of a finite number */
#define EXP_DECIMAL_EXP_SHIFT 45    /* position of the exponent field in w[2] */
#define EXP_DECIMAL_INF 0x3FFFD     /* exponent-field codes of the special values */
#define EXP_DECIMAL_QNAN 0x3FFFE
#define EXP_DECIMAL_SNAN 0x3FFFF

/* A value cell. Read the fields directly; write values through the exp_symval_* setters. */
typedef struct exp_symval {
  uint32_t flags;  /* type code in bits 0-3, EXP_* flags above */
  uint32_t len;    /* string cell: its limit in characters (bytes with EXP_BYTES) */
  exp_class *cls;  /* object cell: the class of the instances it holds */
  union {
    int64_t i;          /* boolean (0 = false) and integer */
    exp_decimal192 d;   /* real, and date as a number of days since 1899-12-30 */
    char *s;            /* string: owned UTF-8 buffer of 4 * len + 1 bytes */
    void *p;            /* pointer */
    exp_object *o;      /* object instance, or NULL */
  } value;
} exp_symval;

/* Type codes (bits 0-3 of flags). */
#define EXP_BOOLEAN 1
#define EXP_INTEGER 2
#define EXP_REAL 3
#define EXP_STRING 4
#define EXP_DATE 5
#define EXP_POINTER 6
#define EXP_OBJECT 7
#define EXP_TYPE_MASK 0x0F
#define EXP_TYPE(cell) ((int)((cell)->flags & EXP_TYPE_MASK))

/* Flags. */
#define EXP_NULL 0x10     /* the cell holds null */
#define EXP_STATIC 0x20   /* keeps its value between runs */
#define EXP_READONLY 0x40 /* programs may not assign to it */
#define EXP_HOSTSYM 0x80  /* bound by the host */
#define EXP_HIDDEN 0x100  /* declared hidden */
#define EXP_LOCAL 0x200   /* local symbol of one program */
#define EXP_BYTES 0x400   /* the string limit counts bytes */
#define EXP_IS_NULL(cell) (((cell)->flags & EXP_NULL) != 0)

/* exp_make_pcode flags. */
#define EXP_MAKE_STATIC 1  /* declarations are static */
#define EXP_MAKE_PRIVATE 2 /* declarations are private (local to the program) */
#define EXP_MAKE_BYTES 4   /* the result's string limit counts bytes */

/* exp_add_symbol options. */
#define EXP_SYM_READONLY 1
#define EXP_SYM_BYTES 2

/* Unlimited maximum argument count of a function. */
#define EXP_UNLIMITED 0xFFFFFFFFu

/* Callbacks. A function reports failure by returning the number it got from exp_raise_error,
 * exp_raise_memory_error or another reporting call; argv[argc] is the calling program's self cell. */
typedef int (*exp_func_cb)(exp_engine *e, exp_symval *result, int argc, exp_symval **argv);
typedef int (*exp_interrupt_cb)(exp_engine *e); /* non-zero stops the run with error 104 */
typedef void (*exp_destructor_cb)(void *data);
typedef void (*exp_dump_cb)(const char *text, void *user);

/* ---- engine ------------------------------------------------------------------------------------ */

EXP_API exp_engine *exp_init(void);                         /* new engine, or NULL */
EXP_API exp_engine *exp_clone(exp_engine *src);             /* new engine with src's host functions */
EXP_API int exp_clean(exp_engine *e);                       /* 0, or 8 while programs are alive */
EXP_API void exp_set_option(exp_engine *e, const char *name, const char *value); /* DATE_ISO8601, ESCAPED_STRING: "1"/"0" */
EXP_API void exp_set_callback_data(exp_engine *e, void *data);
EXP_API void *exp_get_callback_data(exp_engine *e);
EXP_API void exp_set_interrupt_hndlr(exp_engine *e, exp_interrupt_cb h); /* asked every 1048 instructions */

/* ---- errors ------------------------------------------------------------------------------------ */

/* The last error number; *message gets the engine's message, line/column (optional) the position
 * at which the last compilation stopped, or 0. */
EXP_API int exp_error_info(exp_engine *e, const char **message, int *line, int *column);
EXP_API int exp_raise_error(exp_engine *e, const char *text); /* 102 "Error in function: text" */
EXP_API int exp_raise_memory_error(exp_engine *e);            /* 1 "Memory Allocation Failed" */

/* ---- value cells ------------------------------------------------------------------------------- */

EXP_API void exp_symval_setnull(exp_symval *c);
EXP_API void exp_symval_setint(exp_symval *c, int64_t v);   /* boolean or integer cells */
EXP_API void exp_symval_setdbl(exp_symval *c, double v);    /* real or date cells */
EXP_API int exp_symval_getdbl(const exp_symval *c, double *out); /* 1 when exact enough, else 0 */
EXP_API void exp_symval_setfdnum(exp_symval *c, const exp_decimal192 *v); /* real or date cells */
EXP_API void exp_symval_setstr(exp_symval *c, const char *text); /* cut to the cell's limit */
EXP_API void exp_symval_setstrn(exp_symval *c, const char *text, int n); /* at most n characters */
EXP_API void exp_symval_setptr(exp_symval *c, void *p);
EXP_API void exp_symval_copy(const exp_symval *src, exp_symval *dst); /* same type only, else null */
EXP_API void exp_symval_coerce(exp_engine *e, const exp_symval *src, exp_symval *dst); /* converts */
EXP_API int exp_symval_str_concat(exp_symval *c, const char *text);  /* characters appended */
EXP_API int exp_symval_strn_concat(exp_symval *c, const char *text, int n); /* at most n bytes */
EXP_API int exp_symval_str_resize(exp_symval *c, int n);     /* new limit; 0 ok, 1 failure */
EXP_API void exp_symval_str_normalize(exp_symval *c);        /* cut an EXP_BYTES cell to its limit */
EXP_API exp_object *exp_instantiate_object(exp_symval *c, void *data); /* refcount 1 */
EXP_API void *exp_object_value(exp_object *o);

/* Additions for hosts. */
/* Writes the cell's value as text (the conversion to string, without a length limit) into buf of
 * size bytes, cut on a character boundary; a null cell gives "". Returns the bytes the full text
 * needs, without the terminator, or -1 when the cell cannot be shown as text (pointer, object). */
EXP_API int exp_symval_to_text(exp_engine *e, const exp_symval *c, char *buf, size_t size);
/* Sets a real or date cell from decimal text (numeric-string syntax, no rounding beyond 52 digits
 * of the format). Returns 0, or 1 when the text is not a number or the cell is not real/date
 * (the cell is then null). */
EXP_API int exp_symval_setreal_text(exp_symval *c, const char *text);
/* Sets any cell from text by the conversion rules (a string cell takes the text cut to its limit;
 * other types convert: numbers, boolean words, dates in ISO 8601 or the locale's order). A NULL text
 * makes the cell null. Returns 0, or 1 when the text does not convert (the cell is then null). */
EXP_API int exp_symval_settext(exp_engine *e, exp_symval *c, const char *text);
/* Builds the decimal coefficient x 10^exponent exactly (for example 1234, -2 is 12.34). An exponent
 * outside the format's range gives NaN. */
EXP_API void exp_decimal_make(exp_decimal192 *d, int64_t coefficient, int32_t exponent);
/* The value of a finite decimal as an integer count of 10^exponent units (12.34 with exponent -4
 * is 123400). Returns 1, or 0 when the value is not finite, is not a whole number of such units or
 * does not fit 64 bits. */
EXP_API int exp_decimal_scaled(const exp_decimal192 *d, int32_t exponent, int64_t *out);
/* The library version as "major.minor.patch". */
EXP_API const char *exp_version(void);

/* ---- symbols ----------------------------------------------------------------------------------- */

/* A string limit is 1 to 536870911 characters (its buffer of 4 bytes per character must stay below
 * 2 GiB); a larger one is refused with error 3, as are larger result limits of exp_make_pcode and
 * declared string lengths (error 32). */
EXP_API int exp_add_symbol(exp_engine *e, const char *name, int type, int limit, int options, exp_symval **out);
EXP_API void exp_reset_symbols(exp_engine *e);               /* every global cell becomes null */
EXP_API int exp_symbol_count(exp_engine *e);
EXP_API int exp_symbol_get(exp_engine *e, int index, exp_symval **out);
EXP_API int exp_symbol_name_get(exp_engine *e, int index, const char **out);
EXP_API exp_symval *exp_symbol_get_by_name(exp_engine *e, const char *name);
EXP_API int exp_erase_symbols(exp_engine *e);                /* 8 while programs are alive */

/* ---- compiling --------------------------------------------------------------------------------- */

EXP_API int exp_make_pcode(exp_engine *e, const char *text, exp_pcode **out, int result_type,
                           int result_len, int flags, const char *name);
EXP_API int exp_determine_symbols(exp_engine *e, const char *text);
EXP_API int exp_get_next_req_symbol(exp_engine *e, const char **name);

/* ---- running ----------------------------------------------------------------------------------- */

/* A host function may run other programs of the engine from its callback, but not a program that
 * is running (directly or as a user-defined function), and runs nest at most 256 deep: both are
 * refused with error 3. */
EXP_API int exp_execute(exp_engine *e, exp_pcode *p, exp_symval **result);
EXP_API void exp_cancel_execution(exp_pcode *p); /* may be called from another thread */
/* Where the last run of p stopped with an error: the line and column (from 1) in the program text
 * of the operator, call or statement whose instruction failed. A failure inside a user-defined
 * function is reported at its call in p. Returns 1 with the position, or 0 (line and column 0)
 * when the last run succeeded or the position is unknown (programs not compiled from text). */
EXP_API int exp_run_position(exp_pcode *p, int *line, int *column);

/* ---- programs ---------------------------------------------------------------------------------- */

EXP_API int exp_copy_pcode(exp_engine *src, exp_engine *dst, exp_pcode *p, exp_pcode **out);
/* A user-defined function is refused (8) while a live program calls it: free its callers first. */
/* A running program is refused (3), for instance when a host callback tries to free its caller. */
EXP_API int exp_free_pcode(exp_engine *e, exp_pcode *p);
EXP_API void exp_dump_pcode(exp_engine *e, exp_pcode *p, exp_dump_cb cb, void *user);
EXP_API void exp_dump_global_status(exp_dump_cb cb, void *user);

/* ---- registry ---------------------------------------------------------------------------------- */

EXP_API int exp_register_function(exp_engine *e, const char *name, exp_func_cb fn, int min_args,
                                  uint32_t max_args, const char *signature, char ret_type,
                                  uint32_t max_len, const char *description, int hidden,
                                  const char *class_name);
EXP_API int exp_get_function_count(exp_engine *e);
EXP_API int exp_get_function_info(exp_engine *e, int index, const char **name, int *min_args,
                                  uint32_t *max_args, const char **signature, char *ret_type,
                                  const char **description);
EXP_API int exp_register_class(exp_engine *e, const char *name, const char *description,
                               exp_destructor_cb d, exp_class **out);
EXP_API int exp_register_class2(exp_engine *e, const char *name, const char *description,
                                exp_destructor_cb d, exp_class **out, int hidden);
EXP_API int exp_register_class_function(exp_engine *e, exp_class *c, const char *function,
                                        const char *method);
EXP_API int exp_get_class_count(exp_engine *e);
EXP_API int exp_get_class_info(exp_engine *e, int index, const char **name,
                               const char **description, exp_class **out);
EXP_API exp_class *exp_get_class_by_name(exp_engine *e, const char *name);
EXP_API int exp_get_class_function_count(exp_class *c);
EXP_API int exp_get_class_function_info(exp_engine *e, exp_class *c, int index, const char **method,
                                        int *min_args, uint32_t *max_args, const char **signature,
                                        char *ret_type, const char **description);

/* ---- capabilities and limits ------------------------------------------------------------------- */

/* Capability groups: the built-ins that reach outside the engine. A new engine allows every group;
 * exp_set_capabilities narrows what programs compiled (or copied, or run) in it from then on may
 * use, and exp_clone copies the setting. A call of a built-in whose group is denied does not
 * compile: error 53 "Function 'execute' needs the 'process' capability, which the host has not
 * allowed" at the call, whether the call is direct, a `call` statement, a method, or a call of a
 * user-defined function that needs the group. Where only the run can tell (the file class's open:
 * its mode decides between file read and file write) the run stops with error 108, same text,
 * before anything is opened. exp_copy_pcode into an engine that denies a group the program needs
 * is refused with 53, and a program compiled before its group was denied no longer runs (108).
 * Nothing denied ever runs. */
#define EXP_CAP_PROCESS 0x01     /* execute */
#define EXP_CAP_FILE_READ 0x02   /* fileexists, filedate, the file class opened for reading */
#define EXP_CAP_FILE_WRITE 0x04  /* deletefile, movefile, copyfile, mkdir, rmdir, files opened for writing */
#define EXP_CAP_ENVIRONMENT 0x08 /* username */
#define EXP_CAP_LOCALE 0x10      /* locale: changes the locale of the whole process */
#define EXP_CAP_SLEEP 0x20       /* sleep */
#define EXP_CAP_VARIABLES 0x40   /* vareval, varset: reach any symbol by name, read-only ones included */
#define EXP_CAP_ALL 0x7F
/* Sets the groups programs compiled in e may use. Returns 0, or 3 for bits outside EXP_CAP_ALL. */
EXP_API int exp_set_capabilities(exp_engine *e, unsigned allowed);
EXP_API unsigned exp_get_capabilities(const exp_engine *e);

/* Registers fn under `name` like exp_register_function, but where a built-in (or a function
 * registered before) has that name, fn takes its place in this engine: programs compiled from
 * then on call fn. exp_register_function keeps refusing such names with error 4, so a host
 * replaces a built-in only by saying so with this call. The replacement needs no capability group
 * (a deletefile confined to one folder stays callable where file write is denied), and clones of
 * the engine inherit it. Returns 0, or the errors of exp_register_function other than 4. */
EXP_API int exp_replace_function(exp_engine *e, const char *name, exp_func_cb fn, int min_args, uint32_t max_args,
                                 const char *signature, char ret_type, uint32_t max_len, const char *description,
                                 int hidden, const char *class_name);

/* Options of exp_set_option that confine what programs reach:
 *   CHILD_STDOUT  "inherit" (default): children of execute write to the host's standard output;
 *                 "stderr": their standard output goes to the host's standard error, for hosts
 *                 whose standard output carries data. Children always read /dev/null as their
 *                 standard input, and a cancelled run (exp_cancel_execution, or the interrupt
 *                 handler asking to stop) ends the child it waits for: SIGTERM, then SIGKILL
 *                 two seconds later.
 *   FILE_SPECIAL  "0" (default): the file class opens regular files only; FIFOs, devices and
 *                 sockets open as failures. "1" allows them. Opening never waits either way. */

/* Resource limits of one engine; 0 means no limit, the default of each. A limit reached stops the
 * compilation or the run with error 109 "Limit reached: ..." naming the limit and its value;
 * nothing the failed run held stays counted, so the next run of the same program works. exp_clone
 * copies the limits.
 *   MEMORY      bytes of the buffers of program cells (declared strings, constants, temporaries,
 *               charged when a program is compiled or copied, given back when it is freed), of
 *               arrays and their strings, and of compiled regexes. A declaration past it does
 *               not compile; dim, set, aparse and compile past it stop the run. The host's own
 *               symbols are not counted.
 *   STEPS       instructions of one run (exp_execute, user-defined functions included), counted
 *               at the run loop's periodic check, so a run stops within 1048 instructions past
 *               the limit; no interrupt handler is needed.
 *   STRING      characters of a declared string, and of a result that grows at run time (a
 *               concatenation, an array element read back, a text function's result).
 *   CALL_DEPTH  user-defined functions running inside one another.
 *   REGEX_MATCH, REGEX_DEPTH  PCRE2's match and depth limits, applied to regexes compiled after
 *               they are set (without REGEX_MATCH the match limit is 10,000,000).
 *   SYMBOLS     global symbols, the host's and those programs declare.
 *   PROGRAM     instructions of one compiled program.
 * Long built-ins (aparse, edit_distance, the wait of execute, sleep) also look at cancellation
 * and ask the interrupt handler as they go, so a time-out stops them within a bounded time. */
#define EXP_LIMIT_MEMORY 1      /* bytes held by the engine's strings, arrays, regexes, temporaries */
#define EXP_LIMIT_STEPS 2       /* instructions per run */
#define EXP_LIMIT_STRING 3      /* longest string, in characters */
#define EXP_LIMIT_CALL_DEPTH 4  /* nested user-defined function calls */
#define EXP_LIMIT_REGEX_MATCH 5 /* PCRE2 match limit */
#define EXP_LIMIT_REGEX_DEPTH 6 /* PCRE2 depth limit */
#define EXP_LIMIT_SYMBOLS 7     /* global symbols */
#define EXP_LIMIT_PROGRAM 8     /* instructions in one compiled program */
#define EXP_LIMIT_COUNT 8
/* Sets limit `which` to `value`. Returns 0, or 3 for an unknown limit or a negative value. */
EXP_API int exp_set_limit(exp_engine *e, int which, int64_t value);
/* The limit's value, 0 when unset, or -1 for an unknown limit. */
EXP_API int64_t exp_get_limit(const exp_engine *e, int which);

/* Threads: engines on different threads run at the same time, each used by one thread. The
 * `locale` built-in changes the locale of the whole process (every engine, and the host); the
 * library switches and reads the locale's name under its own lock, but a multi-threaded host whose
 * results must not change under it should deny EXP_CAP_LOCALE. Reading a value as bytes (the
 * mainframe readers, the file class's writebytes) reads only that value: bytes a longer earlier
 * value left in a buffer read as zeros. A host that writes raw bytes straight into a cell's
 * buffer writes the whole field. */

/* ---- dates ------------------------------------------------------------------------------------- */

/* Days since 1899-12-30 00:00 (1900-03-01 is 61); both return 1 on success, 0 on failure. */
EXP_API int exp_compose_date(int year, int month, int day, int hour, int minute, int second, double *days);
EXP_API int exp_decompose_date(double days, int *year, int *month, int *day, int *hour, int *minute,
                               int *second);

#ifdef __cplusplus
}
#endif

#endif /* EXPRESSION_H */
