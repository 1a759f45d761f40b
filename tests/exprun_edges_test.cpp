// End-to-end tests of exprun where data enters and leaves: JSON types, --infer on realistic files,
// dates, cut texts, ragged lines, memory, unreadable lines, UTF-8, empty keys, and the messages
// that name the way out. Each value must pass through exactly, convert exactly, or be reported.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

class ExprunEdges : public ::testing::Test {
 public:
  struct Result {
    int status;
    std::string out, err;
  };
  void SetUp() override {
    char tmpl[] = "/tmp/exprun_edges_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
  std::string file(const std::string &name, const std::string &text) {
    std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  // Runs a shell script in the test's directory; $E is exprun.
  Result shell(const std::string &script, const std::string &input = "") {
    file("stdin.txt", input);
    std::string path = file("script.sh", "E='" + std::string(EXP_BINARY_DIR) + "/tools/exprun/exprun'; cd '" + dir_ +
                                             "'; " + script);
    int rc = std::system(("sh '" + path + "' < '" + dir_ + "/stdin.txt' > '" + dir_ + "/out.txt' 2> '" + dir_ + "/err.txt'").c_str());
    return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, slurp(dir_ + "/out.txt"), slurp(dir_ + "/err.txt")};
  }
  Result run(const std::string &args, const std::string &input = "") { return shell("$E " + args, input); }

  // Runs each case: exit status, the whole output (unless null) and a piece of the errors.
  struct Case {
    std::string args, input;
    int status;
    const char *out;
    std::string err;  // empty: not checked
  };
  void expect(std::initializer_list<Case> cases) {
    for (const Case &c : cases) {
      Result r = run(c.args, c.input);
      EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.err;
      if (c.out) {
        EXPECT_EQ(r.out, c.out) << c.args;
      }
      if (!c.err.empty()) {
        EXPECT_NE(r.err.find(c.err), std::string::npos) << c.args << "\n" << r.err;
      }
    }
  }

 private:
  static std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  std::string dir_;
};

// JSON members keep their JSON type whether the rule assigns them or not; a value of another
// kind in a typed member is an input error naming --field.
TEST_F(ExprunEdges, JsonMembersKeepTheirTypes) {
  std::string late;
  for (int i = 0; i < 1000; ++i) late += "{\"n\": " + std::to_string(i) + ", \"pad\": \"" + std::string(1100, 'x') + "\"}\n";
  file("late.jsonl", late + "{\"n\": \"4\"}\n");
  file("member.jsonl", late + "{\"n\": 4, \"z\": [true]}\n");
  expect({
      // A member first seen after the window: carried to JSON, refused for CSV unless not wanted.
      {"--exclude pad -e 'n' member.jsonl | tail -n 1", "", 0, "{\"n\": 4, \"result\": \"4\", \"z\": [true]}\n", ""},
      {"--ocsv --exclude pad -e 'n' member.jsonl", "", 3, nullptr,
       "record 1001 (input line 1001): input error: the member \"z\" is not among the columns"},
      {"--ocsv --output n -e 'n' member.jsonl | tail -n 1", "", 0, "4\n", ""},
      {"--ijsonl --field k:real -e 1", "{\"k\":\"12.50\",\"t\":\"10E0\"}\n", 0, "{\"k\": \"12.50\", \"t\": \"10E0\", \"result\": \"1\"}\n",
       ""},
      {"--ijsonl --infer --on-error null -e 'len(s)'", "{\"t\":\"10E0\",\"s\":\"ab\"}\n", 0,
       "{\"t\": \"10E0\", \"s\": \"ab\", \"result\": \"2\"}\n", ""},
      {"--ijsonl --no-result -e 'ccc = ccc + 1; m = not m; s = s & \"!\"'",
       "{\"ccc\":0,\"m\":true,\"s\":\"1\"}\n{\"ccc\":2.50,\"m\":false,\"s\":null}\n", 0,
       "{\"ccc\": 1, \"m\": false, \"s\": \"1!\"}\n{\"ccc\": 3.5, \"m\": true, \"s\": \"!\"}\n", ""},
      {"--ijsonl --infer-integers -e 'typeof(n) & typeof(x)'", "{\"n\":3,\"x\":1.5}\n", 0,
       "{\"n\": 3, \"x\": 1.5, \"result\": \"integerreal\"}\n", ""},
      {"--ijsonl --output result -e 'n + 1' late.jsonl", "", 3, nullptr,
       "record 1001 (input line 1001): input error: column 'n': '4' is a JSON string, but the column holds JSON numbers in "
       "its first records (declare --field n:string"},
      // An empty key is valid JSON: it passes through and is not a symbol.
      {"--ijsonl -e 'a * 2'", "{\"\":0,\"a\":1}\n", 0, "{\"\": 0, \"a\": 1, \"result\": \"2\"}\n", ""},
      {"--ijsonl -e 'a'", "{\"a\":1,\"a\":2}\n", 3, "", "the member \"a\" appears twice"},
  });
}

// A realistic file: codes with leading zeros, a column blank in the sample, a column numeric for
// 1,326 records and then text, and --infer on a rule that reads only the name.
TEST_F(ExprunEdges, InferLooksOnlyAtTheColumnsTheProgramReads) {
  std::string csv = "name,admin1,code,blank,pop,lat\n";
  for (int i = 0; i < 3000; ++i) {
    std::string admin1 = i < 1326 ? std::to_string(i % 40) : "CUB";
    char code[8];
    std::snprintf(code, sizeof code, "%03d", i % 1000);
    csv += "City " + std::to_string(i) + "," + admin1 + "," + code + "," + (i > 2500 ? "x" : "") + "," +
           std::to_string(1000 + i * 7) + "," + std::to_string(i % 90) + ".25\n";
  }
  file("cities.csv", csv);
  Result r = run("--infer -e 'upper(name)' cities.csv");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("\nCity 2999,CUB,999,x,21993,29.25,CITY 2999\n"), std::string::npos);
  Result types = run("--infer --verbose -e 'typeof(code) & \" \" & typeof(blank) & \" \" & typeof(pop) & \" \" & typeof(lat)' "
                     "--output result cities.csv");
  EXPECT_EQ(types.status, 0) << types.err;
  EXPECT_NE(types.out.find("\nstring string real real\n"), std::string::npos) << types.out.substr(0, 200);
  EXPECT_NE(types.err.find("column 'pop': real (inferred from 3,000 record(s))"), std::string::npos) << types.err;
}

