// Tests of the engine frame: lifecycle, options, cloning, callback data, the escaped_string
// setting files, and the error state with its catalogue.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "common/test_util.h"
#include "engine.h"
#include "errors.h"
#include "operators.h"

namespace fs = std::filesystem;
using testutil::EnginePtr;
using testutil::last_message;
using testutil::make_engine;

namespace {

int host_fn(exp_engine *, exp_symval *result, int, exp_symval **) {
  exp_symval_setint(result, 7);
  return 0;
}

// ---- lifecycle -----------------------------------------------------------------------------------

TEST(EngineLifecycle, CleanOfNullIsZero) { EXPECT_EQ(exp_clean(nullptr), 0); }

TEST(EngineLifecycle, CleanRefusesWhileAProgramLivesAndEverythingStaysUsable) {
  exp_engine *e = exp_init();
  ASSERT_NE(e, nullptr);
  exp_symval *qty = nullptr;
  ASSERT_EQ(exp_add_symbol(e, "qty", EXP_INTEGER, 0, 0, &qty), 0);
  exp_symval_setint(qty, 21);
  {
    testutil::Program prog(e);
    exp_symval *two = prog.int_const(2);
    prog.call(exp_opcode_table[OP_MUL_INT].handler, &prog->result, {qty, two});
    prog.finish();

    EXPECT_EQ(exp_clean(e), ERR_ACTIVE_HANDLES);
    EXPECT_EQ(last_message(e), "One or more active compiled handles still exist");
    // The engine, its symbols and the program still work.
    EXPECT_EQ(exp_symbol_count(e), 1);
    EXPECT_EQ(exp_symbol_get_by_name(e, "QTY"), qty);
    exp_symval *result = nullptr;
    ASSERT_EQ(prog.run(&result), 0);
    EXPECT_EQ(testutil::render(result), "i:42");
  }
  EXPECT_EQ(exp_clean(e), 0);
}

TEST(EngineLifecycle, CleanRefusesWhileACompiledProgramLives) {
  exp_engine *e = exp_init();
  ASSERT_NE(e, nullptr);
  exp_symval *qty = nullptr;
  ASSERT_EQ(exp_add_symbol(e, "qty", EXP_INTEGER, 0, 0, &qty), 0);
  exp_symval_setint(qty, 21);
  exp_pcode *p = nullptr;
  ASSERT_EQ(exp_make_pcode(e, "qty * 2", &p, EXP_INTEGER, 0, 0, nullptr), 0);
  EXPECT_EQ(exp_clean(e), ERR_ACTIVE_HANDLES);
  exp_symval *result = nullptr;
  ASSERT_EQ(exp_execute(e, p, &result), 0);
  EXPECT_EQ(testutil::render(result), "i:42");
  EXPECT_EQ(exp_free_pcode(e, p), 0);
  EXPECT_EQ(exp_clean(e), 0);
}

// ---- options and callback data ------------------------------------------------------------------

// Unknown names and values change nothing and are refused, so a misspelt option is noticed.
TEST(EngineOptions, NamesAreCaseInsensitiveAndOnlyOneOrZeroCount) {
  EnginePtr e = make_engine();
  struct Step {
    const char *name, *value;
    int iso, escaped, rc;
  };
  const Step steps[] = {
      {"date_iso8601", "1", 1, 0, 0},
      {"DATE_ISO8601", "true", 1, 0, EXP_E_INVALID_INPUT},
      {"Date_Iso8601", "0", 0, 0, 0},
      {"date_iso8601", "yes", 0, 0, EXP_E_INVALID_INPUT},
      {"escaped_string", "1", 0, 1, 0},
      {"ESCAPED_STRING", "2", 0, 1, EXP_E_INVALID_INPUT},
      {"ESCAPED_STRING", "0", 0, 0, 0},
      {"unknown", "1", 0, 0, EXP_E_UNKNOWN_OPTION},
      {"DATE_ISO8601 ", "1", 0, 0, EXP_E_UNKNOWN_OPTION},
      {"DATE_ISO_8601", "1", 0, 0, EXP_E_UNKNOWN_OPTION},
  };
  for (const Step &s : steps) {
    SCOPED_TRACE(std::string(s.name) + "=" + s.value);
    EXPECT_EQ(exp_set_option(e.get(), s.name, s.value), s.rc);
    EXPECT_EQ(e->date_iso8601, s.iso);
    EXPECT_EQ(e->escaped_string, s.escaped);
  }
  EXPECT_EQ(last_message(e.get()), "Unknown option 'DATE_ISO_8601'");
  EXPECT_EQ(exp_set_option(e.get(), nullptr, "1"), EXP_E_INVALID_INPUT);
  EXPECT_EQ(exp_set_option(e.get(), "DATE_ISO8601", nullptr), EXP_E_INVALID_INPUT);
  EXPECT_EQ(exp_set_option(nullptr, "DATE_ISO8601", "1"), EXP_E_INVALID_INPUT);
  EXPECT_EQ(e->date_iso8601, 0);
}

TEST(EngineOptions, OptionsLeaveTheErrorStateAlone) {
  EnginePtr e = make_engine();
  exp_raise_error(e.get(), "earlier");
  exp_set_option(e.get(), "DATE_ISO8601", "1");
  EXPECT_EQ(exp_error_info(e.get(), nullptr, nullptr, nullptr), ERR_FUNCTION);
}

TEST(EngineOptions, CallbackDataIsStoredAndNeverInterpreted) {
  EnginePtr e = make_engine();
  int token = 0;
  EXPECT_EQ(exp_get_callback_data(e.get()), nullptr);
  exp_set_callback_data(e.get(), &token);
  EXPECT_EQ(exp_get_callback_data(e.get()), &token);
  EXPECT_EQ(exp_get_callback_data(nullptr), nullptr);
}

TEST(EngineLocale, IsoPseudoLocaleIsExactAndLeavesTheProcessLocale) {
  EnginePtr e = make_engine();
  EXPECT_EQ(engine_set_locale(e.get(), "#iso8601"), 0);
  EXPECT_EQ(e->date_iso8601, 1);
  e->date_iso8601 = 0;
  // The special name is case-sensitive: the capitals go to setlocale, which knows no such locale.
  EXPECT_EQ(engine_set_locale(e.get(), "#ISO8601"), 1);
  EXPECT_EQ(e->date_iso8601, 0);
  EXPECT_EQ(engine_set_locale(e.get(), "no_such_locale.XYZ"), 1);
  EXPECT_EQ(engine_set_locale(e.get(), "C"), 0);
}

// ---- clone ----------------------------------------------------------------------------------------

TEST(EngineClone, CopiesHostFunctionsOnly) {
  EnginePtr src = make_engine();
  ASSERT_EQ(exp_register_function(src.get(), "hostfn", host_fn, 0, 2, "ir", 'I', 0, "a host function", 0,
                                  nullptr),
            0);
  ASSERT_EQ(exp_register_function(src.get(), "hiddenfn", host_fn, 1, 1, "s", 's', 40, "hidden", 1, nullptr), 0);
  ASSERT_EQ(exp_add_symbol(src.get(), "x", EXP_INTEGER, 0, 0, nullptr), 0);
  exp_set_option(src.get(), "DATE_ISO8601", "1");
  exp_set_callback_data(src.get(), src.get());

  EnginePtr copy(exp_clone(src.get()));
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(exp_get_function_count(copy.get()), exp_get_function_count(src.get()));
  ASSERT_EQ(copy->functions.size(), src->functions.size());
  const exp_function *f = func_find(copy.get(), "HOSTFN");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->fn, &host_fn);
  EXPECT_EQ(f->max_args, 2u);
  EXPECT_STREQ(f->signature, "ir");
  const exp_function *h = func_find(copy.get(), "hiddenfn");
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->hidden, 1u);
  EXPECT_EQ(h->max_len, 40u);

  EXPECT_EQ(exp_symbol_count(copy.get()), 0);
  EXPECT_EQ(copy->date_iso8601, 0);
  EXPECT_EQ(exp_get_callback_data(copy.get()), nullptr);
  EXPECT_EQ(exp_clone(nullptr), nullptr);
}

