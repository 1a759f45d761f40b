// Records do not see each other, and built-ins respect read-only fields: a value read as bytes
// shows only its own bytes (never what a longer earlier value left in the buffer), and a built-in
// that writes into an argument refuses a read-only host symbol as assignment does.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "common/test_util.h"
#include "expression.h"

namespace {

struct Host {
  testutil::EnginePtr e = testutil::make_engine();
  exp_symval *name = nullptr;
  Host() { exp_add_symbol(e.get(), "name", EXP_STRING, 32, 0, &name); }
  // The rendered result of `text` run with name = `value`, or its error.
  std::string run(exp_pcode *p, const char *value) {
    exp_symval_setstr(name, value);
    exp_symval *result = nullptr;
    int rc = exp_execute(e.get(), p, &result);
    return rc ? "error " + std::to_string(rc) : testutil::render(result);
  }
};

TEST(Isolation, ByteReadersSeeOnlyTheCurrentRecordsValue) {
  const char *programs[] = {
      R"~(ib(name, "8"))~",
      R"~(pd(name, "8"))~",
      R"~(picsigndec(name, "S9(9)"))~",
      R"~(ib(upper(name), "8"))~",
      "string(30) t\nt = name\nib(t, \"8\")",
      "string(30) t\nparse(name, \",\", t)\ns370fpd(t, \"8\")",
  };
  for (const char *program : programs) {
    SCOPED_TRACE(program);
    Host after, fresh;
    exp_pcode *p = nullptr, *q = nullptr;
    ASSERT_EQ(exp_make_pcode(after.e.get(), program, &p, EXP_STRING, 100, 0, nullptr), 0);
    ASSERT_EQ(exp_make_pcode(fresh.e.get(), program, &q, EXP_STRING, 100, 0, nullptr), 0);
    after.run(p, "SECRET-PASSWORD-1234");
    EXPECT_EQ(after.run(p, "x"), fresh.run(q, "x"));
    exp_free_pcode(after.e.get(), p);
    exp_free_pcode(fresh.e.get(), q);
  }
}

TEST(Isolation, WritebytesWritesOnlyTheValueOfAText) {
  char dir[] = "/tmp/exp_isolation_XXXXXX";
  ASSERT_TRUE(::mkdtemp(dir));
  const std::string path = std::string(dir) + "/out.bin";
  Host host;
  const std::string text = "file f\nf.open(\"" + path + "\", \"w\")\nf.writebytes(20, name)";
  exp_pcode *p = nullptr;
  ASSERT_EQ(exp_make_pcode(host.e.get(), text.c_str(), &p, EXP_INTEGER, 0, 0, nullptr), 0);
  EXPECT_EQ(host.run(p, "SECRET-PASSWORD-1234"), "i:20");
  EXPECT_EQ(host.run(p, "x"), "i:20");
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(bytes, std::string("x") + std::string(19, '\0'));
  exp_free_pcode(host.e.get(), p);
  std::filesystem::remove_all(dir);
}

TEST(Isolation, BuiltinsThatWriteIntoArgumentsRespectReadOnlySymbols) {
  const char *programs[] = {
      R"~(parse("a,b", ",", ro))~",
      R"~(decode("utf-8", "abc", ro))~",
      R"~(encode("utf-8", "abc", ro))~",
      R"~(formatpd(1234, "4", ro))~",
      R"~(formatib(1234, "4", ro))~",
      R"~(formatpicsigndec(12, "9(4)", ro))~",
      R"~(formatpiccomp3(12, "9(4)", ro))~",
      "file f\nf.open(\"/dev/null\", \"r\")\nf.readbytes(5, ro)",
  };
  testutil::EnginePtr e = testutil::make_engine();
  exp_symval *ro = nullptr;
  ASSERT_EQ(exp_add_symbol(e.get(), "ro", EXP_STRING, 16, EXP_SYM_READONLY, &ro), 0);
  exp_set_option(e.get(), "FILE_SPECIAL", "1");  // /dev/null is a device
  for (const char *program : programs) {
    SCOPED_TRACE(program);
    exp_symval_setstr(ro, "keep");
    exp_pcode *p = nullptr;
    ASSERT_EQ(exp_make_pcode(e.get(), program, &p, EXP_INTEGER, 0, 0, nullptr), 0);
    EXPECT_EQ(exp_execute(e.get(), p, nullptr), 42);
    EXPECT_EQ(testutil::last_message(e.get()), "Symbol 'ro' is read-only");
    EXPECT_EQ(testutil::render(ro), "s:keep");
    exp_free_pcode(e.get(), p);
  }
}

}  // namespace
