// Tests of the function and class registry: registration checks, enumeration order, classes
// and their methods, and user-defined function records.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "builtins/table.h"
#include "common/test_util.h"
#include "engine.h"
#include "errors.h"
#include "registry.h"

using testutil::EnginePtr;
using testutil::last_message;
using testutil::make_engine;

namespace {

int noop_fn(exp_engine *, exp_symval *, int, exp_symval **) { return 0; }

int reg(exp_engine *e, const char *name, const char *sig = "i", char ret = 'i', const char *cls = nullptr,
        int hidden = 0, uint32_t max = 1) {
  return exp_register_function(e, name, noop_fn, 0, max, sig, ret, 0, "test function", hidden, cls);
}

// Names as the enumeration lists them.
std::vector<std::string> listed_names(exp_engine *e) {
  std::vector<std::string> names;
  for (int i = 0; i < exp_get_function_count(e); ++i) {
    const char *n = nullptr;
    EXPECT_EQ(exp_get_function_info(e, i, &n, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
    names.emplace_back(n ? n : "");
  }
  return names;
}

int visible(std::span<const exp_function> table) {
  int n = 0;
  for (const exp_function &f : table) n += f.hidden ? 0 : 1;
  return n;
}

TEST(RegistryFunctions, DuplicateNamesAreRefusedWithoutRegardToCase) {
  EnginePtr e = make_engine();
  ASSERT_EQ(reg(e.get(), "myfunc"), 0);
  EXPECT_EQ(reg(e.get(), "MYFUNC"), ERR_FUNC_REGISTERED);
  EXPECT_EQ(last_message(e.get()), "Function already registered");
  for (const exp_function &f : builtin_functions()) {
    std::string upper = f.name;
    for (char &c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(reg(e.get(), upper.c_str()), ERR_FUNC_REGISTERED) << upper;
  }
  for (const exp_function &f : builtin_class_functions()) EXPECT_EQ(reg(e.get(), f.name), ERR_FUNC_REGISTERED);
}

TEST(RegistryFunctions, ReturnLetters) {
  EnginePtr e = make_engine();
  ASSERT_EQ(exp_register_class(e.get(), "thing", "", nullptr, nullptr), 0);
  struct Case {
    char letter;
    const char *cls;
    int error;
  };
  const Case cases[] = {
      {'B', nullptr, 0}, {'b', nullptr, 0}, {'I', nullptr, 0}, {'i', nullptr, 0}, {'R', nullptr, 0},
      {'r', nullptr, 0}, {'S', nullptr, 0}, {'s', nullptr, 0}, {'D', nullptr, 0}, {'d', nullptr, 0},
      {'P', nullptr, 0}, {'p', nullptr, 0}, {'O', "thing", 0}, {'o', "thing", 0},
      {'O', nullptr, ERR_RETURN_TYPE}, {'o', "", ERR_RETURN_TYPE}, {'a', nullptr, ERR_RETURN_TYPE},
      {'x', nullptr, ERR_RETURN_TYPE}, {'\0', nullptr, ERR_RETURN_TYPE}, {'A', nullptr, ERR_RETURN_TYPE},
  };
  int n = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string("letter ") + c.letter);
    std::string name = "f" + std::to_string(n++);
    EXPECT_EQ(reg(e.get(), name.c_str(), "", c.letter, c.cls), c.error);
    EXPECT_EQ(last_message(e.get()), c.error ? "Invalid return type" : "");
  }
}

TEST(RegistryFunctions, SignatureLettersNameTheFirstBadOne) {
  EnginePtr e = make_engine();
  EXPECT_EQ(reg(e.get(), "all", "BDIOPRSabdioprs"), 0);
  EXPECT_EQ(reg(e.get(), "empty", ""), 0);
  EXPECT_EQ(reg(e.get(), "none", nullptr), 0);
  EXPECT_EQ(reg(e.get(), "bad1", "ixs"), ERR_PARAM_TYPE);
  EXPECT_EQ(last_message(e.get()), "Invalid parameter type 'x'");
  EXPECT_EQ(reg(e.get(), "bad2", "iA?"), ERR_PARAM_TYPE);
  EXPECT_EQ(last_message(e.get()), "Invalid parameter type 'A'");
  EXPECT_EQ(reg(e.get(), "bad3", "i s"), ERR_PARAM_TYPE);
  EXPECT_EQ(last_message(e.get()), "Invalid parameter type ' '");
  // A refused registration leaves the table as it was.
  EXPECT_EQ(func_find(e.get(), "bad1"), nullptr);
}

TEST(RegistryFunctions, RecordsKeepEveryFieldAndCutLongTexts) {
  EnginePtr e = make_engine();
  std::string long_desc(600, 'd');
  std::string long_sig(70, 'i');
  ASSERT_EQ(exp_register_function(e.get(), "rec", noop_fn, 2, EXP_UNLIMITED, long_sig.c_str(), 'S', 40,
                                  long_desc.c_str(), 0, nullptr),
            0);
  const exp_function *f = func_find(e.get(), "REC");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->fn, &noop_fn);
  EXPECT_EQ(f->min_args, 2);
  EXPECT_EQ(f->max_args, EXP_UNLIMITED);
  EXPECT_EQ(std::string(f->signature), std::string(64, 'i'));
  EXPECT_EQ(f->ret_type, 'S');
  EXPECT_EQ(f->max_len, 40u);
  EXPECT_EQ(std::string(f->description), std::string(512, 'd'));

  int index = exp_get_function_count(e.get()) - 1;
  const char *name, *sig, *desc;
  int min;
  uint32_t max;
  char ret;
  ASSERT_EQ(exp_get_function_info(e.get(), index, &name, &min, &max, &sig, &ret, &desc), 0);
  EXPECT_STREQ(name, "rec");
  EXPECT_EQ(max, 0xFFFFFFFFu);
  EXPECT_EQ(ret, 'S');
  EXPECT_EQ(exp_get_function_info(e.get(), index + 1, &name, nullptr, nullptr, nullptr, nullptr, nullptr),
            ERR_INVALID_INPUT);
  EXPECT_EQ(last_message(e.get()), "Invalid input: Invalid index");
  EXPECT_EQ(exp_get_function_info(e.get(), -1, &name, nullptr, nullptr, nullptr, nullptr, nullptr),
            ERR_INVALID_INPUT);
}

TEST(RegistryFunctions, EnumerationOrderBuiltinsHostThenUserFunctionsMostRecentFirst) {
  EnginePtr e = make_engine();
  const int base = visible(builtin_functions()) + visible(builtin_class_functions());
  EXPECT_EQ(exp_get_function_count(e.get()), base);

  ASSERT_EQ(reg(e.get(), "host_visible"), 0);
  ASSERT_EQ(reg(e.get(), "host_hidden", "i", 'i', nullptr, 1), 0);
  ASSERT_EQ(reg(e.get(), "host_second"), 0);
  EXPECT_EQ(exp_get_function_count(e.get()), base + 2);

  testutil::Program older(e.get(), EXP_STRING, 20), newer(e.get(), EXP_DATE), anonymous(e.get());
  copy_name(older->udf_name, "older_udf", EXP_NAME_MAX);
  copy_name(newer->udf_name, "newer_udf", EXP_NAME_MAX);
  ASSERT_EQ(pcode_register_udf(e.get(), older.get()), 0);
  ASSERT_EQ(pcode_register_udf(e.get(), newer.get()), 0);
  ASSERT_EQ(pcode_register_udf(e.get(), anonymous.get()), 0);  // no name: not registered
  ASSERT_EQ(exp_get_function_count(e.get()), base + 4);

  std::vector<std::string> names = listed_names(e.get());
  const std::vector<std::string> tail(names.begin() + base, names.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"host_visible", "host_second", "newer_udf", "older_udf"}));

  const char *sig, *desc;
  int min;
  uint32_t max;
  char ret;
  ASSERT_EQ(exp_get_function_info(e.get(), base + 3, nullptr, &min, &max, &sig, &ret, &desc), 0);
  EXPECT_EQ(min, 0);
  EXPECT_EQ(max, EXP_UNLIMITED);
  EXPECT_STREQ(sig, "");
  EXPECT_EQ(ret, EXP_STRING);  // the type code, not a letter
  EXPECT_STREQ(desc, "User defined function");

  EXPECT_EQ(udf_find(e.get(), "NEWER_UDF"), newer.get());
  EXPECT_EQ(udf_find(e.get(), ""), nullptr);
  EXPECT_EQ(udf_find(e.get(), "host_visible"), nullptr);
  // User-defined names do not block host registrations.
  EXPECT_EQ(reg(e.get(), "older_udf"), 0);
}