TEST(EngineClone, HostClassesAreNotCopied) {
  EnginePtr src = make_engine();
  int base = exp_get_class_count(src.get());
  ASSERT_EQ(exp_register_class(src.get(), "hostclass", "x", nullptr, nullptr), 0);
  EnginePtr copy(exp_clone(src.get()));
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(exp_get_class_count(copy.get()), base);
  EXPECT_EQ(exp_get_class_by_name(copy.get(), "hostclass"), nullptr);
}

// ---- the escaped_string setting files ----------------------------------------------------------

// Points the user and machine configuration folders at a fresh temporary tree for one test and
// restores the environment afterwards; the real home and /etc are never read.
class SettingsFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("exp_settings_" + std::to_string(::getpid()) + "_" +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_ / "user" / "expression");
    fs::create_directories(root_ / "machine");
    fs::create_directories(root_ / "home");
    save("XDG_CONFIG_HOME", (root_ / "user").string());
    save("EXPRESSION_SYSCONFDIR", (root_ / "machine").string());
    save("HOME", (root_ / "home").string());
  }
  void TearDown() override {
    for (auto &[name, value] : saved_) {
      if (value.second) ::setenv(name.c_str(), value.first.c_str(), 1);
      else ::unsetenv(name.c_str());
    }
    fs::remove_all(root_);
  }
  void save(const std::string &name, const std::string &value) {
    const char *old = std::getenv(name.c_str());
    saved_.emplace_back(name, std::make_pair(old ? std::string(old) : std::string(), old != nullptr));
    ::setenv(name.c_str(), value.c_str(), 1);
  }
  void write_user(const std::string &text) { write(root_ / "user" / "expression" / "config", text); }
  void write_machine(const std::string &text) { write(root_ / "machine" / "config", text); }
  static void write(const fs::path &path, const std::string &text) { std::ofstream(path) << text; }
  int escaped_after_init() {
    EnginePtr e = make_engine();
    return e ? e->escaped_string : -1;
  }

  fs::path root_;
  std::vector<std::pair<std::string, std::pair<std::string, bool>>> saved_;
};

