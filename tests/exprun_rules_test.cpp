// End-to-end tests of exprun's help for rule authors: warnings with their caret, --strict,
// --function files and --test cases.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

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

class ExprunRules : public ::testing::Test {
 public:
  void SetUp() override {
    char tmpl[] = "/tmp/exprun_rules_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

  void file(const std::string &name, const std::string &text) { std::ofstream(dir_ + "/" + name, std::ios::binary) << text; }

  // Runs exprun in the test's folder with shell-quoted arguments and the given standard input.
  Result run(const std::string &args, const std::string &input = "") {
    file("stdin.txt", input);
    std::string cmd = "cd '" + dir_ + "' && " + std::string(EXP_BINARY_DIR) + "/tools/exprun/exprun " + args +
                      " < stdin.txt > out.txt 2> err.txt";
    int rc = std::system(cmd.c_str());
    return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, slurp(dir_ + "/out.txt"), slurp(dir_ + "/err.txt")};
  }

  std::string dir_;
};

const char kRule[] =
    "real total\n"
    "string status\n"
    "total = vat(qty * unit_price)\n"
    "if total > 100 then status = \"large\" else status = \"small\"\n"
    "total\n";
const char kVat[] = "// the amount with 20% VAT, in cents\nreturn round(parameterreal(1) * 1.2, 2)\n";
const char kFields[] = "--field qty:integer --field unit_price:real --function vat:real=vat.expr -f rule.expr";

TEST_F(ExprunRules, TestCasesListFailuresAndCount) {
  file("rule.expr", kRule);
  file("vat.expr", kVat);
  file("cases.csv",
       "qty,unit_price,expect:result,expect:status,error\n"
       "3,2.50,9.00,small,\n"      // 9.00 equals 9 as a number
       "100,2,240,large,\n"
       "2,1,2.50,small,\n"         // fails: 2.4
       "1,1,1.2,large,\n"          // fails: small
       "1,x,,,\n");                // fails: an input error where none was expected
  Result r = run(std::string(kFields) + " --test cases.csv");
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.out,
            "record 3 (line 4), column expect:result: expected 2.50, got 2.4\n"
            "record 4 (line 5), column expect:status: expected large, got small\n"
            "record 5 (line 6), column error: expected no error, got input error: column 'unit_price': 'x' is not a "
            "real (declare --field unit_price:string to keep the column as text)\n"
            "2 passed, 3 failed\n");
  // Typed comparisons and expected errors, from JSON lines.
  file("cases.jsonl",
       "{\"qty\": 2, \"unit_price\": 2.5, \"expect:total\": 6.000, \"expect:status\": \"small\"}\n"
       "{\"qty\": 0, \"unit_price\": null, \"expect:total\": \"\"}\n"
       "{\"qty\": 1, \"unit_price\": 1, \"expect:total\": \"1.20\"}\n");
  r = run(std::string(kFields) + " --test cases.jsonl");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "3 passed, 0 failed\n");
  file("div.tsv", "d\terror\texpect:result\n0\t101\t\n4\t\t2\n2\t101\t\n");
  r = run("--field d:integer -e '8 / d' --test div.tsv");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "record 3 (line 4), column error: expected error 101, got no error\n2 passed, 1 failed\n");
  // Cases that name what the rule does not have are refused before any runs.
  file("odd.csv", "qty,expect:nothing\n1,1\n");
  r = run("-e 'qty' --test odd.csv");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("expect:nothing names neither the result"), std::string::npos) << r.err;
}

TEST_F(ExprunRules, FunctionFilesAreCompiledForEveryWorker) {
  file("rule.expr", kRule);
  file("vat.expr", kVat);
  std::string input = "qty,unit_price\n";
  for (int i = 1; i <= 300; ++i) input += std::to_string(i) + "," + std::to_string(i % 7) + ".5\n";
  Result one = run(kFields, input);
  Result four = run(std::string(kFields) + " --jobs 4", input);
  EXPECT_EQ(one.status, 0) << one.err;
  EXPECT_EQ(one.out.substr(0, 71), "qty,unit_price,result,total,status\n1,1.5,1.8,1.8,small\n2,2.5,6,6,small\n");
  EXPECT_EQ(four.out, one.out);
  // A function's static state keeps the run on one worker; a column only a function reads is
  // given to the program all the same.
  file("count.expr", "static integer n\nif isnull(n) then n = 0\nn = n + 1\nreturn n & \":\" & unit_price\n");
  Result counted = run("--jobs 4 --function count=count.expr --output result -e 'count()'", input);
  EXPECT_EQ(counted.status, 0) << counted.err;
  EXPECT_NE(counted.out.find("\n300:6.5\n"), std::string::npos) << counted.out.substr(0, 200);
  EXPECT_NE(counted.err.find("running on one worker, not 4"), std::string::npos) << counted.err;
  file("broken.expr", "return parameterreal(1) *\n");
  Result bad = run("--function f=broken.expr -e 'f(qty)'", "qty\n1\n");
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("compile error 10"), std::string::npos);
  EXPECT_NE(bad.err.find("--> broken.expr:1:26\n   | return parameterreal(1) *\n"), std::string::npos) << bad.err;
}

TEST_F(ExprunRules, WarningsShowTheirPlaceAndStrictRefuses) {
  const std::string program = "-e 'real amount\namount = qty unit_price'";
  Result r = run(program, "qty,unit_price\n3,2.50\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "qty,unit_price,result,amount\n3,2.50,2.50,3\n");
  EXPECT_EQ(r.err,
            "exprun: warning: this value is not used; is an operator missing between `qty` and `unit_price`?\n"
            "  --> <program>:2:14\n"
            "   | amount = qty unit_price\n"
            "   |              ^\n");
  Result strict = run("--strict " + program, "qty,unit_price\n3,2.50\n");
  EXPECT_EQ(strict.status, 2);
  EXPECT_EQ(strict.out, "");
  EXPECT_NE(strict.err.find("--strict: 1 warning counts as errors"), std::string::npos) << strict.err;
  EXPECT_EQ(run("--strict " + program).status, 2);  // also without any record
  EXPECT_EQ(run("--strict -e 'qty * unit_price'", "qty,unit_price\n3,2.50\n").status, 0);
}

TEST_F(ExprunRules, ObjectsAreNoOutputColumns) {
  Result r = run("-e 'regex r; string array parts; r.compile(\"b+\"); aparse(a, \",\", parts); r.findfirst(a)'",
                 "a\nabc\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "a,result\nabc,true\n");
}

}  // namespace