TEST(RegistryFunctions, FreeingAUserFunctionRemovesItsRecord) {
  EnginePtr e = make_engine();
  const int base = exp_get_function_count(e.get());
  {
    testutil::Program prog(e.get(), EXP_INTEGER);
    copy_name(prog->udf_name, "temporary", EXP_NAME_MAX);
    ASSERT_EQ(pcode_register_udf(e.get(), prog.get()), 0);
    EXPECT_EQ(exp_get_function_count(e.get()), base + 1);
  }
  EXPECT_EQ(exp_get_function_count(e.get()), base);
  EXPECT_EQ(udf_find(e.get(), "temporary"), nullptr);
}

// ---- classes ------------------------------------------------------------------------------------

TEST(RegistryClasses, DuplicateClassNamesAreError9) {
  EnginePtr e = make_engine();
  exp_class *c = nullptr;
  ASSERT_EQ(exp_register_class(e.get(), "Widget", "widgets", nullptr, &c), 0);
  ASSERT_NE(c, nullptr);
  exp_class *again = reinterpret_cast<exp_class *>(&c);
  EXPECT_EQ(exp_register_class(e.get(), "WIDGET", "", nullptr, &again), ERR_CLASS_REGISTERED);
  EXPECT_EQ(last_message(e.get()), "Class already registered");
  EXPECT_EQ(exp_register_class2(e.get(), "widget", "", nullptr, nullptr, 1), ERR_CLASS_REGISTERED);
  EXPECT_EQ(exp_get_class_by_name(e.get(), "wIdGeT"), c);
  for (const builtin_class &bc : builtin_classes())
    EXPECT_EQ(exp_register_class(e.get(), bc.name, "", nullptr, nullptr), ERR_CLASS_REGISTERED);
}

