/*
 * expression.h: the interface of an embeddable expression engine.
 *
 * A host application lets its users write small programs in a statement language, compiles each
 * program once, and runs it once per record of its data:
 *
 *   1. exp_init creates an engine (exp_init_ex(EXP_INIT_NO_USER_SETTINGS) one that does not read
 *      the user's settings file). Everything happens inside one: its symbols, its functions and
 *      classes, its compiled programs and its last error.
 *   2. exp_add_symbol binds each record field as a typed symbol and hands back the symbol's value
 *      cell (exp_symval), which the host keeps.
 *   3. exp_make_pcode compiles a program text into a program (exp_pcode). Names, types and
 *      functions are resolved here; a program that compiles cannot fail for those reasons later.
 *   4. Per record: write the field values into the cells (exp_symval_set*), run with exp_execute,
 *      read the result cell and any symbols the program set.
 *   5. exp_free_pcode frees each program, exp_clean frees the engine.
 *
 *   exp_engine *e = exp_init();
 *   exp_symval *qty, *result;
 *   exp_pcode *p;
 *   exp_add_symbol(e, "qty", EXP_INTEGER, 0, 0, &qty);
 *   if (exp_make_pcode(e, "qty * 2", &p, EXP_INTEGER, 0, 0, NULL) != 0) { ... exp_error_info ... }
 *   exp_symval_setint(qty, 21);
 *   if (exp_execute(e, p, &result) == 0 && !EXP_IS_NULL(result)) printf("%lld\n", (long long)result->value.i);
 *   exp_free_pcode(e, p);
 *   exp_clean(e);
 *
 * docs/embedding.md walks through a complete host.
 *
 * CONVENTIONS
 *
 * Errors. Every call that can fail returns an error number: 0 for success, otherwise one of the
 * EXP_E_* numbers below. The number and a message (at most 255 bytes of UTF-8) are also stored in
 * the engine, where exp_error_info reads them until the next call that reports; a call that
 * succeeds clears them. Calls without an engine argument (the exp_symval_* setters) return their
 * number only; exp_errstr gives its text. No call throws, aborts or logs; running out of memory
 * is error 1 (EXP_E_NOMEM) and leaves the engine usable.
 *
 * Null arguments. A NULL engine makes every call return EXP_E_INVALID_INPUT (or 0, NULL, nothing)
 * without touching anything; other NULL pointers where a value is required are refused with
 * EXP_E_INVALID_INPUT. Out-pointers documented as optional may be NULL.
 *
 * Handles of other engines. A program, or a class, belongs to the engine that made it. Handing it
 * to a call with another engine is refused with EXP_E_FOREIGN_HANDLE (111) and changes nothing.
 * Cells are plain memory and are not checked: a cell pointer is only valid with its own engine.
 *
 * Freed handles. Using an engine after exp_clean, or a program after exp_free_pcode, is a host
 * error the library cannot always catch. Engines and programs carry a mark that freeing clears, so
 * a second exp_free_pcode or exp_clean, and exp_execute, exp_copy_pcode, exp_make_pcode and the
 * other calls taking a freed engine or program, are refused with EXP_E_INVALID_INPUT (3), or do
 * nothing, without writing into the freed memory; but only while that memory has not been reused
 * by a new allocation, and reading the mark is itself a read of freed memory (which memory
 * checkers report). Cells, classes and texts the engine handed out are not checked at all: every
 * pointer into an engine or program dies with it. Set your handles to NULL when you free them.
 *
 * Text. All text is UTF-8. Names (of symbols, functions, classes, methods, options) are compared
 * without regard to case and are cut to 64 bytes. String limits and positions count characters,
 * except in cells flagged EXP_BYTES, whose limit counts bytes.
 *
 * Ownership. The engine owns its symbols and their cells, its function and class records and every
 * text it hands out (names, descriptions, messages): these pointers stay valid as long as the
 * engine and the thing they describe. The host owns each program from exp_make_pcode or
 * exp_copy_pcode until exp_free_pcode. The library never keeps a pointer to text the host passes
 * in: it copies what it keeps.
 *
 * THREADS
 *
 * The library creates no threads and takes no locks.
 * - One engine, with its symbols, cells and programs, is used by one thread at a time. Different
 *   engines may be used on different threads at the same time.
 * - To run one program on several threads, give each thread its own engine: exp_clone the first
 *   engine (host functions come along), bind the symbols in the clone, and exp_copy_pcode the
 *   program into it. While exp_clone or exp_copy_pcode reads a source engine and program, no other
 *   thread may use that source.
 * - exp_cancel_execution may be called from any thread while the program runs on another.
 * - Process-wide state: the `locale` built-in changes the locale of the whole process (setlocale),
 *   which every other engine and the rest of the host then see. Multi-threaded hosts should deny
 *   it (EXP_CAP_LOCALE). Compiling switches only the compiling thread to the "C" locale.
 * - exp_error_info's message belongs to the engine and is overwritten by the engine's next call.
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

/* ---- version ----------------------------------------------------------------------------------- */

#define EXP_VERSION_MAJOR 0
#define EXP_VERSION_MINOR 1
#define EXP_VERSION_PATCH 0
/* The version of the library actually loaded, as "major.minor.patch"; compare it with the macros
 * above (the header compiled against) to detect a mismatched shared library. Static text. */
EXP_API const char *exp_version(void);

/* ---- types and constants --------------------------------------------------------------------- */

typedef struct exp_engine exp_engine; /* opaque engine context */
typedef struct exp_pcode exp_pcode;   /* opaque compiled program */
typedef struct exp_class exp_class;   /* opaque class record */

/* A reference-counted object instance; the class of the cell that holds it owns the destructor,
 * which gets `data` when the last cell referring to the instance lets it go. */
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
 * The value is (-1)^sign * coefficient * 10^exponent. Finite values reach from 1E-98354 up to
 * 9.99...E+98304 (52 nines). Hosts normally go through exp_symval_setreal_text,
 * exp_decimal_make / exp_decimal_scaled and exp_symval_to_text instead of the bits.
 */
typedef struct exp_decimal192 {
  uint64_t w[3];
} exp_decimal192;
#define EXP_DECIMAL_BIAS 131072     /* added to the exponent of a finite number */
#define EXP_DECIMAL_EXP_SHIFT 45    /* position of the exponent field in w[2] */
#define EXP_DECIMAL_INF 0x3FFFD     /* exponent-field codes of the special values */
#define EXP_DECIMAL_QNAN 0x3FFFE
#define EXP_DECIMAL_SNAN 0x3FFFF

/*
 * A value cell: a symbol's value, a program's result, a function's argument or result.
 * Read the fields directly; write values only through the exp_symval_* setters, which keep the
 * flags, the string buffer and object reference counts right. The type of a cell is fixed when
 * it is made; a setter given a value the cell cannot hold makes the cell null.
 */
