// End-to-end tests of the exprun binary: formats, quoting, types, nulls, error policies,
// diagnostics, parallel jobs and the interactive session.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

struct Result {
  int status;
  std::string out, err;
};

std::string slurp(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

class Exprun : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/exprun_test_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

  std::string file(const std::string &name, const std::string &text) {
    std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }

  // Runs exprun with shell-quoted arguments and the given standard input.
  Result run(const std::string &args, const std::string &input = "") {
    std::string in = file("stdin.txt", input);
    std::string cmd = std::string(EXP_BINARY_DIR) + "/tools/exprun/exprun " + args + " < '" + in + "' > '" + dir_ +
                      "/out.txt' 2> '" + dir_ + "/err.txt'";
    int rc = std::system(cmd.c_str());
    return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, slurp(dir_ + "/out.txt"), slurp(dir_ + "/err.txt")};
  }

  std::string dir_;
};

const char kOrders[] =
    "id,name,qty,price\n"
    "1,apple,3,1.10\n"
    "2,\"pear, green\",5,2.20\n"
    "3,\"say \"\"hi\"\"\",,0.5\n";

TEST_F(Exprun, CsvColumnsResultAndDeclaredVariables) {
  Result r = run("--field qty:integer --field price:real -e 'real total; total = qty * price; upper(name)'", kOrders);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "id,name,qty,price,result,total\n"
            "1,apple,3,1.1,APPLE,3.3\n"
            "2,\"pear, green\",5,2.2,\"PEAR, GREEN\",11\n"
            "3,\"say \"\"hi\"\"\",,0.5,\"SAY \"\"HI\"\"\",\n");
}

TEST_F(Exprun, FormatsConvertBothWays) {
  struct Case {
    const char *args;
    const char *input;
    const char *expected;
  } cases[] = {
      {"--ijsonl --ocsv -e 'a & b'", "{\"a\": \"x\", \"b\": 2}\n{\"b\": null, \"a\": \"\\u00e9\"}\n",
       "a,b,result\nx,2,x2\né,,é\n"},
      {"--icsv --ojsonl --field n:integer -e 'n * 2'", "n,s\n4,\"a\tb\"\n,z\n",
       "{\"n\": 4, \"s\": \"a\\tb\", \"result\": \"8\"}\n{\"n\": null, \"s\": \"z\", \"result\": null}\n"},
      {"--tsv -e 'x & \"!\"'", "x\ty\nhi\tthere\n", "x\ty\tresult\nhi\tthere\thi!\n"},
      {"--ifs ';' -e 'b'", "a;b\n1;\"2;3\"\n", "a;b;result\n1;\"2;3\";\"2;3\"\n"},
      {"--implicit-header -e 'c2'", "x,y\n", "c1,c2,result\nx,y,y\n"},
      {"--no-result --output b,a -e 'a = \"z\"'", "a,b\n1,2\n", "b,a\n2,z\n"},
      {"--result-type integer --ojsonl -e '\"7\" + 1'", "a\n1\n", "{\"a\": \"1\", \"result\": 8}\n"},
  };
  for (const Case &c : cases) {
    Result r = run(c.args, c.input);
    EXPECT_EQ(r.status, 0) << c.args << "\n" << r.err;
    EXPECT_EQ(r.out, c.expected) << c.args;
  }
}

TEST_F(Exprun, FieldsOutsideTheColumnsAreReportedOnce) {
  struct Case {
    const char *args;
    const char *input;
    const char *expected, *warning;
  } cases[] = {
      {"--ijsonl --ojsonl -e 'a'", "{\"a\": 1}\n{\"a\": 2, \"b\": 3}\n{\"c\": 4}\n",
       "{\"a\": \"1\", \"result\": \"1\"}\n{\"a\": \"2\", \"result\": \"2\"}\n{\"a\": null, \"result\": null}\n",
       "line 2: member \"b\" is not among the columns"},
      {"-e 'a'", "a,b\n1,2\n3,4,5\n6,7,8,9\n", "a,b,result\n1,2,1\n3,4,3\n6,7,6\n",
       "line 3: the line has 3 fields, the columns are 2"},
  };
  for (const Case &c : cases) {
    Result r = run(c.args, c.input);
    EXPECT_EQ(r.status, 0) << c.args << "\n" << r.err;
    EXPECT_EQ(r.out, c.expected) << c.args;
    EXPECT_NE(r.err.find(c.warning), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("warning"), r.err.rfind("warning")) << "one warning per input: " << r.err;
  }
}