TEST(RegistryClasses, HiddenClassesAreFoundByNameButNotListed) {
  EnginePtr e = make_engine();
  int base = exp_get_class_count(e.get());
  exp_class *shown = nullptr, *hidden = nullptr, *last = nullptr;
  ASSERT_EQ(exp_register_class2(e.get(), "hidden_one", "h", nullptr, &hidden, 7), 0);
  ASSERT_EQ(exp_register_class(e.get(), "shown", "visible class", nullptr, &shown), 0);
  ASSERT_EQ(exp_register_class2(e.get(), "last", "l", nullptr, &last, 0), 0);
  EXPECT_EQ(exp_get_class_count(e.get()), base + 2);
  EXPECT_EQ(exp_get_class_by_name(e.get(), "HIDDEN_ONE"), hidden);
  EXPECT_EQ(hidden->hidden, 1u);

  const char *name = nullptr, *desc = nullptr;
  exp_class *out = nullptr;
  ASSERT_EQ(exp_get_class_info(e.get(), base, &name, &desc, &out), 0);
  EXPECT_STREQ(name, "shown");
  EXPECT_STREQ(desc, "visible class");
  EXPECT_EQ(out, shown);
  ASSERT_EQ(exp_get_class_info(e.get(), base + 1, &name, nullptr, &out), 0);
  EXPECT_EQ(out, last);
  EXPECT_EQ(exp_get_class_info(e.get(), base + 2, &name, &desc, &out), ERR_INVALID_INPUT);
  EXPECT_EQ(last_message(e.get()), "Invalid input: invalid index");
  EXPECT_EQ(name, nullptr);
  EXPECT_EQ(desc, nullptr);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(exp_get_class_info(e.get(), -1, nullptr, nullptr, nullptr), ERR_INVALID_INPUT);
}