typedef struct exp_symval {
  uint32_t flags;  /* type code in bits 0-3, EXP_* flags above */
  uint32_t len;    /* string cell: its limit in characters (bytes with EXP_BYTES) */
  exp_class *cls;  /* object cell: the class of the instances it holds */
  union {
    int64_t i;          /* boolean (0 = false) and integer */
    exp_decimal192 d;   /* real, and date as a number of days since 1899-12-30 */
    char *s;            /* string: NUL-terminated UTF-8 in an owned buffer of 4 * len + 1 bytes */
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
/* The name of a type code as programs write it: "boolean", "integer", "real", "string", "date",
 * "pointer", "object" for EXP_BOOLEAN ... EXP_OBJECT, and "" for any other code. Never NULL;
 * static text. */
EXP_API const char *exp_type_name(int type);

/* The largest string limit a cell may have, in characters (bytes for EXP_BYTES cells): its buffer
 * of 4 bytes per character and a terminator must stay countable in a 32-bit int. */
#define EXP_MAX_STRING 536870911

/* Flags. */
#define EXP_NULL 0x10     /* the cell holds null; the value field means nothing then */
#define EXP_STATIC 0x20   /* keeps its value between runs (every host symbol) */
#define EXP_READONLY 0x40 /* programs may not assign to it */
#define EXP_HOSTSYM 0x80  /* bound by the host */
#define EXP_HIDDEN 0x100  /* declared hidden */
#define EXP_LOCAL 0x200   /* local symbol of one program */
#define EXP_BYTES 0x400   /* the string limit counts bytes */
/* The text a string cell holds now was cut to the cell's limit when it was stored: set by every
 * store that cut (assignment and conversion, concatenation, exp_symval_setstr/setstrn/setbytes/
 * copy/coerce/str_concat, a shrinking exp_symval_str_resize, built-in results stored into the
 * cell) and cleared by every store that did not cut, null included. A declared variable is set
 * null at the start of each run, so after exp_execute the flag tells whether this run cut it. */
#define EXP_CUT 0x800
#define EXP_IS_NULL(cell) (((cell)->flags & EXP_NULL) != 0)

/* exp_make_pcode flags. */
#define EXP_MAKE_STATIC 1  /* declarations are static (keep their values between runs) */
#define EXP_MAKE_PRIVATE 2 /* declarations are private (local to the program) */
#define EXP_MAKE_BYTES 4   /* the result's string limit counts bytes */

/* exp_add_symbol options. */
#define EXP_SYM_READONLY 1 /* programs may not assign to the symbol */
#define EXP_SYM_BYTES 2    /* a string symbol's limit counts bytes */

/* Unlimited maximum argument count of a function. */
#define EXP_UNLIMITED 0xFFFFFFFFu

/* ---- error numbers ------------------------------------------------------------------------------
 * 1-9 and 111-117: misuse of the interface; 10-11 and 30-53: compiling; 100-109: running.
 * exp_errstr gives the catalogue text of each. Every call that fails returns a positive number;
 * none is ever negative. */
#define EXP_E_NOMEM 1                /* Memory Allocation Failed */
#define EXP_E_INTERNAL 2             /* Error at <file> (<line>); also an index past the end (exp_symbol_get) */
#define EXP_E_INVALID_INPUT 3        /* Invalid input: <what> (bad argument, refused run or free) */
#define EXP_E_FUNCTION_EXISTS 4      /* Function already registered */
#define EXP_E_RETURN_TYPE 5          /* Invalid return type */
#define EXP_E_PARAM_TYPE 6           /* Invalid parameter type '<letter>' */
#define EXP_E_ZERO_LENGTH 7          /* Zero length strings are not allowed */
#define EXP_E_ACTIVE_HANDLES 8       /* One or more active compiled handles still exist */
#define EXP_E_CLASS_EXISTS 9         /* Class already registered */
#define EXP_E_INCOMPLETE 10          /* Incomplete expression. End of input reached. */
#define EXP_E_COMMENT 11             /* Mismatched comment designators */
#define EXP_E_DECLARATION 30         /* Invalid declaration */
#define EXP_E_DUPLICATE_SYMBOL 31    /* Duplicate symbol '<name>' found */
#define EXP_E_COMPILE 32             /* Compilation error: <what> */
#define EXP_E_PARENTHESIS 33         /* Missing parenthesis */
#define EXP_E_SYMBOL_NOT_FOUND 34    /* Symbol '<name>' not found */
#define EXP_E_FUNCTION_NOT_FOUND 35  /* Function '<name>' not found */
#define EXP_E_MISSING_COMMA 36       /* Missing comma in function call */
#define EXP_E_PARAM_MISMATCH 37      /* Parameter mismatch on parameter <n> */
#define EXP_E_PARAM_COUNT 38         /* Parameter count mismatch */
#define EXP_E_DUPLICATE_LABEL 39     /* Duplicate label '<name>' found */
#define EXP_E_LABEL_NOT_FOUND 40     /* Label '<name>' not found */
#define EXP_E_IDENT_TOO_LONG 41      /* Identifier is too long */
#define EXP_E_READONLY 42            /* Symbol '<name>' is read-only */
#define EXP_E_NOT_SYMBOL 43          /* Can't assign a value to a non-symbol */
#define EXP_E_NO_METHOD 44           /* Class '<class>' doesn't support the '<method>' method */
#define EXP_E_NOT_OBJECT 45          /* Not an object */
#define EXP_E_BEGIN_NO_END 46        /* Found 'Begin' with no 'End' */
#define EXP_E_END_NO_BEGIN 47        /* Found 'End' without 'Begin' */
#define EXP_E_MISSING_STATEMENT 48   /* Missing statement, or 'else' without 'if' */
#define EXP_E_EXPECTED_STATEMENT 49  /* Expected statement */
#define EXP_E_UNEXPECTED_VALUE 50    /* Unexpected value */
#define EXP_E_UNKNOWN_FUNCTION 51    /* Invalid/unknown function */
#define EXP_E_INVALID_COMPARISON 52  /* Invalid comparison */
#define EXP_E_CAPABILITY_DENIED 53   /* a call of a built-in that the engine's capabilities deny */
#define EXP_E_INVALID_INSTRUCTION 100 /* Invalid instruction #<n> */
#define EXP_E_DIVIDE_BY_ZERO 101     /* Divide by zero */
#define EXP_E_FUNCTION 102           /* Error in function: <text> (exp_raise_error) */
#define EXP_E_NULL_USE 103           /* Invalid use of null */
#define EXP_E_INTERRUPT 104          /* User interrupt (cancel, interrupt handler) */
#define EXP_E_LOCALE 105             /* Invalid locale */
#define EXP_E_DATE 106               /* Invalid date */
#define EXP_E_USER 107               /* raised by the program (raiseerror); the message is its text */
#define EXP_E_CAPABILITY_DENIED_RUN 108 /* a denied capability that only the run could tell */
#define EXP_E_LIMIT 109              /* a resource limit of the engine was reached */
#define EXP_E_FOREIGN_HANDLE 111     /* <handle> belongs to another engine */
#define EXP_E_INVALID_UTF8 112       /* Text is not valid UTF-8 (exp_symval_setbytes) */
#define EXP_E_TEXT_CUT 113           /* Text cut to the cell's limit (exp_symval_setbytes; the cut text is stored) */
#define EXP_E_UNKNOWN_OPTION 114     /* Unknown option '<name>' (exp_set_option) */
#define EXP_E_NOT_A_NUMBER 115       /* Text is not a number (exp_symval_setreal_text) */
#define EXP_E_NOT_CONVERTIBLE 116    /* Text does not convert to the cell's type (exp_symval_settext) */
#define EXP_E_STRING_LIMIT_RANGE 117 /* String limit out of range (exp_symval_str_resize) */

/* The catalogue text of an error number, with its placeholders as printf writes them ("Symbol
 * '%s' not found"); "No error" for 0; a generic text for a number without an entry. Never NULL;
 * static text. For the message of an error that happened, with its details, use exp_error_info. */
EXP_API const char *exp_errstr(int code);

/* ---- callbacks ------------------------------------------------------------------------------------ */

/* A function registered by the host (exp_register_function) or a class method. `result` is the
 * cell to set (its type is the function's return type; leave it null for no value); `argv[0]` to
 * `argv[argc-1]` are the arguments, converted to the signature's types, and `argv[argc]` is a
 * pointer cell holding the calling program. The cells belong to the running program: do not keep
 * them past the call. Return 0, or report failure by returning what exp_raise_error,
 * exp_raise_memory_error or another failing call of the same engine returned: the run stops and
 * exp_execute returns that number. The callback may call exp_get_callback_data(e) and run other
 * programs of `e` (see exp_execute); it must not free the running program or clean the engine. */
typedef int (*exp_func_cb)(exp_engine *e, exp_symval *result, int argc, exp_symval **argv);
/* Asked about every 1048 instructions of a run, those of the user-defined functions it calls
 * included, every 16,384 steps of a built-in's work (see EXP_LIMIT_STEPS), while `sleep` and
 * `execute` wait, and every 4,096 tokens while a text compiles (exp_make_pcode,
 * exp_determine_symbols); a non-zero return stops the run, or the compile, with EXP_E_INTERRUPT.
 * It is how a host stops a long compile: a thread that wants a compile to end sets a flag this
 * handler reads. */
typedef int (*exp_interrupt_cb)(exp_engine *e);
/* Frees the `data` of an object instance when its last reference goes. */
typedef void (*exp_destructor_cb)(void *data);
/* Receives dump text piece by piece (exp_dump_pcode); `text` is valid only during the call. */
typedef void (*exp_dump_cb)(const char *text, void *user);

/* ---- engine ------------------------------------------------------------------------------------
 * Settings files. exp_init reads one setting, ESCAPED_STRING's starting value, from a settings
 * file: the user's $XDG_CONFIG_HOME/expression/config (default ~/.config/expression/config)
 * first, then the machine's $EXPRESSION_SYSCONFDIR/config (default /etc/expression/config); a line
 * `escaped_string = yes` turns it on. The user's file thus changes what programs mean ("C:\temp"
 * keeps or loses its backslashes). A host whose rules must mean the same for every user starts
 * its engines with exp_init_ex(EXP_INIT_NO_USER_SETTINGS), and may set the option itself. */

/* exp_init_ex flags. */
#define EXP_INIT_NO_USER_SETTINGS 1u /* do not read the user's settings file (the machine's still counts) */

/* A new engine with the built-in functions and classes, no symbols, no host functions, options
 * off (ESCAPED_STRING from the user's or machine's settings file), every capability allowed and no
 * limits. NULL when memory runs out. Free it with exp_clean. Same as exp_init_ex(0). */
EXP_API exp_engine *exp_init(void);
/* exp_init with EXP_INIT_* flags; clones of the engine are made with the same flags. NULL for a
 * flag bit the library does not know, or when memory runs out. */
EXP_API exp_engine *exp_init_ex(unsigned flags);

/* A new engine that has the host functions registered in `src` (same names, callbacks, counts,
 * signatures, and the built-ins it replaced with exp_replace_function) and is as confined as `src`:
 * the same capabilities, limits, and CHILD_STDOUT and FILE_SPECIAL options. Nothing else is
 * carried: not the symbols, not host classes and their methods, not the other options (a clone
 * starts with DATE_ISO8601 off), not the interrupt handler, the callback data, nor the programs and
 * user-defined functions: bind and set those in the clone, and move programs with exp_copy_pcode.
 * `src` is only read. NULL on failure. */
EXP_API exp_engine *exp_clone(const exp_engine *src);

/* Frees the engine and everything it owns (symbols, cells, records, the last error). Refused with
 * EXP_E_ACTIVE_HANDLES (8), changing nothing, while any program of the engine has not been freed
 * with exp_free_pcode. Returns 0 for NULL, 3 for an engine already freed (see "Freed handles").
 * After success `e` is gone: use none of its pointers. */
EXP_API int exp_clean(exp_engine *e);

/* Sets an option by name (case-insensitive):
 *   "DATE_ISO8601"    "1": dates convert to ISO 8601 text (2026-12-06 15:13:44); "0": the locale's
 *                     short date form (the default). Hosts should set "1": the default form has
 *                     two-digit years ("01/01/00 00:00:00" in the "C" locale for 1900-01-01, which
 *                     converts back to 2000-01-01), so a date written as text and read again can
 *                     move by a century. Text converted to a date is read the same either way.
 *   "ESCAPED_STRING"  "1": a backslash in a string literal escapes the next character; "0": it is
 *                     an ordinary character. Takes effect for programs compiled afterwards.
 *   "CHILD_STDOUT", "FILE_SPECIAL"  confine what programs reach; see "capabilities and limits".
 * Returns 0 (the engine's last error is left as it was), or EXP_E_UNKNOWN_OPTION for a name the
 * engine does not know, EXP_E_INVALID_INPUT for a value the option does not take (the option is
 * then unchanged). */
EXP_API int exp_set_option(exp_engine *e, const char *name, const char *value);

/* Stores an opaque pointer for the host's callbacks; never read by the library, not carried by
 * exp_clone. */
EXP_API void exp_set_callback_data(exp_engine *e, void *data);
EXP_API void *exp_get_callback_data(const exp_engine *e);
/* Sets (NULL removes) the interrupt handler asked during runs; see exp_interrupt_cb. */
EXP_API void exp_set_interrupt_hndlr(exp_engine *e, exp_interrupt_cb h);

/* ---- errors ------------------------------------------------------------------------------------ */

/* The engine's last error number (0 after a call that succeeded). `*message` (must be given) gets
 * the engine's message, valid until the engine's next call. `line` and `column` (optional, from 1)
 * get where in the program text the error lies: the token at which compiling stopped for a compile
 * error, the operator, call or statement that failed for an error of exp_execute; 0 and 0 when the
 * error has no position (every other error, and an error in resolving goto labels). Changes nothing. */
EXP_API int exp_error_info(const exp_engine *e, const char **message, int *line, int *column);
/* For host functions: stores error 102 "Error in function: <text>" (text cut to 195 bytes) and
 * returns 102, which the callback then returns. */
EXP_API int exp_raise_error(exp_engine *e, const char *text);
/* For host functions: stores error 1 "Memory Allocation Failed" and returns 1. */
EXP_API int exp_raise_memory_error(exp_engine *e);

/* ---- value cells ------------------------------------------------------------------------------
 * The setters write a value of the cell's own type; any other value makes the cell null. They take
 * no engine and report nothing, except where a return value is documented. A NULL cell is ignored. */

EXP_API void exp_symval_setnull(exp_symval *c);               /* any cell; releases an object */
EXP_API void exp_symval_setint(exp_symval *c, int64_t v);     /* boolean (0 = false) or integer cells */
EXP_API void exp_symval_setdbl(exp_symval *c, double v);      /* real or date cells: the shortest decimal
                                                                 that reads back as v (0.1 is 0.1) */
/* Reads a real or date cell as a double into *out. Returns 1 when the value is finite and within
 * the double range, else 0 (null, NaN, wrong type: *out is 0). Prefer exp_symval_to_text for exact
 * decimals. */
EXP_API int exp_symval_getdbl(const exp_symval *c, double *out);
EXP_API void exp_symval_setfdnum(exp_symval *c, const exp_decimal192 *v); /* real or date cells */
/* Stores NUL-terminated text in a string cell, cut on a character boundary to the cell's limit of
 * characters (and its buffer of 4 bytes per character), or of bytes for a cell flagged EXP_BYTES:
 * every writer of a string cell (setters, appends, copy, coerce, settext, assignment in a
 * program) keeps such a cell within its limit in bytes. A cut sets EXP_CUT on the cell (a store
 * that keeps the whole text clears it); exp_symval_setbytes also returns EXP_E_TEXT_CUT. */
EXP_API void exp_symval_setstr(exp_symval *c, const char *text);
/* Stores at most `n` characters of `text`; no byte after the n-th character is read, so `text` need
 * not be terminated when it holds n characters (a NUL ends it earlier). n < 0 stores "". */
EXP_API void exp_symval_setstrn(exp_symval *c, const char *text, int n);
/* Stores exactly the `nbytes` bytes at `p` (no terminator needed or read) in a string cell.
 * Returns 0 when stored whole; EXP_E_TEXT_CUT when the text was longer than the cell's limit (in
 * characters, or bytes for an EXP_BYTES cell) and was stored cut on a character boundary;
 * EXP_E_INVALID_UTF8 when the bytes are not well-formed UTF-8 or hold a NUL (the cell becomes
 * null: nothing of the text is stored); EXP_E_INVALID_INPUT for a cell that is not a string cell,
 * or p NULL with nbytes > 0 (the cell becomes null). */
EXP_API int exp_symval_setbytes(exp_symval *c, const char *p, size_t nbytes);
EXP_API void exp_symval_setptr(exp_symval *c, void *p);      /* pointer cells; never dereferenced */
/* Copies src's value into dst of the same type (an object cell shares the instance); a different
 * type makes dst null. A string is cut to dst's limit. */
EXP_API void exp_symval_copy(const exp_symval *src, exp_symval *dst);
/* Converts src's value into dst's type by the language's conversion rules (what assignment does);
 * what does not convert makes dst null. `e` supplies the date options (may be NULL). */
EXP_API void exp_symval_coerce(exp_engine *e, const exp_symval *src, exp_symval *dst);
/* Appends whole characters of NUL-terminated text to a string cell while they fit its limit.
 * Returns the characters appended. */
EXP_API int exp_symval_str_concat(exp_symval *c, const char *text);
/* Appends whole characters of the first `n` bytes of `text` (a NUL ends it earlier): no byte past
 * text[n-1] is read, and a character that byte n would cut is not appended. Returns the
 * characters appended. */
EXP_API int exp_symval_strn_concat(exp_symval *c, const char *text, int n);
/* Gives a string cell a new limit of n characters (bytes for an EXP_BYTES cell), keeping as much
 * of the text as fits. Returns 0, EXP_E_INVALID_INPUT for a cell that is not a string,
 * EXP_E_STRING_LIMIT_RANGE for an n outside 1..EXP_MAX_STRING, or EXP_E_NOMEM (the cell unchanged). */
EXP_API int exp_symval_str_resize(exp_symval *c, int n);
/* Cuts the text of an EXP_BYTES cell to its limit in bytes, on a character boundary. */
EXP_API void exp_symval_str_normalize(exp_symval *c);
/* For host functions returning objects: puts a new instance holding `data` (refcount 1) into an
 * object cell, whose class's destructor frees `data` with the last reference. NULL when `c` is not
 * an object cell or memory runs out (`data` is then still the caller's). */
EXP_API exp_object *exp_instantiate_object(exp_symval *c, void *data);
EXP_API void *exp_object_value(exp_object *o);               /* the instance's data, or NULL */

/* Writes the cell's value as text (the conversion to string, without a length limit) into buf of
 * size bytes, cut on a character boundary and terminated; a null cell gives "". Returns the bytes
 * the full text needs, without the terminator (call again with a larger buffer when it is not
 * below size), or -1 when the cell cannot be shown as text (pointer, object). `e` supplies the date
 * options (may be NULL). */
EXP_API int exp_symval_to_text(exp_engine *e, const exp_symval *c, char *buf, size_t size);
/* Sets a real or date cell from decimal text (optional sign, digits, optional point and exponent:
 * "-12.50", "1.5E3"), exactly, rounded only beyond 52 digits. Returns 0, EXP_E_NOT_A_NUMBER when
 * the text is not a number, or EXP_E_INVALID_INPUT for a cell that is not real/date or a NULL
 * text (the cell is then null). */
EXP_API int exp_symval_setreal_text(exp_symval *c, const char *text);
/* Sets any cell from text by the conversion rules (a string cell takes the text cut to its limit;
 * other types convert: numbers, boolean words, dates). A NULL text makes the cell null. Returns 0,
 * EXP_E_NOT_CONVERTIBLE when the text does not convert (the cell is then null), or
 * EXP_E_INVALID_INPUT for a NULL cell.
 * Dates: ISO 8601 text (2026-03-07, 2026-03-07 15:13:44) reads the same everywhere. Other numeric
 * dates (07.03.2026, 07/03/26) are read in the order of day, month and year of the LC_TIME locale
 * in force when the engine was made (or when a program last called the `locale` built-in): month
 * first in the "C" locale, which a process has unless it calls setlocale, so 07.03.2026 is
 * July 3. To read day first, call setlocale(LC_TIME, ...) with such a locale before exp_init, or
 * hand over ISO 8601 text. */
EXP_API int exp_symval_settext(exp_engine *e, exp_symval *c, const char *text);
/* Builds the decimal coefficient x 10^exponent exactly (for example 1234, -2 is 12.34). An exponent
 * outside the format's range gives NaN. */
EXP_API void exp_decimal_make(exp_decimal192 *d, int64_t coefficient, int32_t exponent);
/* The value of a finite decimal as an integer count of 10^exponent units (12.34 with exponent -4
 * is 123400). Returns 1, or 0 when the value is not finite, is not a whole number of such units or
 * does not fit 64 bits. */
EXP_API int exp_decimal_scaled(const exp_decimal192 *d, int32_t exponent, int64_t *out);

/* ---- symbols -----------------------------------------------------------------------------------
 * The engine's global symbols: those the host binds and those that programs declare without
 * `private`. Every program of the engine sees them by name. */

/* Binds a global symbol `name` of `type` (EXP_BOOLEAN ... EXP_OBJECT: the seven codes 1 to 7; any
 * other code is refused with EXP_E_INVALID_INPUT) and gives its cell in *out (optional), null to
 * start with. `limit` is a string symbol's limit: 1 to EXP_MAX_STRING characters
 * (bytes with EXP_SYM_BYTES); it is ignored for the other types. `options`: EXP_SYM_READONLY,
 * EXP_SYM_BYTES. The symbol is static (runs do not reset it) and flagged EXP_HOSTSYM. The cell stays
 * at the same address until exp_erase_symbols or exp_clean: keep it and write each record into it.
 * Errors: EXP_E_INVALID_INPUT (no name, unknown type code, limit too large), EXP_E_ZERO_LENGTH
 * (string limit below 1), EXP_E_DUPLICATE_SYMBOL, EXP_E_LIMIT (SYMBOLS), EXP_E_NOMEM. */
EXP_API int exp_add_symbol(exp_engine *e, const char *name, int type, int limit, int options, exp_symval **out);
/* Makes every global cell null (host symbols included). */
EXP_API void exp_reset_symbols(exp_engine *e);
EXP_API int exp_symbol_count(const exp_engine *e);           /* global symbols, 0 for NULL */
/* The cell / name of the global symbol at `index` (0 .. count-1, in order of creation) into *out.
 * Returns 0, or EXP_E_INTERNAL for an index out of range. The name is the engine's, valid while the
 * symbol exists. */
EXP_API int exp_symbol_get(exp_engine *e, int index, exp_symval **out);
EXP_API int exp_symbol_name_get(exp_engine *e, int index, const char **out);
/* The cell of the global symbol `name` (case-insensitive), or NULL. Reports nothing. */
EXP_API exp_symval *exp_symbol_get_by_name(const exp_engine *e, const char *name);
/* Removes every global symbol; their cells are freed. Refused with EXP_E_ACTIVE_HANDLES while any
 * program of the engine is alive (programs point at the cells). */
EXP_API int exp_erase_symbols(exp_engine *e);

/* ---- compiling --------------------------------------------------------------------------------- */

/* Compiles `text` into a new program, stored in *out. The value of the program's last top-level
 * expression becomes its result, held in a result cell of `result_type` (EXP_BOOLEAN ...
 * EXP_OBJECT) and, for EXP_STRING, of limit `result_len` characters (1 .. EXP_MAX_STRING; bytes with
 * EXP_MAKE_BYTES); `result_len` is ignored for the other types. `flags`: EXP_MAKE_STATIC,
 * EXP_MAKE_PRIVATE, EXP_MAKE_BYTES. `name` (NULL for none) registers the program as a user-defined
 * function of that name, which programs compiled later may call while this one lives.
 * Declarations without `private` create global symbols, removed again by exp_free_pcode.
 * Every symbol and function the text names must exist now. On failure nothing is created and
 * exp_error_info gives the message, line and column. The program belongs to `e`; free it with
 * exp_free_pcode. Errors: 5 (result type), 7 (string limit below 1), 3 (limit too large, no `out`),
 * 4 (name taken), the compile errors 10-11 and 30-53, 109 (a limit), and 104 when the interrupt
 * handler asks to stop (or the compile runs in a host function of a run that was cancelled).
 * Compiling takes time linear in the text. */
EXP_API int exp_make_pcode(exp_engine *e, const char *text, exp_pcode **out, int result_type,
                           int result_len, int flags, const char *name);
/* Collects the names of the symbols `text` uses but the engine lacks, without keeping a program;
 * read them with exp_get_next_req_symbol. Returns 0 or the compile error that stopped the scan. */
EXP_API int exp_determine_symbols(exp_engine *e, const char *text);
/* The next name collected by the last exp_determine_symbols into *name (valid until the next
 * collection): returns 1, or 0 at the end (and starts over). */
EXP_API int exp_get_next_req_symbol(exp_engine *e, const char **name);

/* ---- warnings ----------------------------------------------------------------------------------
 * A text that compiles can still say something its author almost certainly did not mean. The
 * compiler then warns: a warning never stops a compilation, never changes the program, and costs
 * nothing when the program runs. Each has a code (EXP_W_*, a range of its own, apart from the
 * error numbers), a message (UTF-8, quoting the text where that helps) and the line and column
 * (from 1) of what it is about. */
#define EXP_W_VALUE_UNUSED 1001          /* an expression statement's value is thrown away and it calls
                                            nothing with an effect; side by side on one line with the
                                            expression before it, the message asks whether an operator
                                            is missing between the two (`amount = qty unit_price`) */
#define EXP_W_PATTERN_NEVER_MATCHES 1002 /* match_string with a constant pattern that can never match
                                            (a * other than first or last) */
#define EXP_W_TEXT_TOO_LONG 1003         /* a constant text assigned to a string variable shorter than it */
#define EXP_W_TEXT_NUMBER_COMPARE 1004   /* <, <=, > or >= between a text and a number literal: the
                                            number is compared as text ("4.7" > "10") */
#define EXP_W_DATE_DIFFERENCE 1005       /* date - date, which gives a date, not a number of days */
#define EXP_W_UNREACHABLE 1006           /* a statement after `return` or `goto` that no label reaches */
#define EXP_W_UNUSED_VARIABLE 1007       /* a declared variable never read by the program nor by the host
                                            (see exp_mark_output) */
/* The warnings of e's last exp_make_pcode (and of the compile inside exp_determine_symbols): on
 * success all of them, after a compile error those found before it. */
EXP_API int exp_warning_count(const exp_engine *e);
/* Warning i (0 .. count-1) of e's last compile; every out-pointer is optional. The message is the
 * engine's, valid until e's next compile. Returns 0, or EXP_E_INVALID_INPUT for an index out of
 * range (code and position 0, message ""). */
EXP_API int exp_warning_get(const exp_engine *e, int i, int *code, const char **message, int *line, int *column);
/* The same for the warnings kept with program p (copied by exp_copy_pcode); the message is valid
 * while p lives. */
EXP_API int exp_pcode_warning_count(const exp_pcode *p);
EXP_API int exp_pcode_warning_get(const exp_pcode *p, int i, int *code, const char **message, int *line,
                                  int *column);
/* Tells the compiler that the host reads the variable `name` after runs (an output column, say),
 * so that EXP_W_UNUSED_VARIABLE leaves it alone in programs compiled from now on. Until a host
 * marks a name, every global a program declares without `hidden`, of type boolean to date, counts
 * as read by the host; once it has marked names, only those count. A NULL name forgets every mark.
 * Returns 0 (the engine's last error is left as it was), or EXP_E_NOMEM. Not carried by exp_clone. */
EXP_API int exp_mark_output(exp_engine *e, const char *name);

/* ---- showing errors and warnings to people ---------------------------------------------------
 * The line of `source` (the text compiled) at `line` and `column` (as exp_error_info and
 * exp_warning_get give them), with a caret under the column:
 *
 *      | n = n +* 2
 *      |        ^
 *
 * Columns count characters; the caret line counts a wide East Asian character as two columns and
 * a combining mark as none, and keeps the line's tabs, so the caret stands under the character
 * on a terminal. A line longer than 100 columns is shown as a window around the column, cut on
 * character boundaries and marked with "...". Control characters and invalid UTF-8 show as "?".
 * The three calls write NUL-terminated UTF-8 into `out` (`size` bytes; a text that does not fit is
 * cut on a character boundary) and return the length of the whole text (without the terminator),
 * as snprintf does; `out` may be NULL when `size` is 0. */
/* The excerpt alone, two lines each ending in a line feed; 0 (and "") when line is 0 or beyond the
 * text, the line is empty and the column 1, or source is NULL. */
EXP_API int exp_format_excerpt(const char *source, int line, int column, char *out, size_t size);
/* e's last error as "error N: message\n", followed, when it has a position in `source`, by
 * "  --> line L, column C\n" and the excerpt; "" when there is no error. */
EXP_API int exp_format_error(const exp_engine *e, const char *source, char *out, size_t size);
/* Warning i of e's last compile in the same form: "warning N: message\n", position and excerpt;
 * "" for an index out of range. */
EXP_API int exp_format_warning(const exp_engine *e, int i, const char *source, char *out, size_t size);

/* ---- running ----------------------------------------------------------------------------------- */

/* Runs program p of engine e once. Each run first makes null: the result cell, the program's
 * non-static locals and temporaries, and the global symbols that programs declared without
 * `static`; host symbols and static declarations keep their values. At the end, objects held by
 * non-static cells are released. On success *result (optional) gets the result cell, owned by the
 * program: valid until p is freed, overwritten by p's next run. Returns 0 or the error that stopped
 * the run, always a positive number and the one exp_error_info reports (a host function that
 * fails with a negative number or one it did not store ends the run with 102 or that number and a
 * message), with the message and position through exp_error_info, the position also through
 * exp_run_position; the engine and program stay usable either way.
 * A host function may run other programs of the engine from its callback, but not a program that
 * is running (directly or as a user-defined function), and runs nest at most 256 deep: both are
 * refused with error 3. A program of another engine is refused with EXP_E_FOREIGN_HANDLE. */
EXP_API int exp_execute(exp_engine *e, exp_pcode *p, exp_symval **result);
/* Asks the run of p in progress to stop with EXP_E_INTERRUPT after its current instruction (or
 * within 16,384 steps of the work of the built-in it is in: see EXP_LIMIT_STEPS). May be
 * called from another thread or a signal handler; a no-op when p is not running (each run clears
 * the request when it starts). A call from a host function stops the run right after that call,
 * one from the interrupt handler within the next few instructions; one from another thread or a signal
 * handler when the run next looks: once per interrupt interval (about 1,000 instructions), and in
 * a counted integer loop of an engine without an interrupt handler every 24 intervals (about
 * 25,000 instructions, microseconds). */
EXP_API void exp_cancel_execution(exp_pcode *p);
/* Where the last run of p stopped with an error: the line and column (from 1) in the program text
 * of the operator, call or statement whose instruction failed. A failure inside a user-defined
 * function is reported at its call in p. Returns 1 with the position, or 0 (line and column 0)
 * when the last run succeeded or the position is unknown (programs not compiled from text). */
EXP_API int exp_run_position(exp_pcode *p, int *line, int *column);

/* ---- per-key state ------------------------------------------------------------------------------
 * A program's state is the values of its static cells: the static variables it declares (private
 * or global, hidden or not) and those of the user-defined functions it calls, directly or through
 * others. Host symbols are not part of it. A host that keeps one state per key (a group, a
 * customer, a partition) holds one block per key and switches the program between them:
 *
 *   exp_state *fresh = exp_state_save(e, p);      // after compiling: every static still null
 *   per record of key k, when k is not the key of the previous record:
 *     exp_state_swap(e, p, block[previous]);      // previous's values go to its block
 *     if k is new: exp_state_restore(e, p, fresh); block[k] = exp_state_save(e, p);
 *     else exp_state_swap(e, p, block[k]);        // k's values come back into p
 *   exp_execute(e, p, &result);
 *
 * (after the swaps p runs on k's values and block[k] holds a spare set, which the next switch
 * away from k overwrites). A block belongs to the program it was saved from: any other program is
 * refused with EXP_E_INVALID_INPUT, and so is a program that is running. Blocks are charged to the
 * engine's memory limit (EXP_LIMIT_MEMORY): the block, one entry per cell, the bytes of its
 * strings and the arrays it holds; past the limit a call fails with EXP_E_LIMIT and changes
 * nothing. Strings are copied by their bytes, not their declared limit. save and restore copy
 * arrays of the five array classes element by element, so a saved block does not change as the
 * program runs on; instances of other classes (files, regexes, host classes) cannot be duplicated
 * and are shared by reference. swap copies nothing: values, and object instances, change hands. */
typedef struct exp_state exp_state; /* opaque block of a program's state */
/* A new block holding the current values of p's static cells (a block with no cells for a
 * program without statics). NULL on failure, with the error in e: EXP_E_NOMEM, EXP_E_LIMIT,
 * EXP_E_INVALID_INPUT (no program, or p running), EXP_E_FOREIGN_HANDLE. Free it with
 * exp_state_free. */
EXP_API exp_state *exp_state_save(exp_engine *e, exp_pcode *p);
/* Sets p's static cells to the values in s, which is left as it was. Returns 0 or the error
 * (EXP_E_INVALID_INPUT, EXP_E_FOREIGN_HANDLE, EXP_E_NOMEM, EXP_E_LIMIT), with p's cells unchanged. */
EXP_API int exp_state_restore(exp_engine *e, exp_pcode *p, const exp_state *s);
/* Exchanges the values of p's static cells with those held in s, without copying: p then runs on
 * what s held and s holds what p's cells held. It costs a few words per cell and the bytes of
 * string values, and allocates only when a string value is longer than any s held before.
 * Returns 0 or the error of exp_state_restore, with nothing exchanged. */
EXP_API int exp_state_swap(exp_engine *e, exp_pcode *p, exp_state *s);
/* Frees a block and gives its memory back to the engine's account; NULL is ignored. It needs
 * neither the program nor the engine, which may be gone already. */
EXP_API void exp_state_free(exp_state *s);

/* ---- programs ---------------------------------------------------------------------------------- */

/* Copies program p of engine src into engine dst (typically a clone), without compiling again; the
 * copy, in *out, belongs to dst. Symbols are matched by name: every global symbol p uses must exist
 * in dst (else EXP_E_DECLARATION naming the symbol), host functions must be registered in dst with
 * the same signature (else EXP_E_FUNCTION_NOT_FOUND), and user-defined functions p calls must
 * exist in dst. The globals p's declarations created are created in dst for the copy. dst's limits
 * hold as for a compile there: more instructions than PROGRAM, more globals than SYMBOLS, a
 * declared string longer than STRING or cells past MEMORY refuse the copy with EXP_E_LIMIT. On
 * failure nothing is left in dst; the error is reported in dst. A p not of src:
 * EXP_E_FOREIGN_HANDLE. */
EXP_API int exp_copy_pcode(exp_engine *src, exp_engine *dst, exp_pcode *p, exp_pcode **out);
/* Frees program p of e with its locals, its result cell, the globals its declarations created and
 * its user-defined function; pointers into any of them become invalid. NULL p: 0. Refused (and p
 * kept) for a user-defined function that live programs still call (EXP_E_ACTIVE_HANDLES: free its
 * callers first), a program that is running (3, e.g. from its own host callback), a program
 * already freed (3, see "Freed handles"), and a program of another engine (EXP_E_FOREIGN_HANDLE;
 * EXP_E_INTERNAL when `e` has no live program at all). */
EXP_API int exp_free_pcode(exp_engine *e, exp_pcode *p);
/* Writes p's instructions as text through cb, for diagnosis; the format is not stable. Nothing for
 * a program of another engine. */
EXP_API void exp_dump_pcode(exp_engine *e, exp_pcode *p, exp_dump_cb cb, void *user);
/* Writes the library's process-wide status through cb (one line; the library keeps no shared
 * counts, so it reports 0). */
EXP_API void exp_dump_global_status(exp_dump_cb cb, void *user);

/* What a program does beyond computing each record's answer from that record, decided when it was
 * compiled from what the compiler knew (user-defined functions it calls bring their own traits;
 * exp_copy_pcode carries them). A host decides from them whether records may run on several
 * engines at once or in any order. */
#define EXP_TRAIT_KEEPS_STATE 0x1u  /* an answer may depend on earlier runs: static variables (its
                                       own, or global ones it names), or EXP_TRAIT_ORDER_BOUND */
#define EXP_TRAIT_CALLS_HOST 0x2u   /* calls a function the host registered or replaced, of whose
                                       effects the engine knows nothing */
#define EXP_TRAIT_ORDER_BOUND 0x4u  /* depends on the order of all runs through something other than
                                       static variables: uniqueid, varset, vareval, files opened or
                                       written. A host that keeps a program's statics per key
                                       (exp_state_*) may spread keys over engines only without it */
/* The EXP_TRAIT_* bits of p; 0 for NULL. */
EXP_API unsigned exp_pcode_traits(const exp_pcode *p);

/* ---- registry ---------------------------------------------------------------------------------- */

/* Registers a host function that programs of e call as `name`(...).
 *   fn          the callback (exp_func_cb).
 *   min_args, max_args  the argument counts a call may have (EXP_UNLIMITED: no maximum); other
 *               counts do not compile (error 38).
 *   signature   one type letter per parameter; the last letter applies to all further arguments.
 *               Lower case (b i r s d p o) converts the argument to that type; upper case (B I R S
 *               D P O) requires the argument to have it already (else error 37); `a` passes any type
 *               unconverted. "" takes no arguments.
 *   ret_type    the result's type letter, either case: b i r s d p, or o with `class_name`.
 *   max_len     a string result's limit in characters (0: 255).
 *   description listed by exp_get_function_info.
 *   hidden      non-zero: callable, but not listed by exp_get_function_count/info.
 *   class_name  for an object result, the class (registered in e) of the result cell; else NULL.
 * Texts are copied. Errors: EXP_E_FUNCTION_EXISTS (name of a built-in or registered function),
 * EXP_E_RETURN_TYPE, EXP_E_PARAM_TYPE, EXP_E_NOMEM. Programs compiled before the registration do not
 * see the function. */
EXP_API int exp_register_function(exp_engine *e, const char *name, exp_func_cb fn, int min_args,
                                  uint32_t max_args, const char *signature, char ret_type,
                                  uint32_t max_len, const char *description, int hidden,
                                  const char *class_name);
/* Visible functions: built-ins, then registered functions, then user-defined functions. */
EXP_API int exp_get_function_count(const exp_engine *e);
/* The function at `index` (0 .. count-1); every out-pointer is optional; texts are the engine's.
 * Returns 0 or EXP_E_INVALID_INPUT for an index out of range. */
EXP_API int exp_get_function_info(exp_engine *e, int index, const char **name, int *min_args,
                                  uint32_t *max_args, const char **signature, char *ret_type,
                                  const char **description);
/* Registers a class; *out (optional) gets its record, valid until exp_clean. `d` (may be NULL)
 * frees an instance's data. exp_register_class2 with hidden non-zero keeps it out of
 * exp_get_class_count/info. Errors: EXP_E_CLASS_EXISTS, EXP_E_NOMEM. */
EXP_API int exp_register_class(exp_engine *e, const char *name, const char *description,
                               exp_destructor_cb d, exp_class **out);
EXP_API int exp_register_class2(exp_engine *e, const char *name, const char *description,
                                exp_destructor_cb d, exp_class **out, int hidden);
/* Makes obj.`method`(...) call the function `function` (registered or registered later) with the
 * object as its first argument (signature letter O). Errors: EXP_E_FUNCTION_EXISTS (method already
 * there), EXP_E_FOREIGN_HANDLE (a class of another engine). */
EXP_API int exp_register_class_function(exp_engine *e, exp_class *c, const char *function,
                                        const char *method);
EXP_API int exp_get_class_count(const exp_engine *e);         /* visible classes */
/* The visible class at `index` (0 .. count-1): its name, description and record, each optional.
 * Returns 0 or EXP_E_INVALID_INPUT for an index out of range (the outputs are then NULL). */
EXP_API int exp_get_class_info(exp_engine *e, int index, const char **name,
                               const char **description, exp_class **out);
EXP_API exp_class *exp_get_class_by_name(const exp_engine *e, const char *name); /* or NULL */
EXP_API int exp_get_class_function_count(exp_class *c);      /* its methods */
/* Method `index` of class c (of e) and the function behind it; out-pointers optional. */
EXP_API int exp_get_class_function_info(exp_engine *e, exp_class *c, int index, const char **method,
                                        int *min_args, uint32_t *max_args, const char **signature,
                                        char *ret_type, const char **description);

/* ---- capabilities and limits ------------------------------------------------------------------- */

/* Capability groups: the built-ins that reach outside the engine. A new engine allows every group
 * of EXP_CAP_ALL (not EXP_CAP_PSEUDO_FILES); exp_set_capabilities narrows what programs compiled
 * (or copied, or run) in it from then on may use, and exp_clone copies the setting.
 *
 * How a denial is enforced:
 * - A call of a built-in whose group is denied does not compile: error 53 "Function 'execute'
 *   needs the 'process' capability, which the host has not allowed" at the call, whether the call
 *   is direct, a `call` statement, a method, or a call of a user-defined function that needs the
 *   group. exp_copy_pcode into an engine that denies a group the program needs is refused with 53.
 * - A program compiled before its group was denied no longer runs: exp_execute refuses it with
 *   error 108 (same text) before its first instruction.
 * - Every built-in of a group checks the engine's capabilities again each time it runs, so a
 *   denial made during a run (from a host function) stops the next such call with 108.
 * - Where only the run can tell, the run stops with 108 before anything is done: the file class's
 *   open (its mode decides: "r" needs file read, "w" and "a" file write, "rw" both), and a file
 *   of a pseudo file system (see EXP_CAP_PSEUDO_FILES).
 * - An open file keeps the groups its open needed, and every method on it but close needs them
 *   again when it runs (108): a file a program opened while the host allowed a group, held in a
 *   static global, is of no use to any program once the host denies that group. Denying does not
 *   close files; a program's files close when the variables holding them let go.
 * Nothing denied ever runs.
 *
 * What each group covers, and what it does not:
 *   EXP_CAP_PROCESS      execute: starts programs, which read /dev/null, write where
 *                        CHILD_STDOUT says and otherwise run with the host's rights, beyond every
 *                        other group (files, /proc, the network): allowing it allows all that.
 *                        Denying it also keeps the process id out of uniqueid.
 *   EXP_CAP_FILE_READ    fileexists and filedate (a file's existence and times), the source of
 *                        copyfile and movefile, files opened for reading and their readline and
 *                        readbytes. Only regular files and directories of ordinary file systems:
 *                        FIFOs, devices and sockets need FILE_SPECIAL, /proc and /sys
 *                        EXP_CAP_PSEUDO_FILES.
 *   EXP_CAP_FILE_WRITE   deletefile, mkdir, rmdir, the destination of copyfile and movefile (which
 *                        also need file read), files opened for writing or appending and their
 *                        writeline and writebytes. Paths are not confined to a folder: a host that
 *                        wants that replaces the built-ins (exp_replace_function).
 *   EXP_CAP_ENVIRONMENT  username. Not covered: the time zone and locale of the process, which
 *                        the date functions reflect.
 *   EXP_CAP_LOCALE       locale: changes the locale of the whole process. Not covered: the date
 *                        and case rules that follow the locale the host set.
 *   EXP_CAP_SLEEP        sleep. Not covered: time spent computing, which EXP_LIMIT_STEPS bounds.
 *   EXP_CAP_VARIABLES    vareval, varset: reach any symbol by name, read-only ones included.
 *   EXP_CAP_PSEUDO_FILES files and directories of the kernel's pseudo file systems (/proc, /sys,
 *                        debugfs, tracefs, cgroup, securityfs, bpf, configfs and the like), which
 *                        expose the process's memory (/proc/self/mem), environment and the
 *                        machine's settings. Refused, whatever file group is allowed, unless the
 *                        host allows this group too: by every file route (the file class's open,
 *                        copyfile and movefile at both ends, fileexists, filedate, deletefile,
 *                        mkdir, rmdir), decided on the opened file or directory (its file system's
 *                        type), not on the path's text, so links and other names do not get
 *                        around it. Not part of EXP_CAP_ALL nor of a new engine's default: allow
 *                        it with exp_set_capabilities(e, EXP_CAP_ALL | EXP_CAP_PSEUDO_FILES).
 * Built-ins outside every group (string, number, date, conversion, text, regex and array
 * functions) reach nothing outside the engine; their time and memory are bounded by the limits
 * below, not by capabilities.
 * Copies: copyfile (and movefile across file systems) copies only a regular file's bytes into a
 * regular file. A new destination gets the source's read, write and execute bits less the umask,
 * never its set-user-id, set-group-id or sticky bits, owner, times or extended attributes; an
 * existing destination keeps its own permissions. A destination that is a FIFO or a device is
 * refused (false), never waited on. */
#define EXP_CAP_PROCESS 0x01     /* execute; also uniqueid's process id */
#define EXP_CAP_FILE_READ 0x02   /* fileexists, filedate, copy/move sources, files opened for reading */
#define EXP_CAP_FILE_WRITE 0x04  /* deletefile, movefile, copyfile, mkdir, rmdir, files opened for writing */
#define EXP_CAP_ENVIRONMENT 0x08 /* username */
#define EXP_CAP_LOCALE 0x10      /* locale: changes the locale of the whole process */
#define EXP_CAP_SLEEP 0x20       /* sleep */
#define EXP_CAP_VARIABLES 0x40   /* vareval, varset: reach any symbol by name, read-only ones included */
#define EXP_CAP_ALL 0x7F         /* the groups above: a new engine's default */
#define EXP_CAP_PSEUDO_FILES 0x80 /* files of /proc, /sys and other pseudo file systems: not in EXP_CAP_ALL */
/* Sets the groups programs compiled in e may use. Returns 0, or 3 for bits outside
 * EXP_CAP_ALL | EXP_CAP_PSEUDO_FILES. */
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
 *   MEMORY      bytes of the buffers of program cells (declared strings, constants, temporaries:
 *               charged when a program is compiled or copied and as a cell grows at run time,
 *               given back when it is freed), of arrays and their strings, of compiled regexes
 *               and their match memory, and of the work arrays of sort, sort_words and
 *               edit_distance while they run. A declaration past it does not compile; a growing
 *               result, dim, set, aparse, a regex search and compile past it stop the run. The
 *               host's own symbols are not counted. What a run's results and temporaries grew
 *               by is given back when the run ends, however it ends, so every run of a program
 *               starts from the same charge: the same input gets the same answer every time.
 *   STEPS       steps of one run (exp_execute, user-defined functions included). A step is one
 *               instruction, or one unit of a built-in's work: about what an instruction does,
 *               such as a comparison (sort), a cell of a table (edit_distance), 16 bytes of text
 *               scanned, copied or converted (string functions, conversions, concatenation,
 *               assignment and comparison of long strings, regex searches), a multiplication of
 *               a power (pow: up to 4,096 steps for an exponent that is not a whole number). A
 *               call on texts of up to 4,096 bytes (in cells whose limits are at most 1,024
 *               characters) pays nothing beyond its instruction. So the limit bounds the time of
 *               a run up to a constant, whatever the run calls (a host function's time is the
 *               host's). Instructions are counted at the run loop's periodic check (a run stops
 *               within 1048 instructions past the limit), built-in work every 16,384 steps (a
 *               built-in stops within that much work past it), and both when the run ends: a
 *               run that ended past the limit also fails. No interrupt handler is needed.
 *   STRING      characters of a declared string, and of every text a run makes: a
 *               concatenation, an array element or variable read back, a built-in's text
 *               result (regex replace and readline included), however wide its cell was made.
 *               Not measured: host symbols, results of host functions within their registered
 *               limit, and the short texts of fixed size (names, numbers and dates as text).
 *   CALL_DEPTH  user-defined functions running inside one another.
 *   REGEX_MATCH, REGEX_DEPTH  PCRE2's match and depth limits, applied to regexes compiled after
 *               they are set (without REGEX_MATCH the match limit is 10,000,000).
 *   SYMBOLS     global symbols, the host's and those programs declare.
 *   PROGRAM     instructions of one compiled program.
 * Every built-in whose work grows with its input charges that work as it goes, and so looks at
 * cancellation and asks the interrupt handler every 16,384 steps of work (the waits of execute
 * and sleep poll as they wait): a cancel or a time-out stops a long built-in within a bounded
 * time. Substring searches and regex replace take time linear in the text (replace over text
 * holding bytes that are not UTF-8 checks the rest of the text at each match, and is charged for
 * it); a single regex match is bounded by REGEX_MATCH. */
#define EXP_LIMIT_MEMORY 1      /* bytes held by the engine's strings, arrays, regexes, temporaries */
#define EXP_LIMIT_STEPS 2       /* steps per run: instructions and built-in work */
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

/* Days since 1899-12-30 00:00 (1900-03-01 is 61), the number a date cell holds; years 0 to 9999
 * of the proleptic Gregorian calendar. Both return 1 on success, 0 for an impossible date or a day
 * number out of range. */
EXP_API int exp_compose_date(int year, int month, int day, int hour, int minute, int second, double *days);
EXP_API int exp_decompose_date(double days, int *year, int *month, int *day, int *hour, int *minute,
                               int *second);

/* ---- notes on the language ------------------------------------------------------------------------
 * Turkish mode of the regex class: re.compile(pattern, "turkish") (any text whose first seven
 * letters spell turkish, in any case) selects the Turkish case rules. Turkish has two letters i,
 * dotted i/İ and dotless ı/I, so wherever the pattern matches without regard to case ((?i)), i and
 * İ match each other and ı and I match each other, while i never matches I; and the case
 * conversions of replace (\U \L \u \l) map i to İ and I to ı. Turkish mode does not by itself make
 * matching case-insensitive. Letters inside character classes and letters written as escapes
 * (\x{131}) keep the default folding.
 */

#ifdef __cplusplus
}
#endif

#endif /* EXPRESSION_H */