// Dates are ISO 8601 unless --date-format gives their form, which then is used both ways.
TEST_F(ExprunEdges, DatesReadExactlyTheirForm) {
  expect({
      {"--field d:date -e 'd'", "d\n2024-03-07\n07.03.2024\n", 3, "d,result\n2024-03-07,2024-03-07 00:00:00\n",
       "column 'd': '07.03.2024' is not an ISO 8601 date (YYYY-MM-DD, with hh:mm:ss when it has a time): give the column's "
       "form with --date-format"},
      {"--field d:date --no-result -e 'd = d + 1'", "d\n2024-03-07T10:30:00\n2024-03-07 10:30:00.5\n", 0,
       "d\n2024-03-08 10:30:00\n2024-03-08 10:30:00.500\n", ""},
      {"--field d:date --date-format DD.MM.YYYY --no-result -e 'd = d + 1'", "d\n07.03.2024\n13.03.2024\n", 0,
       "d\n08.03.2024\n14.03.2024\n", ""},
      {"--field d:date --date-format DD/MM/YYYY -e 'd'", "d\n2024-03-07\n", 3, "d,result\n",
       "does not have the form of --date-format 'DD/MM/YYYY'"},
      {"--date-format DD.MM.YYYY --no-result -e 'date e; e = todate(\"2024-03-07 10:30:00\")'", "x\n1\n", 0,
       "x,e\n1,07.03.2024\n", "1 date(s) had a time of day that --date-format 'DD.MM.YYYY' does not write"},
  });
  // What --date-format writes, the same flag reads back.
  for (const char *form : {"DD/MM/YYYY", "YYYY/MM/DD", "DD.MM.YYYY", "YYYYMMDD", "DD MMM YYYY", "MMMM DD, YYYY hh:mm"}) {
    Result r = shell(std::string("$E --date-format '") + form + "' --no-result -e 'date d; d = todate(\"1958-03-29 14:05:00\")' | "
                     "$E --date-format '" + form + "' --field d:date --output r -e 'string r; r = tostring(d)'",
                     "x\n1\n");
    EXPECT_EQ(r.status, 0) << form << "\n" << r.err;
    EXPECT_NE(r.out.find("1958-03-29"), std::string::npos) << form << "\n" << r.out;
  }
}