TEST(RegistryClasses, BuiltinArrayClassesAreHidden) {
  EnginePtr e = make_engine();
  int listed = 0;
  for (const builtin_class &bc : builtin_classes()) {
    EXPECT_NE(exp_get_class_by_name(e.get(), bc.name), nullptr) << bc.name;
    listed += bc.hidden ? 0 : 1;
  }
  EXPECT_EQ(exp_get_class_count(e.get()), listed);
}

TEST(RegistryClasses, MethodsMapToFunctionsThatMayComeLater) {
  EnginePtr e = make_engine();
  exp_class *c = nullptr;
  ASSERT_EQ(exp_register_class(e.get(), "box", "", nullptr, &c), 0);
  ASSERT_EQ(exp_register_class_function(e.get(), c, "box_open", "Open"), 0);
  ASSERT_EQ(exp_register_class_function(e.get(), c, "box_size", "size"), 0);
  EXPECT_EQ(exp_register_class_function(e.get(), c, "other", "OPEN"), ERR_FUNC_REGISTERED);
  EXPECT_EQ(last_message(e.get()), "Function already registered");
  EXPECT_EQ(exp_get_class_function_count(c), 2);
  EXPECT_STREQ(class_find_method(c, "open"), "box_open");
  EXPECT_EQ(class_find_method(c, "close"), nullptr);

  const char *method = nullptr, *sig = nullptr, *desc = nullptr;
  int min = -1;
  uint32_t max = 0;
  char ret = 0;
  // box_open does not exist yet.
  ASSERT_EQ(exp_get_class_function_info(e.get(), c, 0, &method, &min, &max, &sig, &ret, &desc), 0);
  EXPECT_STREQ(method, "Open");
  EXPECT_STREQ(desc, "invalid method");
  EXPECT_EQ(min, -1);
  ASSERT_EQ(exp_register_function(e.get(), "box_open", noop_fn, 1, 2, "Os", 'b', 0, "opens a box", 1,
                                  nullptr),
            0);
  ASSERT_EQ(exp_get_class_function_info(e.get(), c, 0, &method, &min, &max, &sig, &ret, &desc), 0);
  EXPECT_STREQ(desc, "opens a box");
  EXPECT_EQ(min, 1);
  EXPECT_EQ(max, 2u);
  EXPECT_STREQ(sig, "Os");
  EXPECT_EQ(ret, 'b');

  EXPECT_EQ(exp_get_class_function_info(e.get(), c, 2, &method, &min, &max, &sig, &ret, &desc),
            ERR_INVALID_INPUT);
  EXPECT_EQ(last_message(e.get()), "Invalid input: invalid index");
  EXPECT_EQ(exp_get_class_function_info(e.get(), c, -1, &method, &min, &max, &sig, &ret, &desc),
            ERR_INVALID_INPUT);
  // Only the method name asked for.
  ASSERT_EQ(exp_get_class_function_info(e.get(), c, 1, &method, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
  EXPECT_STREQ(method, "size");
}

TEST(RegistryClasses, BuiltinMethodTablesAreLoaded) {
  EnginePtr e = make_engine();
  for (const builtin_method &m : builtin_methods()) {
    exp_class *c = exp_get_class_by_name(e.get(), m.class_name);
    ASSERT_NE(c, nullptr) << m.class_name;
    EXPECT_STREQ(class_find_method(c, m.method), m.function);
    EXPECT_NE(func_find(e.get(), m.function), nullptr) << m.function;
  }
}

}  // namespace
