// Capability groups: a denied built-in is refused by every route a program can reach it (direct
// call, `call`, method, user-defined function, a program compiled before the denial, a copy into
// a confined engine), a host replaces a built-in only by saying so, and the child processes and
// files the engine opens cannot take the host's streams or hang it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "common/test_util.h"
#include "expression.h"

namespace fs = std::filesystem;

namespace {

// A fresh directory for one test, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/exp_caps_XXXXXX";
    path_ = ::mkdtemp(pattern);
  }
  ~TempDir() { fs::remove_all(path_); }
  std::string file(const char *name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

struct Outcome {
  int rc;
  std::string message;
  int line, column;
  int64_t value = 0;  // the integer result of a run that succeeded
};

// Compiles `text` (integer result) and, when it compiles, runs it.
Outcome compile_and_run(exp_engine *e, const std::string &text) {
  exp_pcode *p = nullptr;
  int rc = exp_make_pcode(e, text.c_str(), &p, EXP_INTEGER, 0, 0, nullptr);
  exp_symval *result = nullptr;
  if (rc == 0) rc = exp_execute(e, p, &result);
  const char *message = nullptr;
  int line = 0, column = 0;
  exp_error_info(e, &message, &line, &column);
  Outcome outcome{rc, message ? message : "", line, column};
  if (rc == 0 && result && !EXP_IS_NULL(result)) outcome.value = result->value.i;
  if (p) exp_free_pcode(e, p);  // clears the engine's message
  return outcome;
}

std::string denial(const char *function, const char *group) {
  return std::string("Function '") + function + "' needs the '" + group +
         "' capability, which the host has not allowed";
}

struct DeniedCall {
  unsigned group;
  const char *text;      // calls the function after "x = 1; " so the call starts at column 8
  const char *function;  // as the message names it
  const char *group_name;
};

TEST(Capabilities, EveryGroupedBuiltinIsRefusedAtItsCallWhenItsGroupIsDenied) {
  const DeniedCall rows[] = {
      {EXP_CAP_PROCESS, "execute(\"true\")", "execute", "process"},
      {EXP_CAP_FILE_READ, "fileexists(\"/\")", "fileexists", "file read"},
      {EXP_CAP_FILE_READ, "isnull(filedate(\"/\"))", "filedate", "file read"},
      {EXP_CAP_FILE_WRITE, "deletefile(\"/nonexistent/x\")", "deletefile", "file write"},
      {EXP_CAP_FILE_READ | EXP_CAP_FILE_WRITE, "copyfile(\"/nonexistent/x\", \"/nonexistent/y\")", "copyfile",
       "file read"},
      {EXP_CAP_FILE_READ | EXP_CAP_FILE_WRITE, "movefile(\"/nonexistent/x\", \"/nonexistent/y\")", "movefile",
       "file read"},
      {EXP_CAP_FILE_WRITE, "mkdir(\"/nonexistent/x/y\")", "mkdir", "file write"},
      {EXP_CAP_FILE_WRITE, "rmdir(\"/nonexistent/x\")", "rmdir", "file write"},
      {EXP_CAP_ENVIRONMENT, "len(username())", "username", "environment"},
      {EXP_CAP_LOCALE, "len(locale())", "locale", "locale"},
      {EXP_CAP_SLEEP, "sleep(0)", "sleep", "sleep"},
      {EXP_CAP_VARIABLES, "len(vareval(\"x\"))", "vareval", "variables"},
      {EXP_CAP_VARIABLES, "varset(\"x\", 2)", "varset", "variables"},
  };
  for (const DeniedCall &row : rows) {
    SCOPED_TRACE(row.text);
    testutil::EnginePtr e = testutil::make_engine();
    std::string text = std::string("integer x\nx = 1; ") + row.text;
    ASSERT_EQ(compile_and_run(e.get(), text).rc, 0) << "allowed by default";
    ASSERT_EQ(exp_set_capabilities(e.get(), EXP_CAP_ALL & ~row.group), 0);
    Outcome o = compile_and_run(e.get(), text);
    EXPECT_EQ(o.rc, 53);
    EXPECT_EQ(o.message, denial(row.function, row.group_name));
    EXPECT_EQ(o.line, 2);
    // Every other group stays usable.
    ASSERT_EQ(exp_set_capabilities(e.get(), row.group), 0);
    EXPECT_EQ(compile_and_run(e.get(), text).rc, 0);
  }
  testutil::EnginePtr e = testutil::make_engine();
  EXPECT_EQ(exp_set_capabilities(e.get(), (EXP_CAP_ALL | EXP_CAP_PSEUDO_FILES) + 1), 3);
  EXPECT_EQ(exp_get_capabilities(e.get()), unsigned{EXP_CAP_ALL});
}

// A program whose run would create `marker`, reached through each route in turn.
TEST(Capabilities, NoRouteRunsADeniedFunction) {
  TempDir dir;
  const std::string marker = dir.file("ran");
  const std::string touch = "execute(\"touch\", \"" + marker + "\")";
  testutil::EnginePtr e = testutil::make_engine();
  exp_pcode *udf = nullptr, *before = nullptr;
  ASSERT_EQ(exp_make_pcode(e.get(), touch.c_str(), &udf, EXP_INTEGER, 0, 0, "toucher"), 0);
  ASSERT_EQ(exp_make_pcode(e.get(), "toucher()", &before, EXP_INTEGER, 0, 0, nullptr), 0);
  testutil::EnginePtr confined(exp_clone(e.get()));
  ASSERT_EQ(exp_set_capabilities(confined.get(), EXP_CAP_ALL & ~EXP_CAP_PROCESS), 0);
  exp_pcode *copy = nullptr;
  EXPECT_EQ(exp_copy_pcode(e.get(), confined.get(), udf, &copy), 53) << "a copy of a program that calls execute";
  EXPECT_EQ(testutil::last_message(confined.get()), denial("execute", "process"));
  EXPECT_EQ(copy, nullptr);
  EXPECT_EQ(exp_get_capabilities(confined.get()), unsigned{EXP_CAP_ALL & ~EXP_CAP_PROCESS});
  testutil::EnginePtr clone_of_confined(exp_clone(confined.get()));
  EXPECT_EQ(exp_get_capabilities(clone_of_confined.get()), exp_get_capabilities(confined.get()));

  ASSERT_EQ(exp_set_capabilities(e.get(), EXP_CAP_ALL & ~EXP_CAP_PROCESS), 0);
  EXPECT_EQ(compile_and_run(e.get(), "call " + touch).rc, 53);
  Outcome through_udf = compile_and_run(e.get(), "1 + toucher()");
  EXPECT_EQ(through_udf.rc, 53);
  EXPECT_EQ(through_udf.message, denial("toucher", "process"));
  EXPECT_EQ(exp_execute(e.get(), before, nullptr), 108) << "compiled before the denial";
  EXPECT_EQ(exp_execute(e.get(), udf, nullptr), 108);
  EXPECT_FALSE(fs::exists(marker));
  exp_free_pcode(e.get(), before);
  exp_free_pcode(e.get(), udf);
}

// The file class's open needs file read or file write by its mode, which only the run knows.
TEST(Capabilities, FileOpenChecksTheGroupOfItsMode) {
  TempDir dir;
  const std::string path = dir.file("out.txt");
  const std::string write = "file f\nf.open(\"" + path + "\", \"w\")";
  const std::string read = "file f\nf.open(\"" + path + "\", \"r\")";
  testutil::EnginePtr e = testutil::make_engine();
  ASSERT_EQ(exp_set_capabilities(e.get(), EXP_CAP_ALL & ~EXP_CAP_FILE_WRITE), 0);
  Outcome o = compile_and_run(e.get(), write);
  EXPECT_EQ(o.rc, 108);
  EXPECT_EQ(o.message, denial("open", "file write"));
  EXPECT_FALSE(fs::exists(path));
  EXPECT_EQ(compile_and_run(e.get(), read).rc, 0) << "reading is allowed";
  ASSERT_EQ(exp_set_capabilities(e.get(), EXP_CAP_FILE_WRITE), 0);
  EXPECT_EQ(compile_and_run(e.get(), read).rc, 108);
  EXPECT_EQ(compile_and_run(e.get(), write).rc, 0);
  EXPECT_TRUE(fs::exists(path));
  ASSERT_EQ(exp_set_capabilities(e.get(), EXP_CAP_ALL & ~(EXP_CAP_FILE_READ | EXP_CAP_FILE_WRITE)), 0);
  EXPECT_EQ(compile_and_run(e.get(), read).rc, 53) << "neither group: refused when compiling";
}

int refusing_execute(exp_engine *, exp_symval *result, int, exp_symval **) {
  exp_symval_setint(result, -42);
  return 0;
}

TEST(Capabilities, AHostReplacesABuiltinOnlyWhenItSaysSo) {
  testutil::EnginePtr e = testutil::make_engine();
  const int count = exp_get_function_count(e.get());
  EXPECT_EQ(exp_register_function(e.get(), "execute", refusing_execute, 1, EXP_UNLIMITED, "s", 'i', 0, "", 0,
                                  nullptr),
            4);
  ASSERT_EQ(exp_replace_function(e.get(), "EXECUTE", refusing_execute, 1, EXP_UNLIMITED, "s", 'i', 0,
                                 "logs and refuses", 0, nullptr),
            0);
  EXPECT_EQ(exp_get_function_count(e.get()), count) << "the replacement is listed once";
  ASSERT_EQ(exp_set_capabilities(e.get(), EXP_CAP_ALL & ~EXP_CAP_PROCESS), 0);
  exp_pcode *p = nullptr;
  ASSERT_EQ(exp_make_pcode(e.get(), "execute(\"sh\", \"-c\", \"exit 3\")", &p, EXP_INTEGER, 0, 0, nullptr), 0);
  exp_symval *result = nullptr;
  ASSERT_EQ(exp_execute(e.get(), p, &result), 0);
  EXPECT_EQ(result->value.i, -42);
  testutil::EnginePtr clone(exp_clone(e.get()));
  exp_pcode *copy = nullptr;
  ASSERT_EQ(exp_copy_pcode(e.get(), clone.get(), p, &copy), 0);
  ASSERT_EQ(exp_execute(clone.get(), copy, &result), 0);
  EXPECT_EQ(result->value.i, -42);
  exp_free_pcode(clone.get(), copy);
  exp_free_pcode(e.get(), p);
}

// Runs `text` with fd `fd` pointing at `replacement` for the duration, restoring it after.
int run_with_fd(exp_engine *e, const std::string &text, int fd, int replacement, int64_t *value) {
  int saved = ::dup(fd);
  ::dup2(replacement, fd);
  exp_pcode *p = nullptr;
  int rc = exp_make_pcode(e, text.c_str(), &p, EXP_INTEGER, 0, 0, nullptr);
  exp_symval *result = nullptr;
  if (rc == 0) rc = exp_execute(e, p, &result);
  if (rc == 0) *value = result->value.i;
  if (p) exp_free_pcode(e, p);
  ::dup2(saved, fd);
  ::close(saved);
  return rc;
}

TEST(Capabilities, ChildrenNeitherReadTheHostsInputNorWriteItsOutputWhenAsked) {
  testutil::EnginePtr e = testutil::make_engine();
  int input[2];
  ASSERT_EQ(::pipe(input), 0);
  ASSERT_EQ(::write(input[1], "record\n", 7), 7);
  ::close(input[1]);
  int64_t code = -1;
  ASSERT_EQ(run_with_fd(e.get(), R"~(execute("sh", "-c", "read x && exit 7 || exit 5"))~", 0, input[0], &code), 0);
  EXPECT_EQ(code, 5) << "the child reads /dev/null";
  char left[8] = {};
  EXPECT_EQ(::read(input[0], left, sizeof left), 7) << "the host's input is untouched";
  ::close(input[0]);

  TempDir dir;
  const std::string out = dir.file("stdout");
  int fd = ::open(out.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  exp_set_option(e.get(), "CHILD_STDOUT", "stderr");
  ASSERT_EQ(run_with_fd(e.get(), R"~(execute("sh", "-c", "echo INJECTED,row"))~", 1, fd, &code), 0);
  EXPECT_EQ(fs::file_size(out), 0u);
  exp_set_option(e.get(), "CHILD_STDOUT", "inherit");
  ASSERT_EQ(run_with_fd(e.get(), R"~(execute("sh", "-c", "echo visible"))~", 1, fd, &code), 0);
  EXPECT_EQ(fs::file_size(out), 8u);
  ::close(fd);
}

TEST(Capabilities, CancellingARunEndsTheChildItWaitsFor) {
  testutil::EnginePtr e = testutil::make_engine();
  exp_pcode *p = nullptr;
  ASSERT_EQ(exp_make_pcode(e.get(), R"~(execute("sleep", "600"))~", &p, EXP_INTEGER, 0, 0, nullptr), 0);
  std::atomic<int> rc{-1};
  std::thread run([&] { rc = exp_execute(e.get(), p, nullptr); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  exp_cancel_execution(p);
  run.join();  // without the kill this would wait ten minutes
  EXPECT_EQ(rc.load(), 104);
  exp_free_pcode(e.get(), p);
}

TEST(Capabilities, TheFileClassOpensOnlyRegularFilesUnlessAllowed) {
  TempDir dir;
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string open_read = "file f\nif f.open(\"" + fifo + "\", \"r\") then return 1 else return 0";
  const std::string open_write = "file f\nif f.open(\"" + fifo + "\", \"w\") then return 1 else return 0";
  testutil::EnginePtr e = testutil::make_engine();
  exp_pcode *p = nullptr;
  exp_symval *result = nullptr;
  for (const std::string *text : {&open_read, &open_write}) {
    ASSERT_EQ(exp_make_pcode(e.get(), text->c_str(), &p, EXP_INTEGER, 0, 0, nullptr), 0);
    ASSERT_EQ(exp_execute(e.get(), p, &result), 0);
    EXPECT_EQ(result->value.i, 0) << "refused, without waiting for a writer";
    exp_free_pcode(e.get(), p);
  }
  exp_set_option(e.get(), "FILE_SPECIAL", "1");
  ASSERT_EQ(exp_make_pcode(e.get(), open_read.c_str(), &p, EXP_INTEGER, 0, 0, nullptr), 0);
  ASSERT_EQ(exp_execute(e.get(), p, &result), 0);
  EXPECT_EQ(result->value.i, 1) << "allowed, and opening still does not wait";
  exp_free_pcode(e.get(), p);
}


std::string quoted(const std::string &path) { return "\"" + path + "\""; }

// Copying and moving read the source: with file read denied neither compiles, so a secret the
// program could not read is not copied where it could. A copy never carries set-id bits, and a
// destination that would wait (a FIFO without reader) is refused at once.
TEST(Capabilities, CopyingNeedsFileReadAndNeverCarriesSetIdBits) {
  TempDir dir;
  const std::string secret = dir.file("secret"), copy = dir.file("copy"), fifo = dir.file("fifo");
  std::ofstream(secret) << "s3cret";
  ASSERT_EQ(::chmod(secret.c_str(), 06750), 0);
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  testutil::EnginePtr e = testutil::make_engine();
  ASSERT_EQ(exp_set_capabilities(e.get(), EXP_CAP_ALL & ~EXP_CAP_FILE_READ), 0);
  for (const char *function : {"copyfile", "movefile"}) {
    Outcome o = compile_and_run(e.get(), std::string(function) + "(" + quoted(secret) + ", " + quoted(copy) + ")");
    EXPECT_EQ(o.rc, 53) << function;
    EXPECT_EQ(o.message, denial(function, "file read"));
  }
  EXPECT_FALSE(fs::exists(copy));
  ASSERT_EQ(exp_set_capabilities(e.get(), EXP_CAP_ALL), 0);
  EXPECT_EQ(compile_and_run(e.get(), "copyfile(" + quoted(secret) + ", " + quoted(copy) + ")").value, 1);
  struct stat st {};
  ASSERT_EQ(::stat(copy.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0750u) << "permission bits kept, set-id bits dropped";
  EXPECT_EQ(compile_and_run(e.get(), "copyfile(" + quoted(secret) + ", " + quoted(fifo) + ")").value, 0);
}

int deny_everything(exp_engine *e, exp_symval *result, int, exp_symval **) {
  exp_symval_setint(result, exp_set_capabilities(e, 0));
  return 0;
}

// A program opens a file into a static global while reading is allowed; once the host denies
// the group, no later program, nor the rest of a run that denied it, gets anything from that file.
TEST(Capabilities, AnOpenFileIsOfNoUseOnceItsGroupIsDenied) {
  TempDir dir;
  const std::string secret = dir.file("secret");
  std::ofstream(secret) << "top secret\n";
  testutil::EnginePtr e = testutil::make_engine();
  exp_pcode *opener = nullptr, *reader = nullptr;
  const std::string open = "global static file gf\ngf.open(" + quoted(secret) + ", \"r\")";
  ASSERT_EQ(exp_make_pcode(e.get(), open.c_str(), &opener, EXP_INTEGER, 0, 0, nullptr), 0);
  ASSERT_EQ(exp_execute(e.get(), opener, nullptr), 0);
  ASSERT_EQ(exp_make_pcode(e.get(), "len(gf.readline())", &reader, EXP_INTEGER, 0, 0, nullptr), 0);
  ASSERT_EQ(exp_set_capabilities(e.get(), EXP_CAP_ALL & ~(EXP_CAP_FILE_READ | EXP_CAP_FILE_WRITE)), 0);
  EXPECT_EQ(exp_execute(e.get(), reader, nullptr), 108) << "compiled before the denial";
  Outcome later = compile_and_run(e.get(), "len(gf.readline())");
  EXPECT_EQ(later.rc, 53);
  EXPECT_EQ(later.message, denial("readline", "file read"));
  // Methods no group names at compile time check the file's own groups when they run.
  const std::pair<const char *, const char *> unnamed[] = {{"gf.position()", "position"}, {"gf.seekend(0)", "seekend"}};
  for (const auto &[text, method] : unnamed) {
    Outcome o = compile_and_run(e.get(), text);
    EXPECT_EQ(o.rc, 108) << text;
    EXPECT_EQ(o.message, denial(method, "file read"));
  }
  // A denial in the middle of a run stops the file's next use, and the next grouped built-in.
  ASSERT_EQ(exp_set_capabilities(e.get(), EXP_CAP_ALL), 0);
  ASSERT_EQ(exp_register_function(e.get(), "deny_everything", deny_everything, 0, 0, "", 'i', 0, "", 0, nullptr), 0);
  EXPECT_EQ(compile_and_run(e.get(), "deny_everything(); gf.position()").rc, 108);
  ASSERT_EQ(exp_set_capabilities(e.get(), EXP_CAP_ALL), 0);
  EXPECT_EQ(compile_and_run(e.get(), "deny_everything(); fileexists(\"/\")").rc, 108);
  ASSERT_EQ(exp_set_capabilities(e.get(), EXP_CAP_ALL), 0);
  EXPECT_EQ(compile_and_run(e.get(), "len(gf.readline())").value, 10) << "allowed again, the file still works";
  exp_free_pcode(e.get(), reader);
  exp_free_pcode(e.get(), opener);
}

// Files of /proc and /sys are refused by every route, decided on the file reached (a link to
// one is refused too), until the host allows them by their own group.
TEST(Capabilities, PseudoFilesAreRefusedByEveryRouteUnlessAllowed) {
  TempDir dir;
  const std::string plain = dir.file("plain"), out = dir.file("out"), link = dir.file("link");
  std::ofstream(plain) << "data";
  ASSERT_EQ(::symlink("/proc/self/environ", link.c_str()), 0);
  struct Route {
    std::string text;
    const char *function;
  };
  const Route routes[] = {
      {"file f\nf.open(\"/proc/self/status\", \"r\")", "open"},
      {"file f\nf.open(" + quoted(link) + ", \"r\")", "open"},
      {"file f\nf.open(\"/proc/self/mem\", \"w\")", "open"},
      {"file f\nf.open(\"/sys/kernel/uevent_seqnum\", \"r\")", "open"},
      {"copyfile(\"/proc/self/environ\", " + quoted(out) + ")", "copyfile"},
      {"copyfile(" + quoted(plain) + ", \"/proc/self/comm\")", "copyfile"},
      {"movefile(\"/proc/self/environ\", " + quoted(out) + ")", "movefile"},
      {"fileexists(\"/proc/1\")", "fileexists"},
      {"isnull(filedate(\"/sys/kernel\"))", "filedate"},
      {"deletefile(\"/proc/self/status\")", "deletefile"},
      {"mkdir(\"/sys/kernel/x\")", "mkdir"},
      {"rmdir(\"/proc/self/task\")", "rmdir"},
  };
  testutil::EnginePtr e = testutil::make_engine();
  for (const Route &route : routes) {
    Outcome o = compile_and_run(e.get(), route.text);
    EXPECT_EQ(o.rc, 108) << route.text;
    EXPECT_EQ(o.message, denial(route.function, "pseudo files")) << route.text;
  }
  EXPECT_FALSE(fs::exists(out));
  ASSERT_EQ(exp_set_capabilities(e.get(), EXP_CAP_ALL | EXP_CAP_PSEUDO_FILES), 0);
  EXPECT_EQ(compile_and_run(e.get(), routes[1].text).value, 1) << "allowed by its group";
  EXPECT_EQ(compile_and_run(e.get(), routes[7].text).value, 1);
  ASSERT_EQ(exp_set_capabilities(e.get(), (EXP_CAP_ALL & ~EXP_CAP_FILE_READ) | EXP_CAP_PSEUDO_FILES), 0);
  EXPECT_EQ(compile_and_run(e.get(), routes[1].text).rc, 108) << "and still by file read";
}

}  // namespace