// A string cut to its declared length is reported once per variable at the end.
TEST_F(ExprunEdges, CutTextsAreReported) {
  std::string csv = "id,translations\n";
  for (int i = 0; i < 5; ++i) csv += std::to_string(i) + "," + std::string(i < 3 ? 300 : 20, 'a' + i) + "\n";
  Result r = run("--no-result -e 'string t; string(400) u; t = translations; u = t & translations'", csv);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("exprun: warning: t was cut to 255 characters in 3 records; declare string(n)"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("u was cut to 400 characters in 3 records"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("translations"), std::string::npos) << "a column bound by exprun is never cut: " << r.err;
}

// Ragged lines: refused without the flag; with it, short lines are padded and long ones keep
// their fields at any record within the window, while a column first seen later is refused.
TEST_F(ExprunEdges, RaggedLinesAtAnyRecord) {
  std::string small = "a,b\n", wide = "a,b\n";
  for (int i = 0; i < 1200; ++i) small += std::to_string(i) + ",x\n", wide += std::to_string(i) + "," + std::string(1000, 'x') + "\n";
  small += "1,2,3\n";
  wide += "1,2,3\n";
  file("small.csv", small);
  file("wide.csv", wide);
  expect({
      {"-e 'a' small.csv", "", 3, nullptr, "record 1201 (input line 1202): input error: the line has 3 fields, the header 2"},
      {"-e 'a'", "a,b\n1\n", 3, "a,b,result\n", "the line has 1 fields, the header 2"},
      {"--allow-ragged -e 'c3' --output a,c3,result small.csv", "", 0, nullptr, ""},
      {"--allow-ragged -e 'a' wide.csv", "", 3, nullptr,
       "record 1201 (input line 1202): input error: the line has 3 fields, the columns are 2: a column first seen past"},
  });
  Result r = run("--allow-ragged -e 'c3' --output a,c3,result small.csv");
  EXPECT_NE(r.out.find("\n1,3,3\n"), std::string::npos);
}

// Input fields and program values share --max-memory, and the message says what is too long.
TEST_F(ExprunEdges, MaxMemoryCoversInputFields) {
  std::string csv = "a\n" + std::string(3000000, 'x') + "\n";
  file("big.csv", csv);
  expect({
      {"--max-memory 8M -e 'len(a)' big.csv", "", 3, "a,result\n",
       "is 3000000 bytes long: as a value it takes 11.4 MB, more than --max-memory allows (8.0 MB per worker"},
      {"--max-memory 16M --output result -e 'len(a)' big.csv", "", 0, "result\n3000000\n", ""},
  });
}

// --on-error null keeps the text of a JSON line that could not be read.
TEST_F(ExprunEdges, UnreadableLinesKeepTheirText) {
  expect({
      {"--ijsonl --ocsv --on-error null -e 'a'", "{\"a\":1}\n{\"a\":[1,}\n", 0, "a,result,_input\n1,1,\n,,\"{\"\"a\"\":[1,}\"\n",
       ""},
      {"--ijsonl --on-error null -e 1", "{\"_input\":1}\n{bad\n", 0,
       "{\"_input\": 1, \"result\": \"1\"}\n{\"_input\": null, \"result\": null, \"_input_2\": \"{bad\"}\n", ""},
  });
}

// Bytes that are not UTF-8 pass through delimited output as read and are counted.
TEST_F(ExprunEdges, InvalidUtf8IsCounted) {
  expect({
      {"-e 'b'", "a,b\n\xff,1\nok,2\nx\xc3,3\n", 0, "a,b,result\n\xff,1,1\nok,2,2\nx\xc3,3,3\n",
       "warning: 2 value(s) are not valid UTF-8 (the first: -, record 1, column 'a'); they were written as read"},
  });
}

// Messages that name the real cause and the way out.
TEST_F(ExprunEdges, MessagesNameTheCause) {
  std::string long_text;
  for (int i = 0; i < 100; ++i) long_text += "\xc3\xa9";
  expect({
      {"-e 'name'", "{\"name\": {\"common\":\"Aruba\"}, \"area\": 180}\n", 3, "", "read JSON lines with --ijsonl"},
      {"-e 'upper(a)'", "a,b,b,B\n1,2,3,4\n", 0, "a,b,b,B,result\n1,2,3,4,1\n", ""},
      {"-e 'b'", "a,b,b\n1,2,3\n", 3, "",
       "the program uses 'b', but the input has 2 columns of that name (columns 2 and 3; names ignore case)"},
      {"-e 'real total; total = x * 2'", "Total,x\n1,2\n", 2, "",
       "the program declares 'total', which is also the input column 'Total'"},
      {"--fiter -e 1", "", 2, "", "unknown option --fiter; did you mean --filter?"},
      {"--field INVEST:real -e 'invest * 2'", "invest\n1.5\n", 0, "invest,result\n1.5,3\n", ""},
      {"--field x:integer -e x", "x\n" + long_text + "\n", 3, nullptr, "'" + long_text.substr(0, 60) + "...' is not an integer"},
      {"-e 'string s; s = \"日本語\" & +* 2'", "a\n1\n", 2, "", "   | string s; s = \"日本語\" & +* 2\n   |                          ^\n"},
  });
  // Compression is found by its magic bytes; the format by the file's name.
  Result gz = shell("printf 'a,b\\n1,2\\n' | gzip | $E -e 'a & b'");
  EXPECT_EQ(gz.out, "a,b,result\n1,2,12\n") << gz.err;
  Result named = shell("printf '{\"a\":1}\\n' | gzip > in.ndjson.gz; printf 'a\\tb\\n1\\t2\\n' | zstd -q > t.tsv.zst; "
                       "$E -e 'a + 1' in.ndjson.gz; $E -e 'b' t.tsv.zst; $E -e 'b' -o out.jsonl t.tsv.zst; cat out.jsonl");
  EXPECT_EQ(named.out, "{\"a\": 1, \"result\": \"2\"}\na\tb\tresult\n1\t2\t2\n{\"a\": \"1\", \"b\": \"2\", \"result\": \"2\"}\n")
      << named.err;
}

// Every option comes from one table: aliases, an option that sets two others, repeated options,
// a value that is missing, and --help listing every option the table dump names.
TEST_F(ExprunEdges, OptionsComeFromOneTable) {
  expect({
      {"--expr 'a' -j 2", "a\n1\n", 0, "a,result\n1,1\n", ""},
      {"--fs ';' -e 'b'", "a;b\n1;2\n", 0, "a;b;result\n1;2;2\n", ""},
      {"--ifs ';' --ofs tab -e 'b'", "a;b\n1;2\n", 0, "a\tb\tresult\n1\t2\t2\n", ""},
      {"--field a:integer --field b:integer -e 'a + b'", "a,b\n1,2\n", 0, "a,b,result\n1,2,3\n", ""},
      {"-e 1 --lookup", "", 2, "", "--lookup needs NAME=FILE:KEY"},
      {"--jobs 257 -e 1", "", 2, "", "--jobs needs 1 to 256"},
      {"--iso-dates -e 'd' --field d:date --result-type date", "d\n2026-03-07\n", 0, "d,result\n2026-03-07,2026-03-07\n", ""},
  });
  Result table = run("--help-table | python3 -c 'import json, sys; json.load(sys.stdin)' && $E --help-table");
  ASSERT_EQ(table.status, 0) << table.err;
  const Result help = run("--help");
  int listed = 0;
  for (size_t at = table.out.find("{\"name\": \""); at != std::string::npos; at = table.out.find("{\"name\": \"", at + 1)) {
    const size_t begin = at + 10, line_end = table.out.find('\n', at);
    const std::string name = table.out.substr(begin, table.out.find('"', begin) - begin);
    const bool hidden = table.out.substr(at, line_end - at).find("\"section\": \"hidden\"") != std::string::npos;
    EXPECT_EQ(help.out.find(" " + name) != std::string::npos, !hidden) << name;
    ++listed;
  }
  EXPECT_GT(listed, 40);
}

}  // namespace
