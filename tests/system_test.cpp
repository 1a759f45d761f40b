// System and file-system functions through compiled programs.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <set>
#include <string>
#include <string_view>
#include <thread>

#include "common/classes_util.h"
#include "support/sysinfo.h"

namespace {

using classtest::ClassTest;
using classtest::Compiled;
using classtest::Outcome;
using classtest::quoted;
using classtest::run;
using classtest::value_of;

class System : public ClassTest {
 protected:
  // The value of `text` with {name} replaced by the quoted path of the file `name` in the test's
  // directory.
  std::string eval(std::string text) {
    for (size_t open = text.find('{'); open != std::string::npos; open = text.find('{', open + 1)) {
      size_t close = text.find('}', open);
      std::string name = text.substr(open + 1, close - open - 1);
      text.replace(open, close - open + 1, quoted(path(name)));
    }
    return value_of(e(), text);
  }
  bool exists(const std::string &name) const { return std::filesystem::exists(path(name)); }
};

TEST_F(System, FileFunctionsReportSuccessAsTrue) {
  write_file("a.txt", "alpha");
  const struct {
    const char *program;
    const char *expected;
  } cases[] = {
      {"fileexists({a.txt}) & fileexists({none.txt}) & fileexists(null)", "s:truefalsefalse"},
      {"copyfile({a.txt}, {b.txt}) & copyfile({none.txt}, {c.txt}) & copyfile(null, {c.txt})", "s:truefalsefalse"},
      {"movefile({b.txt}, {m.txt}) & movefile({b.txt}, {n.txt}) & movefile({m.txt}, null)", "s:truefalsefalse"},
      {"deletefile({m.txt}) & deletefile({m.txt}) & deletefile(null)", "s:truefalsefalse"},
  };
  for (const auto &c : cases) EXPECT_EQ(eval(c.program), c.expected) << c.program;
  EXPECT_EQ(read_file("a.txt"), "alpha");
  EXPECT_FALSE(exists("b.txt"));
  EXPECT_FALSE(exists("m.txt"));
}

TEST_F(System, CopyingAFileOntoItselfFailsWithoutDestroyingIt) {
  write_file("a.txt", "precious");
  EXPECT_EQ(eval("copyfile({a.txt}, {a.txt})"), "s:false");
  EXPECT_EQ(read_file("a.txt"), "precious");
  write_file("b.txt", "old");
  EXPECT_EQ(eval("copyfile({a.txt}, {b.txt})"), "s:true");
  EXPECT_EQ(read_file("b.txt"), "precious");
}

TEST_F(System, DirectoriesAreCreatedAndRemoved) {
  EXPECT_EQ(eval("mkdir({x/y/z})"), "s:false");
  EXPECT_EQ(eval("mkdir({x/y/z}, false)"), "s:false");
  EXPECT_EQ(eval("mkdir({x/y/z}, true)"), "s:true");
  EXPECT_TRUE(std::filesystem::is_directory(path("x/y/z")));
  EXPECT_EQ(eval("mkdir({x/y/z}, true) & mkdir(null)"), "s:falsefalse");
  EXPECT_EQ(eval("rmdir({x/y}) & rmdir({x/y/z}) & rmdir({x/y}) & rmdir(null)"), "s:falsetruetruefalse");
}

TEST_F(System, FileDateGivesLocalDatesWithSeconds) {
  write_file("a.txt", "x");
  std::tm local{};
  local.tm_year = 2021 - 1900;
  local.tm_mon = 5;
  local.tm_mday = 15;
  local.tm_hour = 12;
  local.tm_min = 34;
  local.tm_sec = 56;
  local.tm_isdst = -1;
  struct timespec times[2] = {{std::mktime(&local), 0}, {std::mktime(&local), 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path("a.txt").c_str(), times, 0), 0);
  EXPECT_EQ(eval("filedate({a.txt}, true) == #2021-06-15 12:34:56#"), "s:true");
  // Creation (or status change) time: now, not the modification time set above.
  EXPECT_EQ(eval("filedate({a.txt}) > #2024-01-01# and filedate({a.txt}, false) == filedate({a.txt})"), "s:true");
  EXPECT_EQ(eval("isnull(filedate({none.txt})) and isnull(filedate(null))"), "s:true");
}

TEST_F(System, ExecuteReturnsExitCodesAndEncodesFailures) {
  const struct {
    const char *program;
    const char *expected;
  } cases[] = {
      {"execute('/bin/sh', '-c', 'exit 3')", "s:3"},
      {"execute('sh', '-c', 'exit 0')", "s:0"},
      {"execute('/no/such/program')", "s:-102"},  // -100 - ENOENT
      {"execute('no-such-program-anywhere')", "s:-102"},
      {"execute('/bin/sh', '-c', '[ -z \"$1\" ] && exit 7; exit 1', 'zero', null)", "s:7"},
      {"execute('/bin/sh', '-c', 'kill -9 $$')", "s:-203"},  // ended by a signal
      {"isnull(execute(null))", "s:true"},
  };
  for (const auto &c : cases) EXPECT_EQ(eval(c.program), c.expected) << c.program;
}

TEST_F(System, SleepReturnsTrueAndShortDurationsReturnAtOnce) {
  EXPECT_EQ(eval("sleep(0) & sleep(-5) & sleep(-9223372036854775807) & isnull(sleep(null))"), "s:truetruetruetrue");
  EXPECT_EQ(eval("sleep(20)"), "s:true");
}

// Runs `program`, cancelling it from another thread after 300 ms; *waited is how long the run took.
Outcome run_cancelled(const Compiled &program, std::chrono::steady_clock::duration *waited) {
  auto started = std::chrono::steady_clock::now();
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    exp_cancel_execution(program.get());
  });
  Outcome o = program.run();
  canceller.join();
  *waited = std::chrono::steady_clock::now() - started;
  return o;
}