TEST_F(SettingsFiles, MissingFilesLeaveTheOptionOff) { EXPECT_EQ(escaped_after_init(), 0); }

TEST_F(SettingsFiles, ValuesBeginningWithATrueWordTurnItOn) {
  struct Case {
    const char *value;
    int on;
  };
  const Case cases[] = {{"YES", 1}, {"True", 1}, {"1", 1}, {"yes please", 1}, {"no", 0},
                        {"0", 0},   {"tru", 0},  {"", 0},  {"10", 1}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.value);
    write_user(std::string("escaped_string = ") + c.value + "\n");
    EXPECT_EQ(escaped_after_init(), c.on);
  }
}

TEST_F(SettingsFiles, UserFileWinsOverMachineFile) {
  write_machine("escaped_string = yes\n");
  EXPECT_EQ(escaped_after_init(), 1);
  write_user("escaped_string = no\n");
  EXPECT_EQ(escaped_after_init(), 0);
}

TEST_F(SettingsFiles, UserFileWithoutTheValueFallsBackToTheMachineFile) {
  write_user("something_else = 1\n");
  write_machine("escaped_string = true\n");
  EXPECT_EQ(escaped_after_init(), 1);
}

TEST_F(SettingsFiles, CloneRereadsTheSetting) {
  write_user("escaped_string = yes\n");
  EnginePtr src = make_engine();
  exp_set_option(src.get(), "ESCAPED_STRING", "0");
  EnginePtr copy(exp_clone(src.get()));
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->escaped_string, 1);
}