TEST_F(Exprun, ValuesThatDoNotConvertBecomeNull) {
  Result r = run("--field q:integer --field d:date --iso-dates --ojsonl -e 'isnull(q)'", "q,d\nabc,not a date\n12,2026-12-06\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "{\"q\": null, \"d\": null, \"result\": \"true\"}\n"
            "{\"q\": 12, \"d\": \"2026-12-06 00:00:00\", \"result\": \"false\"}\n");
}

TEST_F(Exprun, InferClassifiesColumnsFromASample) {
  Result r = run("--infer --ojsonl -e 'typeof(a) & \" \" & typeof(b) & \" \" & typeof(c)'", "a,b,c\n1,1.5,x\n2,3,y\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\"result\": \"integer real string\""), std::string::npos) << r.out;
}

TEST_F(Exprun, CompileErrorShowsTheLineAndACaret) {
  Result r = run("-e 'integer n\nn = n +* 2'", "a\n1\n");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("compile error 50: Unexpected value"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("<program>:2:8"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("   | n = n +* 2\n   |        ^\n"), std::string::npos) << r.err;
}

TEST_F(Exprun, RunTimeErrorPolicies) {
  const char *input = "d\n2\n0\n4\n";
  Result stop = run("--field d:integer -e 'integer q; q = 8 / d; q'", input);
  EXPECT_EQ(stop.status, 1);
  EXPECT_EQ(stop.out, "d,result,q\n2,4,4\n");
  EXPECT_NE(stop.err.find("record 2 (input line 3): run-time error 101: Divide by zero"), std::string::npos) << stop.err;
  EXPECT_NE(stop.err.find("   | integer q; q = 8 / d; q\n   |                  ^\n"), std::string::npos) << stop.err;

  Result skip = run("--on-error skip --field d:integer -e '8 / d'", input);
  EXPECT_EQ(skip.status, 4);
  EXPECT_EQ(skip.out, "d,result\n2,4\n4,2\n");
  EXPECT_NE(skip.err.find("1 record(s) skipped"), std::string::npos);

  Result null = run("--on-error null --field d:integer -e '8 / d'", input);
  EXPECT_EQ(null.status, 0);
  EXPECT_EQ(null.out, "d,result\n2,4\n0,\n4,2\n");
}

TEST_F(Exprun, TimeoutStopsARunawayRecord) {
  Result r = run("--timeout 0.2 -e 'integer i; while true i = i + 1'", "a\n1\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("error 104: User interrupt"), std::string::npos) << r.err;
}

TEST_F(Exprun, JobsKeepTheOutputIdenticalToOneJob) {
  std::string input = "n,s\n";
  for (int i = 0; i < 10000; ++i) input += std::to_string(i) + ",v" + std::to_string(i % 17) + "\n";
  std::string path = file("big.csv", input);
  const std::string program = "--field n:integer -e 'integer sq; sq = n * n; s & \"-\" & (n % 7)' '" + path + "'";
  Result one = run(program);
  Result four = run("--jobs 4 " + program);
  EXPECT_EQ(one.status, 0) << one.err;
  EXPECT_EQ(four.status, 0) << four.err;
  EXPECT_EQ(one.out.size(), four.out.size());
  EXPECT_TRUE(one.out == four.out);
  EXPECT_NE(one.out.find("\n9999,v3,v3-3,99980001\n"), std::string::npos);
}

TEST_F(Exprun, ErrorsOnBadInvocationAndInput) {
  EXPECT_EQ(run("--frobnicate").status, 2);
  EXPECT_EQ(run("-e 'a' /nonexistent/file.csv").status, 3);
  EXPECT_EQ(run("-e 'a'", "a\n\"unterminated\n").status, 3);
  EXPECT_EQ(run("--output nope -e 'a'", "a\n1\n").status, 2);
  EXPECT_EQ(run("-e 'a'", "").status, 0);
}

TEST_F(Exprun, ReplKeepsDeclarationsBetweenLines) {
  Result r = run("--repl", "integer n\nn = 6\nn * 7\nupper(\"é\")\n1 / 0\nx +\n:quit\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("42\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("É\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("run-time error 101: Divide by zero"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("compile error"), std::string::npos) << r.out;
}

TEST_F(Exprun, DumpAndFunctionList) {
  Result dump = run("--dump -e 'qty * 2'");
  EXPECT_EQ(dump.status, 0) << dump.err;
  EXPECT_NE(dump.out.find("0: Call "), std::string::npos) << dump.out;
  Result functions = run("--functions");
  EXPECT_EQ(functions.status, 0);
  EXPECT_NE(functions.out.find("upper"), std::string::npos);
}

}  // namespace