TEST_F(System, CancellingFromAnotherThreadEndsALongSleep) {
  Compiled program(e(), "sleep(60000)");
  std::chrono::steady_clock::duration waited;
  Outcome o = run_cancelled(program, &waited);
  EXPECT_EQ(o.rc, 104);
  EXPECT_EQ(o.message, "User interrupt");
  EXPECT_LT(waited, std::chrono::seconds(5));  // one 2000 ms slice, with slack for a loaded machine
}

TEST_F(System, CancellingTheHostsProgramEndsASleepInsideAUserDefinedFunction) {
  exp_pcode *napper = nullptr;
  ASSERT_EQ(exp_make_pcode(e(), "sleep(60000)", &napper, EXP_BOOLEAN, 0, 0, "napper"), 0);
  {
    Compiled program(e(), "napper()");
    std::chrono::steady_clock::duration waited;
    Outcome o = run_cancelled(program, &waited);
    EXPECT_EQ(o.rc, 104);
    EXPECT_LT(waited, std::chrono::seconds(5));  // one 2000 ms slice, not the whole minute
  }
  EXPECT_EQ(exp_free_pcode(e(), napper), 0);
}

int g_handler_calls = 0;
int count_and_continue(exp_engine *) { return ++g_handler_calls, 0; }
int stop_at_once(exp_engine *) { return 1; }

TEST_F(System, SleepAsksTheInterruptHandlerAfterEverySlice) {
  g_handler_calls = 0;
  exp_set_interrupt_hndlr(e(), count_and_continue);
  EXPECT_EQ(eval("sleep(2050)"), "s:true");
  EXPECT_EQ(g_handler_calls, 2);  // after 2000 ms and after the remaining 50 ms
  exp_set_interrupt_hndlr(e(), stop_at_once);
  Outcome o = run(e(), "sleep(10)");
  EXPECT_EQ(o.rc, 104);
  EXPECT_EQ(o.message, "User interrupt");
}

TEST_F(System, UserNameIsTheEffectiveUser) {
  std::string name = eval("username()");
  ASSERT_GT(name.size(), 2u);
  char expected[256];
  np_osinf_user(expected, sizeof expected);
  EXPECT_EQ(name, std::string("s:") + expected);
}

// The process id sits in the low 22 bits of an identifier; an engine that denies the process
// group gets identifiers that do not show it, and still never repeat.
TEST_F(System, UniqueIdsKeepTheProcessIdFromEnginesThatDenyProcesses) {
  static constexpr std::string_view kDigits = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";
  const auto pid_bits = [](const std::string &id) {
    uint64_t low = 0;
    for (char c : id.substr(id.size() - 5)) low = low * 32 + kDigits.find(c);  // the last 25 bits
    return low & ((1u << 22) - 1);
  };
  const uint64_t pid = static_cast<uint64_t>(::getpid()) & ((1u << 22) - 1);
  ASSERT_EQ(pid_bits(eval("uniqueid()").substr(2)), pid) << "shown where processes are allowed";
  ASSERT_EQ(exp_set_capabilities(e(), EXP_CAP_ALL & ~EXP_CAP_PROCESS), 0);
  std::set<std::string> seen;
  int showing = 0;
  for (int k = 0; k < 2000; ++k) {
    std::string id = eval("uniqueid()").substr(2);
    ASSERT_EQ(id.size(), NP_UNIQ_LENGTH);
    showing += pid_bits(id) == pid;
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 2000u);
  EXPECT_LT(showing, 3) << "an enciphered id shows the process id only by chance";
}

TEST_F(System, UniqueIdsNeverRepeatAcrossCallsAndProcesses) {
  EXPECT_EQ(eval("len(uniqueid()) & (uniqueid() == uniqueid())"), "s:16false");
  int channel[2];
  ASSERT_EQ(::pipe(channel), 0);
  constexpr int kEach = 20000;
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    char id[NP_UNIQ_LENGTH + 1];
    for (int k = 0; k < kEach; ++k) {
      np_uniq_s64(id);
      if (::write(channel[1], id, NP_UNIQ_LENGTH) != static_cast<ssize_t>(NP_UNIQ_LENGTH)) ::_exit(1);
    }
    ::_exit(0);
  }
  ::close(channel[1]);
  std::set<std::string> seen;
  char id[NP_UNIQ_LENGTH + 1];
  for (int k = 0; k < kEach; ++k) {
    np_uniq_s64(id);
    EXPECT_EQ(std::string(id).find_first_not_of("0123456789ABCDEFGHJKMNPQRSTVWXYZ"), std::string::npos);
    seen.insert(id);
  }
  std::string theirs;
  char chunk[4096];
  for (ssize_t n; (n = ::read(channel[0], chunk, sizeof chunk)) > 0;) theirs.append(chunk, static_cast<size_t>(n));
  ::close(channel[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_EQ(theirs.size(), kEach * NP_UNIQ_LENGTH);
  for (size_t at = 0; at < theirs.size(); at += NP_UNIQ_LENGTH) seen.insert(theirs.substr(at, NP_UNIQ_LENGTH));
  EXPECT_EQ(seen.size(), 2u * kEach);
}

}  // namespace