// ---- errors ---------------------------------------------------------------------------------------

TEST(EngineErrors, CatalogueTexts) {
  EnginePtr e = make_engine();
  struct Case {
    int number;
    std::string expected;
  };
  const Case cases[] = {
      {1, "Memory Allocation Failed"},
      {4, "Function already registered"},
      {8, "One or more active compiled handles still exist"},
      {11, "Mismatched comment designators (check '/*' and '*/')"},
      {12, "No description for error #12"},
      {52, "Invalid comparison"},
      {99, "No description for error #99"},
      {101, "Divide by zero"},
      {104, "User interrupt"},
      {106, "Invalid date"},
      {107, "No description for error #107"},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(engine_error(e.get(), c.number), c.number);
    EXPECT_EQ(last_message(e.get()), c.expected);
    EXPECT_EQ(exp_error_info(e.get(), nullptr, nullptr, nullptr), c.number);
  }
  engine_error(e.get(), ERR_PARAM_TYPE, "x");
  EXPECT_EQ(last_message(e.get()), "Invalid parameter type 'x'");
  engine_error(e.get(), ERR_NO_METHOD, "file", "fly");
  EXPECT_EQ(last_message(e.get()), "Class 'file' doesn't support the 'fly' method");
  engine_error(e.get(), ERR_INVALID_INSTRUCTION, 17);
  EXPECT_EQ(last_message(e.get()), "Invalid instruction #17");
}

TEST(EngineErrors, MessagesAreCutTo255BytesOnACharacterBoundary) {
  EnginePtr e = make_engine();
  std::string long_name;
  for (int i = 0; i < 200; ++i) long_name += "\xC3\xA9";  // 400 bytes of é
  engine_error(e.get(), ERR_SYMBOL_NOT_FOUND, long_name.c_str());
  std::string m = last_message(e.get());
  EXPECT_LE(m.size(), 255u);
  EXPECT_GE(m.size(), 254u);
  EXPECT_EQ(m.substr(0, 8), "Symbol '");
  EXPECT_EQ((m.size() - 8) % 2, 0u) << "cut inside a character";
}

TEST(EngineErrors, RaiseErrorCutsTheTextTo195Bytes) {
  EnginePtr e = make_engine();
  std::string ascii(300, 'a');
  EXPECT_EQ(exp_raise_error(e.get(), ascii.c_str()), ERR_FUNCTION);
  EXPECT_EQ(last_message(e.get()), "Error in function: " + std::string(195, 'a'));

  std::string wide;
  for (int i = 0; i < 150; ++i) wide += "\xE2\x82\xAC";  // 450 bytes of €
  exp_raise_error(e.get(), wide.c_str());
  std::string expected = "Error in function: ";
  for (int i = 0; i < 65; ++i) expected += "\xE2\x82\xAC";  // 195 bytes: 65 whole characters
  EXPECT_EQ(last_message(e.get()), expected);

  std::string two_byte;
  for (int i = 0; i < 150; ++i) two_byte += "\xC3\xA9";  // 300 bytes of é
  exp_raise_error(e.get(), two_byte.c_str());
  EXPECT_EQ(last_message(e.get()), "Error in function: " + two_byte.substr(0, 194));

  EXPECT_EQ(exp_raise_error(e.get(), nullptr), ERR_FUNCTION);
  EXPECT_EQ(last_message(e.get()), "Error in function: ");
  EXPECT_EQ(exp_raise_error(nullptr, "x"), ERR_FUNCTION);
  EXPECT_EQ(exp_raise_memory_error(e.get()), ERR_MEMORY);
  EXPECT_EQ(last_message(e.get()), "Memory Allocation Failed");
}

