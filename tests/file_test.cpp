// The file class through compiled programs, checked against the bytes on disk.
#include <gtest/gtest.h>

#include <string>

#include "common/classes_util.h"

namespace {

using classtest::ClassTest;
using classtest::Outcome;
using classtest::quoted;
using classtest::run;
using classtest::value_of;

class File : public ClassTest {
 protected:
  // The value of `body` after `file f;` with every {p} replaced by the quoted path of `name`.
  std::string eval(const std::string &body, const std::string &name = "data.txt") {
    return value_of(e(), "file f; file g; " + with_path(body, name));
  }
  Outcome outcome(const std::string &body, const std::string &name = "data.txt") {
    return run(e(), "file f; file g; " + with_path(body, name));
  }
  std::string with_path(std::string body, const std::string &name) const {
    for (size_t at = body.find("{p}"); at != std::string::npos; at = body.find("{p}"))
      body.replace(at, 3, quoted(path(name)));
    return body;
  }
};

TEST_F(File, WritingCreatesAndAppendingExtends) {
  EXPECT_EQ(eval(R"(f.open({p}, "w") & f.writeline("one") & f.writeline("") & f.close())"), "s:truetruetruetrue");
  EXPECT_EQ(read_file("data.txt"), "one\r\n\r\n");
  EXPECT_EQ(eval(R"(f.open({p}, "a"); f.writeline("two"); f.position())"), "s:12");
  EXPECT_EQ(read_file("data.txt"), "one\r\n\r\ntwo\r\n");
  // Writing does not truncate: "w" overwrites from the start and keeps the rest.
  EXPECT_EQ(eval(R"(f.open({p}, "w"); f.writeline("ONE"))"), "s:true");
  EXPECT_EQ(read_file("data.txt"), "ONE\r\n\r\ntwo\r\n");
}

TEST_F(File, OpenFailuresAreFalseAndLeaveTheVariableNull) {
  EXPECT_EQ(eval(R"(f.open({p}))", "missing.txt"), "s:false");
  EXPECT_EQ(eval(R"(f.open({p}, "r"))", "missing.txt"), "s:false");
  EXPECT_EQ(eval(R"(f.open({p}, ""))", "missing.txt"), "s:false");
  EXPECT_EQ(eval(R"(f.open({p}))", ""), "s:false");  // the directory itself
  EXPECT_EQ(eval(R"(isnull(f.open(null)))"), "s:true");
  Outcome o = outcome(R"(f.open({p}); f.readline())", "missing.txt");
  EXPECT_EQ(o.rc, 102);
  EXPECT_EQ(o.message, "Error in function: File not open");
  EXPECT_EQ(eval(R"(f.close())"), "s:false");
}

TEST_F(File, ReadLineStripsLineEndsAndEndsWithNull) {
  write_file("data.txt", "first\r\n\r\nthird\nlast");
  EXPECT_EQ(eval(R"(f.open({p}); f.readline() & "|" & f.readline() & "|" & f.readline() & "|" & f.readline() & "|" & isnull(f.readline()))"),
            "s:first||third|last|true");
}

TEST_F(File, ReadLineReturnsLongLinesIn1024BytePieces) {
  std::string line(1500, 'x');
  write_file("data.txt", line + "\nnext\n");
  EXPECT_EQ(eval(R"(f.open({p}); len(f.readline()) & "/" & len(f.readline()) & "/" & f.readline())"),
            "s:1024/476/next");
}

TEST_F(File, BlocksRoundTripByteForByteWithZeroBytes) {
  std::string bytes("ab\0cd\0\xff\x01z", 9);
  write_file("in.bin", bytes);
  std::string program = "string(64) buf; integer n; f.open(" + quoted(path("in.bin")) + "); n = f.readbytes(100, buf); g.open(" +
                        quoted(path("out.bin")) + ", \"w\"); n & \"/\" & g.writebytes(n, buf)";
  EXPECT_EQ(value_of(e(), "file f; file g; " + program), "s:9/9");
  EXPECT_EQ(read_file("out.bin"), bytes);
}

TEST_F(File, ReadBytesIsBoundedByTheBuffer) {
  write_file("data.txt", std::string(100, 'q'));
  const struct {
    const char *body;
    const char *expected;
  } cases[] = {
      {R"(string(10) b; f.open({p}); f.readbytes(100, b) & "/" & len(b))", "s:10/10"},
      {R"(string(10) b; f.open({p}); f.readbytes(9223372036854775807, b) & "/" & f.position())", "s:10/10"},
      {R"(string(10) b; b = "keep"; f.open({p}); f.readbytes(0, b) & "/" & b)", "s:0/keep"},
      {R"(string(10) b; f.open({p}); isnull(f.readbytes(null, b)))", "s:true"},
      {R"(string(10) b; b = "old"; f.open({p}); f.seekend(0); f.readbytes(5, b) & "/" & isnull(b) & "[" & b & "]")",
       "s:0/false[]"},
      {R"(string(10) b; b = "abc"; f.open({p}, "rw"); f.writebytes(-1, b) & "/" & isnull(f.writebytes(null, b)))",
       "s:0/true"},
  };
  for (const auto &c : cases) EXPECT_EQ(eval(c.body), c.expected) << c.body;
}

TEST_F(File, SeeksMoveTheSharedPosition) {
  write_file("data.txt", "0123456789");
  const struct {
    const char *body;
    const char *expected;
  } cases[] = {
      {R"(f.open({p}); f.seekend(0); f.position())", "s:10"},
      {R"(f.open({p}); f.seekend(-3); f.readline())", "s:789"},
      {R"(f.open({p}); f.seekbegin(4); f.seekcurrent(2); f.readline())", "s:6789"},
      {R"(f.open({p}); f.seekbegin(4); f.seekbegin(0) & f.position())", "s:true0"},
      {R"(f.open({p}); f.seekbegin(-1) & f.position())", "s:false0"},
      {R"(f.open({p}); isnull(f.seekbegin(null)))", "s:true"},
      // Positions are 64-bit.
      {R"(f.open({p}); f.seekbegin(5000000000); f.position())", "s:5000000000"},
  };
  for (const auto &c : cases) EXPECT_EQ(eval(c.body), c.expected) << c.body;
}

TEST_F(File, AssignedVariablesShareTheOpenFile) {
  write_file("data.txt", "a\nb\n");
  EXPECT_EQ(eval(R"(f.open({p}); f.readline(); g = f; f.close(); g.readline())"), "s:b");
  EXPECT_EQ(eval(R"(f.open({p}); g = f; f.readline() & g.readline())"), "s:ab");
}

}  // namespace