TEST(EngineErrors, ErrorInfoBeforeCompilingGivesNoPosition) {
  EnginePtr e = make_engine();
  int line = -1, column = -1;
  const char *m = nullptr;
  EXPECT_EQ(exp_error_info(e.get(), &m, &line, &column), 0);
  EXPECT_STREQ(m, "");
  EXPECT_EQ(line, 0);
  EXPECT_EQ(column, 0);
  // An error reported outside a compilation has no position.
  engine_error(e.get(), ERR_COMPILE, "x");
  EXPECT_EQ(exp_error_info(e.get(), &m, &line, &column), ERR_COMPILE);
  EXPECT_EQ(line, 0);
  EXPECT_EQ(column, 0);
  // The query itself clears nothing.
  EXPECT_EQ(exp_error_info(e.get(), &m, nullptr, nullptr), ERR_COMPILE);
}

TEST(EngineErrors, ErrorInfoReportsWhereTheLastCompilationStopped) {
  EnginePtr e = make_engine();
  exp_pcode *p = nullptr;
  int line = -1, column = -1;
  const char *m = nullptr;
  EXPECT_EQ(exp_make_pcode(e.get(), "1 +\n  nothing", &p, EXP_INTEGER, 0, 0, nullptr), ERR_SYMBOL_NOT_FOUND);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(exp_error_info(e.get(), &m, &line, &column), ERR_SYMBOL_NOT_FOUND);
  EXPECT_STREQ(m, "Symbol 'nothing' not found");
  EXPECT_EQ(line, 2);
  EXPECT_EQ(column, 3);

  ASSERT_EQ(exp_make_pcode(e.get(), "1 + 2", &p, EXP_INTEGER, 0, 0, nullptr), 0);
  EXPECT_EQ(exp_error_info(e.get(), &m, &line, &column), 0);
  EXPECT_STREQ(m, "");
  EXPECT_EQ(line, 0);
  EXPECT_EQ(column, 0);
  EXPECT_EQ(exp_free_pcode(e.get(), p), 0);
}

TEST(EngineErrors, SuccessClearsThePreviousError) {
  EnginePtr e = make_engine();
  exp_symval *out = nullptr;
  EXPECT_EQ(exp_symbol_get(e.get(), 0, &out), ERR_INTERNAL);
  EXPECT_NE(last_message(e.get()).find("Error at"), std::string::npos);
  EXPECT_NE(last_message(e.get()).find("exp_symbol"), std::string::npos);
  ASSERT_EQ(exp_add_symbol(e.get(), "a", EXP_INTEGER, 0, 0, nullptr), 0);
  EXPECT_EQ(exp_symbol_get(e.get(), 0, &out), 0);
  EXPECT_EQ(exp_error_info(e.get(), nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(last_message(e.get()), "");
}

// A run-time error after a failed compile reports the run's position, not the compile's; an
// error without a position reports none.
TEST(EngineErrors, PositionsBelongToTheErrorTheyDescribe) {
  EnginePtr e = make_engine();
  exp_symval *zero = nullptr;
  ASSERT_EQ(exp_add_symbol(e.get(), "zero", EXP_INTEGER, 0, 0, &zero), 0);
  exp_symval_setint(zero, 0);
  exp_pcode *p = nullptr, *bad = nullptr;
  ASSERT_EQ(exp_make_pcode(e.get(), "integer k\nk = 4\nk + 1 / zero", &p, EXP_INTEGER, 0, 0, nullptr), 0);
  ASSERT_EQ(exp_make_pcode(e.get(), "1 +\n  nothing", &bad, EXP_INTEGER, 0, 0, nullptr), ERR_SYMBOL_NOT_FOUND);

  int line = -1, column = -1, run_line = -1, run_column = -1;
  const char *m = nullptr;
  EXPECT_EQ(exp_execute(e.get(), p, nullptr), ERR_DIVIDE_BY_ZERO);
  ASSERT_EQ(exp_run_position(p, &run_line, &run_column), 1);
  EXPECT_EQ(run_line, 3);
  EXPECT_EQ(exp_error_info(e.get(), &m, &line, &column), ERR_DIVIDE_BY_ZERO);
  EXPECT_EQ(line, run_line);
  EXPECT_EQ(column, run_column);

  EXPECT_EQ(exp_add_symbol(e.get(), "zero", EXP_INTEGER, 0, 0, nullptr), ERR_DUPLICATE_SYMBOL);
  EXPECT_EQ(exp_error_info(e.get(), &m, &line, &column), ERR_DUPLICATE_SYMBOL);
  EXPECT_EQ(line, 0);
  EXPECT_EQ(column, 0);
  // A failure before the first token (a bad result type) has no position either.
  EXPECT_EQ(exp_make_pcode(e.get(), "1", &bad, 99, 0, 0, nullptr), ERR_RETURN_TYPE);
  EXPECT_EQ(exp_error_info(e.get(), &m, &line, &column), ERR_RETURN_TYPE);
  EXPECT_EQ(line, 0);
  EXPECT_EQ(exp_free_pcode(e.get(), p), 0);
}

TEST(EngineErrors, ErrstrGivesTheCatalogueTextOfEveryNumber) {
  struct Case {
    int code;
    const char *text;
  };
  const Case cases[] = {
      {0, "No error"},
      {EXP_E_NOMEM, "Memory Allocation Failed"},
      {EXP_E_SYMBOL_NOT_FOUND, "Symbol '%s' not found"},
      {EXP_E_DIVIDE_BY_ZERO, "Divide by zero"},
      {EXP_E_USER, "User defined error was raised"},
      {EXP_E_FOREIGN_HANDLE, "%s belongs to another engine"},
      {EXP_E_INVALID_UTF8, "Text is not valid UTF-8"},
      {EXP_E_TEXT_CUT, "Text cut to the cell's limit"},
      {EXP_E_UNKNOWN_OPTION, "Unknown option '%s'"},
      {EXP_E_NOT_A_NUMBER, "Text is not a number"},
      {EXP_E_NOT_CONVERTIBLE, "Text does not convert to the cell's type"},
      {EXP_E_STRING_LIMIT_RANGE, "String limit out of range (1 to 536870911)"},
      {12, "Unknown error"},
      {-1, "Unknown error"},
  };
  for (const Case &c : cases) EXPECT_STREQ(exp_errstr(c.code), c.text) << c.code;
}

// Handing a program or class to another engine would corrupt both engines' bookkeeping (and,
// once the real owner is cleaned, use freed memory): it is refused and nothing changes.
TEST(EngineHandles, ProgramsAndClassesOfAnotherEngineAreRefused) {
  EnginePtr a = make_engine(), b = make_engine();
  exp_pcode *p = nullptr, *own = nullptr, *copy = nullptr;
  exp_symval *result = nullptr;
  ASSERT_EQ(exp_make_pcode(a.get(), "20 + 22", &p, EXP_INTEGER, 0, 0, nullptr), 0);
  ASSERT_EQ(exp_make_pcode(b.get(), "1", &own, EXP_INTEGER, 0, 0, nullptr), 0);
  EXPECT_EQ(exp_free_pcode(b.get(), p), EXP_E_FOREIGN_HANDLE);
  EXPECT_EQ(last_message(b.get()), "The program belongs to another engine");
  EXPECT_EQ(exp_execute(b.get(), p, &result), EXP_E_FOREIGN_HANDLE);
  EXPECT_EQ(exp_copy_pcode(b.get(), b.get(), p, &copy), EXP_E_FOREIGN_HANDLE);
  EXPECT_EQ(copy, nullptr);
  EXPECT_EQ(a->live_programs, 1);
  EXPECT_EQ(b->live_programs, 1);

  exp_class *cls = nullptr;
  ASSERT_EQ(exp_register_class(a.get(), "widget", "", nullptr, &cls), 0);
  EXPECT_EQ(exp_register_class_function(b.get(), cls, "f", "m"), EXP_E_FOREIGN_HANDLE);
  const char *method = nullptr;
  EXPECT_EQ(exp_get_class_function_info(b.get(), cls, 0, &method, nullptr, nullptr, nullptr, nullptr, nullptr),
            EXP_E_FOREIGN_HANDLE);
  EXPECT_EQ(exp_get_class_function_count(cls), 0);

  ASSERT_EQ(exp_execute(a.get(), p, &result), 0);
  EXPECT_EQ(testutil::render(result), "i:42");
  EXPECT_EQ(exp_free_pcode(a.get(), p), 0);
  EXPECT_EQ(exp_free_pcode(b.get(), own), 0);
}

int fails_with_minus_one(exp_engine *, exp_symval *, int, exp_symval **) { return -1; }
int fails_with_5_unsaid(exp_engine *, exp_symval *, int, exp_symval **) { return 5; }
int fails_after_raising(exp_engine *e, exp_symval *, int, exp_symval **) {
  exp_raise_error(e, "bad");
  return -7;
}

// A host testing rc > 0 never takes a failure for success, and exp_error_info agrees with rc:
// a function that fails with a negative number or one it never stored still ends the run with a
// positive number, the one exp_error_info reports.
TEST(EngineErrors, EveryFailedRunReturnsThePositiveNumberItReports) {
  EnginePtr e = make_engine();
  ASSERT_EQ(exp_register_function(e.get(), "minus", fails_with_minus_one, 0, 0, "", 'i', 0, "", 0, nullptr), 0);
  ASSERT_EQ(exp_register_function(e.get(), "unsaid", fails_with_5_unsaid, 0, 0, "", 'i', 0, "", 0, nullptr), 0);
  ASSERT_EQ(exp_register_function(e.get(), "raised", fails_after_raising, 0, 0, "", 'i', 0, "", 0, nullptr), 0);
  const struct {
    const char *text;
    int rc;
  } rows[] = {
      {"string t\nformatib(1, \"32.31\", t)", EXP_E_INVALID_INPUT},
      {"string t\nformatpicsigndec(1, \"9(3\", t)", EXP_E_INVALID_INPUT},
      {"minus()", EXP_E_FUNCTION},
      {"unsaid()", EXP_E_RETURN_TYPE},
      {"raised()", EXP_E_FUNCTION},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.text);
    exp_pcode *p = nullptr;
    ASSERT_EQ(exp_make_pcode(e.get(), row.text, &p, EXP_INTEGER, 0, 0, nullptr), 0) << last_message(e.get());
    EXPECT_EQ(exp_execute(e.get(), p, nullptr), row.rc);
    const char *m = nullptr;
    EXPECT_EQ(exp_error_info(e.get(), &m, nullptr, nullptr), row.rc);
    EXPECT_STRNE(m, "");
    EXPECT_EQ(exp_free_pcode(e.get(), p), 0);
  }
}

// The host setters that convert text fail with numbers of their own, never 1 (out of memory).
TEST(EngineErrors, TextSettersFailWithTheirOwnNumbers) {
  testutil::Cell real(EXP_REAL), integer(EXP_INTEGER), text(EXP_STRING, 4);
  EXPECT_EQ(exp_symval_setreal_text(real, "12x"), EXP_E_NOT_A_NUMBER);
  EXPECT_EQ(exp_symval_setreal_text(integer, "12"), EXP_E_INVALID_INPUT);
  EXPECT_EQ(exp_symval_setreal_text(real, nullptr), EXP_E_INVALID_INPUT);
  EXPECT_EQ(exp_symval_setreal_text(real, "-12.50"), 0);
  EXPECT_EQ(exp_symval_settext(nullptr, integer, "twelve"), EXP_E_NOT_CONVERTIBLE);
  EXPECT_TRUE(EXP_IS_NULL(integer.get()));
  EXPECT_EQ(exp_symval_settext(nullptr, integer, "12"), 0);
  EXPECT_EQ(exp_symval_settext(nullptr, nullptr, "12"), EXP_E_INVALID_INPUT);
  EXPECT_EQ(exp_symval_str_resize(text, 0), EXP_E_STRING_LIMIT_RANGE);
  EXPECT_EQ(exp_symval_str_resize(integer, 4), EXP_E_INVALID_INPUT);
}

// A freed program or engine handed back is refused, without touching the freed memory beyond
// its mark. (AddressSanitizer reports that read of freed memory itself, so the check runs in
// other builds only.)
TEST(EngineHandles, FreedHandlesAreRefused) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "reads freed memory on purpose";
#else
  EnginePtr e = make_engine();
  exp_pcode *p = nullptr, *copy = nullptr;
  // A program with traits and a warning, which the calls reading them must not report once freed.
  ASSERT_EQ(exp_make_pcode(e.get(), "static integer k; string(2) t; t = \"abc\"; k & t", &p, EXP_STRING, 9, 0, nullptr), 0);
  ASSERT_NE(exp_pcode_traits(p), 0u);
  ASSERT_GT(exp_pcode_warning_count(p), 0);
  ASSERT_EQ(exp_free_pcode(e.get(), p), 0);
  EXPECT_EQ(exp_pcode_traits(p), 0u);
  EXPECT_EQ(exp_pcode_warning_count(p), 0);
  EXPECT_EQ(exp_state_save(e.get(), p), nullptr);
  EXPECT_EQ(exp_free_pcode(e.get(), p), EXP_E_INVALID_INPUT);
  EXPECT_EQ(last_message(e.get()), "Invalid input: the program was freed");
  EXPECT_EQ(exp_execute(e.get(), p, nullptr), EXP_E_INVALID_INPUT);
  EXPECT_EQ(exp_copy_pcode(e.get(), e.get(), p, &copy), EXP_E_INVALID_INPUT);
  EXPECT_EQ(exp_run_position(p, nullptr, nullptr), 0);
  exp_cancel_execution(p);  // a no-op, not a write into freed memory
  EXPECT_EQ(e->live_programs, 0);

  exp_engine *gone = exp_init();
  ASSERT_NE(gone, nullptr);
  ASSERT_EQ(exp_make_pcode(gone, "string(2) t; t = \"abc\"; t", &copy, EXP_STRING, 9, 0, nullptr), 0);
  ASSERT_GT(exp_warning_count(gone), 0);
  ASSERT_EQ(exp_free_pcode(gone, copy), 0);
  ASSERT_EQ(exp_clean(gone), 0);
  EXPECT_EQ(exp_warning_count(gone), 0);
  EXPECT_EQ(exp_mark_output(gone, "x"), EXP_E_INVALID_INPUT);
  EXPECT_EQ(exp_state_save(gone, p), nullptr);
  EXPECT_EQ(exp_clean(gone), EXP_E_INVALID_INPUT);
  EXPECT_EQ(exp_execute(gone, p, nullptr), EXP_E_INVALID_INPUT);
  EXPECT_EQ(exp_make_pcode(gone, "1", &copy, EXP_INTEGER, 0, 0, nullptr), EXP_E_INVALID_INPUT);
  EXPECT_EQ(exp_clone(gone), nullptr);
#endif
}

TEST(EngineErrors, QueriesDoNotTouchTheErrorState) {
  EnginePtr e = make_engine();
  exp_raise_error(e.get(), "kept");
  EXPECT_EQ(exp_symbol_get_by_name(e.get(), "nothing"), nullptr);
  EXPECT_EQ(exp_symbol_count(e.get()), 0);
  exp_get_callback_data(e.get());
  EXPECT_EQ(last_message(e.get()), "Error in function: kept");
}

}  // namespace
