// Mainframe number fields through compiled programs: every byte layout written by a format…
// function and read back by its reader, the saturation and truncation rules, and every error text.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "common/builtin_run.h"

namespace {

using Bytes = std::vector<unsigned char>;

class MainframeTest : public builtin_run::BuiltinTest {
 protected:
  void SetUp() override {
    BuiltinTest::SetUp();
    field_ = symbol("f", EXP_STRING, 16);
    out_ = symbol("out", EXP_STRING, 16);
    short_ = symbol("short", EXP_STRING, 2);
    exp_symval_setstr(out_, "x");
    exp_symval_setdbl(symbol("big", EXP_REAL), 1e30);
  }
  static void put(exp_symval *c, const Bytes &b) {
    std::memset(c->value.s, 0, c->len);
    std::memcpy(c->value.s, b.data(), b.size());
  }
  static Bytes bytes(const exp_symval *c, size_t n) {
    const auto *p = reinterpret_cast<const unsigned char *>(c->value.s);
    return Bytes(p, p + n);
  }
  exp_symval *field_ = nullptr;
  exp_symval *out_ = nullptr;
  exp_symval *short_ = nullptr;
};

struct Layout {
  const char *write;  // a format… call that fills `out`
  Bytes bytes;        // what it writes; its width is the call's result
  const char *read;   // a reader of `out`
  const char *value;  // what the reader gives
};

void check_layouts(exp_symval *out, const std::vector<Layout> &rows,
                   const std::function<std::string(const std::string &, int)> &run) {
  for (const Layout &row : rows) {
    SCOPED_TRACE(row.write);
    std::memset(out->value.s, 0xAA, out->len);
    EXPECT_EQ(run(row.write, EXP_INTEGER), "i:" + std::to_string(row.bytes.size()));
    const auto *p = reinterpret_cast<const unsigned char *>(out->value.s);
    EXPECT_EQ(Bytes(p, p + row.bytes.size()), row.bytes);
    EXPECT_FALSE(EXP_IS_NULL(out));
    EXPECT_EQ(run(row.read, EXP_STRING), std::string("s:") + row.value) << row.read;
  }
}

TEST_F(MainframeTest, PictureLayoutsWrittenAndReadBack) {
  auto run_fn = [this](const std::string &text, int type) { return run(text, type); };
  check_layouts(out_,
                {
                    {R"~(formatpiccomp(12345, "9(4)", out))~", {0x39, 0x30}, R"~(piccomp(out, "9(4)"))~", "12345"},
                    {R"~(formatpiccomp(-1, "S9(4)", out))~", {0xFF, 0xFF}, R"~(piccomp(out, "S9(4)"))~", "-1"},
                    {R"~(formatpiccomp(-1000, "S9(4)", out))~", {0x18, 0xFC}, R"~(piccomp(out, "S9(4)"))~", "-1000"},
                    {R"~(formatpiccomp5(123456.78, "S9(7)V99", out))~", {0x4E, 0x61, 0xBC, 0x00},
                     R"~(piccomp5(out, "S9(7)V99"))~", "123456.78"},
                    {R"~(formatpiccomp(67305985, "9(12)", out))~", {1, 2, 3, 4, 0, 0, 0, 0},
                     R"~(piccomp(out, "9(12)"))~", "67305985"},
                    {R"~(formatpiccomp(-9.5, "S9(17)V9", out))~", {0xA1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
                     R"~(piccomp(out, "S9(17)V9"))~", "-9.5"},
                    // The fraction is dropped at scale 0 and rounded when scaled.
                    {R"~(formatpiccomp(2.7, "9(4)", out))~", {0x02, 0x00}, R"~(piccomp(out, "9(4)"))~", "2"},
                    {R"~(formatpiccomp(2.75, "9(3)V9", out))~", {0x1C, 0x00}, R"~(piccomp(out, "9(3)V9"))~", "2.8"},
                    // Negative values mirror positive ones.
                    {R"~(formatpiccomp(-2.7, "S9(4)", out))~", {0xFE, 0xFF}, R"~(piccomp(out, "S9(4)"))~", "-2"},
                    {R"~(formatpiccomp(-1.5, "S9(3)V9", out))~", {0xF1, 0xFF}, R"~(piccomp(out, "S9(3)V9"))~", "-1.5"},
                    {R"~(formatpiccomp(-2.75, "S9(3)V9", out))~", {0xE4, 0xFF}, R"~(piccomp(out, "S9(3)V9"))~", "-2.8"},
                    {R"~(formatpiccomp(-98765, "S9(7)V99", out))~", {0xEC, 0x4B, 0x69, 0xFF},
                     R"~(piccomp(out, "S9(7)V99"))~", "-98765"},
                    {R"~(formatpiccomp(-0.3, "S9(4)", out))~", {0x00, 0x00}, R"~(piccomp(out, "S9(4)"))~", "0"},
                    {R"~(formatpiccomp(-0.06, "S9(3)V9", out))~", {0xFF, 0xFF}, R"~(piccomp(out, "S9(3)V9"))~", "-0.1"},
                    // Packed decimal.
                    {R"~(formatpiccomp3(-123.45, "S9(5)V99", out))~", {0x00, 0x12, 0x34, 0x5D},
                     R"~(piccomp3(out, "S9(5)V99"))~", "-123.45"},
                    {R"~(formatpiccomp3(-123.45, "9(5)V99", out))~", {0x00, 0x12, 0x34, 0x5F},
                     R"~(piccomp3(out, "S9(5)V99"))~", "123.45"},
                    {R"~(formatpiccomp3(123.45, "S9(5)V99", out))~", {0x00, 0x12, 0x34, 0x5C},
                     R"~(piccomp3(out, "S9(5)V99"))~", "123.45"},
                    {R"~(formatpiccomp3(123456, "S9(3)", out))~", {0x45, 0x6C}, R"~(piccomp3(out, "S9(3)"))~", "456"},
                    {R"~(formatpiccomp3(7, "9", out))~", {0x7F}, R"~(piccomp3(out, "9"))~", "7"},
                    // Zoned decimal: ASCII and EBCDIC zones, trailing and leading signs.
                    {R"~(formatpicsigndec(-123, "S9(5)", out))~", {'0', '0', '1', '2', 0x73},
                     R"~(picsigndec(out, "S9(5)"))~", "-123"},
                    {R"~(formatpicsigndec(-123, "S9(5)", out, true))~", {0xF0, 0xF0, 0xF1, 0xF2, 0xD3},
                     R"~(picsigndec(out, "S9(5)", true))~", "-123"},
                    {R"~(formatpicsigndec(123, "S9(5)", out, true))~", {0xF0, 0xF0, 0xF1, 0xF2, 0xC3},
                     R"~(picsigndec(out, "S9(5)", true))~", "123"},
                    {R"~(formatpicsigndec(-123, "S9(5)", out, false, false))~", {0x70, '0', '1', '2', '3'},
                     R"~(picsigndec(out, "S9(5)", false, false))~", "-123"},
                    {R"~(formatpicsigndec(123, "S9(5)", out))~", {'0', '0', '1', '2', '3'},
                     R"~(picsigndec(out, "S9(5)"))~", "123"},
                    {R"~(formatpicsigndec(-1.25, "S9V99", out))~", {'1', '2', 0x75}, R"~(picsigndec(out, "S9V99"))~",
                     "-1.25"},
                    // More digits than the field: the low-order digits are kept.
                    {R"~(formatpicsigndec(1234567, "S9(5)", out))~", {'3', '4', '5', '6', '7'},
                     R"~(picsigndec(out, "S9(5)"))~", "34567"},
                    {R"~(formatpicsigndec(42, "9(4)", out, true))~", {0xF0, 0xF0, 0xF4, 0xF2},
                     R"~(picsigndec(out, "9(4)", true))~", "42"},
                },
                run_fn);
}

TEST_F(MainframeTest, BinarySaturatesAtTheFieldLimits) {
  auto run_fn = [this](const std::string &text, int type) { return run(text, type); };
  check_layouts(out_,
                {
                    {R"~(formatpiccomp(40000, "S9(4)", out))~", {0xFF, 0x7F}, R"~(piccomp(out, "S9(4)"))~", "32767"},
                    {R"~(formatpiccomp(-40000, "S9(4)", out))~", {0x00, 0x80}, R"~(piccomp(out, "S9(4)"))~", "-32768"},
                    {R"~(formatpiccomp(-32768, "S9(4)", out))~", {0x00, 0x80}, R"~(piccomp(out, "S9(4)"))~", "-32768"},
                    {R"~(formatpiccomp(-5, "9(4)", out))~", {0xFF, 0xFF}, R"~(piccomp(out, "9(4)"))~", "65535"},
                    {R"~(formatpiccomp(70000, "9(4)", out))~", {0xFF, 0xFF}, R"~(piccomp(out, "9(4)"))~", "65535"},
                    {R"~(formatpiccomp(big, "S9(18)", out))~", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F},
                     R"~(piccomp(out, "S9(18)"))~", "9223372036854776000"},  // doubles carry 53 bits
                    {R"~(formatpiccomp(big, "9(18)", out))~", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
                     R"~(piccomp(out, "9(18)"))~", "18446744073709552000"},
                    {R"~(formatib(40000, "2", out))~", {0xFF, 0x7F}, R"~(ib(out, "2"))~", "32767"},
                    {R"~(formatib(70000, "2", out))~", {0xFF, 0x7F}, R"~(ib(out, "2"))~", "32767"},
                    {R"~(formatib(-70000, "2", out))~", {0x00, 0x80}, R"~(ib(out, "2"))~", "-32768"},
                },
                run_fn);
}

TEST_F(MainframeTest, WidthAndDecimalsLayoutsWrittenAndReadBack) {
  auto run_fn = [this](const std::string &text, int type) { return run(text, type); };
  check_layouts(out_,
                {
                    {R"~(formatib(12345, "4.0", out))~", {0x39, 0x30, 0x00, 0x00}, R"~(ib(out, "4.0"))~", "12345"},
                    {R"~(formats370fib(123.45, "4.2", out))~", {0x00, 0x00, 0x30, 0x39}, R"~(s370fib(out, "4.2"))~",
                     "123.45"},
                    {R"~(formats370fib(-2, "4", out))~", {0xFF, 0xFF, 0xFF, 0xFE}, R"~(s370fib(out, "4"))~", "-2"},
                    {R"~(formatib(-1, "1", out))~", {0xFF}, R"~(ib(out, "1"))~", "-1"},
                    {R"~(formatib(-123.456, "4.2", out))~", {0xC6, 0xCF, 0xFF, 0xFF}, R"~(ib(out, "4.2"))~",
                     "-123.46"},
                    {R"~(formatpd(-12.34, "3.2", out))~", {0x80, 0x12, 0x34}, R"~(pd(out, "3.2"))~", "-12.34"},
                    {R"~(formatpd(12345, "2.0", out))~", {0x00, 0x45}, R"~(pd(out, "2.0"))~", "45"},
                    {R"~(formatpd(7, "1", out))~", {0x00}, R"~(pd(out, "1"))~", "0"},
                    {R"~(formats370fpd(-12.3, "2.1", out))~", {0x12, 0x3D}, R"~(s370fpd(out, "2.1"))~", "-12.3"},
                    {R"~(formats370fpd(12.3, "2.1", out))~", {0x12, 0x3C}, R"~(s370fpd(out, "2.1"))~", "12.3"},
                    {R"~(formats370fpd(1234567, "3", out))~", {0x34, 0x56, 0x7C}, R"~(s370fpd(out, "3"))~", "34567"},
                },
                run_fn);
}

// Readings the round trips above do not cover: defaults without a format, sign codes the writers
// never produce, unvalidated nibbles, and the widest packed field.
TEST_F(MainframeTest, ReadersOfGivenBytes) {
  struct Row {
    Bytes bytes;
    const char *read;
    const char *value;
  };
  const Row rows[] = {
      {{0x01, 0x02, 0x03, 0x04}, "piccomp(f)", "s:67305985"},
      {{0x00, 0x12, 0x34, 0x5F}, R"~(piccomp3(f, "S9(5)V99"))~", "s:123.45"},
      {{0x00, 0x12, 0x34, 0xFD}, R"~(piccomp3(f, "S9(5)V99"))~", "s:-123.55"},  // last high nibble not checked
      {{0x00, 0x01, 0x23, 0x4C}, "piccomp3(f)", "s:1234"},                    // no picture: unsigned
      {{'0', '0', '1', '2', 's'}, R"~(picsigndec(f, "S9(5)"))~", "s:-123"},
      {{'1', '2', '3', 't'}, "picsigndec(f)", "s:-1234"},
      {{0xF1, 0xF2, 0xF3, 0xB4}, R"~(picsigndec(f, "S9(4)", true))~", "s:-1234"},  // odd EBCDIC zone
      {{0x39, 0x30, 0x00, 0x00}, "ib(f)", "s:12345"},
      {{0x80, 0x12, 0x34}, "pd(f)", "s:0"},
      {{0x12, 0x3C}, R"~(s370fpd(f, "2.1"))~", "s:12.3"},
      {{0x12, 0x3F}, R"~(s370fpd(f, "2.1"))~", "s:12.3"},
      {{0x12, 0x3B}, R"~(s370fpd(f, "2.1"))~", "s:-12.3"},
      {{0x12, 0x3A}, R"~(s370fpd(f, "2.1"))~", "s:12.3"},
      {{0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x9C},
       R"~(s370fpd(f, "16"))~", "s:10000000000000000000000000000000"},  // 31 nines, rounded once
  };
  for (const Row &row : rows) {
    put(field_, row.bytes);
    EXPECT_EQ(run(row.read, EXP_STRING), row.value) << row.read;
  }
}

struct ErrorRow {
  const char *text;
  int rc;  // what the run ends with: 0, or 3, the number exp_error_info reports (never -1)
  const char *message;
};

TEST_F(MainframeTest, EveryErrorText) {
  put(field_, {0xA1, 0x00, 0x00, 0x0C});
  const ErrorRow rows[] = {
      {R"~(piccomp(f, "9(32)"))~", 3, "the number of 9's exceeds 31"},
      {R"~(piccomp(f, "99999999999999999999999999999999"))~", 3, "the number of 9's exceeds 31"},
      {R"~(piccomp(f, "9(99999999999)"))~", 3, "the number of 9's exceeds 31"},
      {R"~(piccomp(f, "9(3)9"))~", 3, "expecting 'V'"},
      {R"~(piccomp(f, "9V"))~", 3, "expecting a 9"},
      {R"~(piccomp(f, "9(3"))~", 3, "expecting a ')' or a digit"},
      {R"~(piccomp(f, "9(a)"))~", 3, "expecting a ')' or a digit"},
      {R"~(piccomp(f, "V9(32)"))~", 3, "the number of nines is greater than 31"},
      {R"~(piccomp(f, "9V9X"))~", 3, "the number of nines is greater than 31"},
      {R"~(piccomp(f, "9(19)"))~", 3, "the width is invalid"},
      {R"~(piccomp(f, "S"))~", 3, "the width is invalid"},
      {R"~(piccomp3(f, "9V9(11)"))~", 3, "the width is invalid"},
      {R"~(picsigndec(short, "9(3)"))~", 3, "the width is invalid"},
      {R"~(formatpiccomp(1, "9(19)", out))~", 3, "the width is invalid"},
      {R"~(formatpiccomp(1, "9V9(11)", out))~", 3, "the width is invalid"},
      {R"~(formatpicsigndec(1, "9(30)V99", out))~", 3, "the width is invalid"},
      {R"~(pd(f, "17"))~", 3, "the width is invalid"},
      {R"~(formatpiccomp3(1, "9V9(11)", out))~", 3, "the width or multiplier are invalid"},
      {R"~(formatpd(1, "17", out))~", 3, "the width or multiplier are invalid"},
      {R"~(formatpd(1, "3.309", out))~", 3, "the width or multiplier are invalid"},
      {R"~(piccomp(short, "9(12)"))~", 3, "the width specified is too large"},
      {R"~(ib(f, "9.0"))~", 3, "the width specifed is too large"},
      {R"~(ib(short, "4"))~", 3, "the width specifed is too large"},
      {R"~(ib(f, "4.309"))~", 3, "the width specifed is too large"},
      {R"~(s370fpd(short, "4"))~", 3, "the source does not contain enough bytes"},
      {R"~(piccomp3(f, "S9(5)V99"))~", 3, "the number is not packed decimal"},
      {R"~(formatib(1, "9", out))~", 3, "the width is invalid or the power of 10 is too large"},
      {R"~(formatpiccomp(1, "9(4)", short))~", 0, nullptr},  // 2 bytes fit in 2
      {R"~(formatpiccomp(1, "9(9)", short))~", 3, "the width is invalid or the power of 10 is too large"},
      {R"~(formatib(1, "2.309", out))~", 3, "the width is invalid or the power of 10 is too large"},
      {R"~(formats370fpd(1, "17", out))~", 3, "the width is invalid or the power of ten is too large"},
      {R"~(formatpiccomp3(1, "9(5)", short))~", 3, "the width is invalid or the power of ten is too large"},
      {R"~(ib(f, "x"))~", 3, "unable to parse the W.D"},
      {R"~(ib(f, "-4"))~", 3, "unable to parse the W.D"},
      {R"~(formatib(1, "", out))~", 3, "unable to parse the W.D"},
      // A width of 0 has no bytes; scales beyond the table have no power of ten.
      {R"~(ib(f, "0"))~", 3, "the width in the W.D must be at least 1"},
      {R"~(s370fib(f, "0.2"))~", 3, "the width in the W.D must be at least 1"},
      {R"~(pd(f, "0"))~", 3, "the width in the W.D must be at least 1"},
      {R"~(s370fpd(f, "0"))~", 3, "the width in the W.D must be at least 1"},
      {R"~(formatib(1, "0", out))~", 3, "the width in the W.D must be at least 1"},
      {R"~(formatpd(1, "0", out))~", 3, "the width in the W.D must be at least 1"},
      {R"~(formats370fpd(1, "0", out))~", 3, "the width in the W.D must be at least 1"},
      {R"~(pd(f, "2.309"))~", 3, "the number of decimals must be from 0 to 308"},
      {R"~(s370fpd(f, "2.309"))~", 3, "the number of decimals must be from 0 to 308"},
      // A number has no bytes to read as a packed field.
      {R"~(piccomp3(12345, "9(5)"))~", 3, "the packed decimal source must be a string"},
  };
  for (const ErrorRow &row : rows) {
    SCOPED_TRACE(row.text);
    exp_pcode *p = nullptr;
    ASSERT_EQ(exp_make_pcode(e_.get(), row.text, &p, EXP_REAL, 0, 0, nullptr), 0) << message();
    EXPECT_EQ(exp_execute(e_.get(), p, nullptr), row.rc);
    const char *m = nullptr;
    if (row.message) {
      EXPECT_EQ(exp_error_info(e_.get(), &m, nullptr, nullptr), 3);
      EXPECT_EQ(std::string(m), std::string("Invalid input: ") + row.message);
    }
    exp_free_pcode(e_.get(), p);
  }
}

TEST_F(MainframeTest, PackedSignAndDigitBytesFromWriters) {
  put(field_, {0x12, 0x34});
  EXPECT_EQ(run(R"~(pd(f, "2"))~", EXP_REAL), "error 3: Invalid input: the sign byte is invalid");
  put(field_, {0x00, 0x1A});
  EXPECT_EQ(run(R"~(pd(f, "2"))~", EXP_REAL), "error 3: Invalid input: the low order nibble is invalid");
  put(field_, {0x00, 0xA1});
  EXPECT_EQ(run(R"~(pd(f, "2"))~", EXP_REAL), "error 3: Invalid input: the packed decimal number is invalid");
}

TEST_F(MainframeTest, WritersKeepTheOutputsNullStateAndZonedOutputGrows) {
  exp_symval_setnull(out_);
  EXPECT_EQ(run(R"~(formatpiccomp(12345, "9(4)", out))~", EXP_INTEGER), "i:2");
  EXPECT_TRUE(EXP_IS_NULL(out_));
  EXPECT_EQ(bytes(out_, 2), (Bytes{0x39, 0x30}));

  exp_symval *tiny = symbol("tiny", EXP_STRING, 3);
  EXPECT_EQ(run(R"~(formatpicsigndec(-123, "S9(5)", tiny))~", EXP_INTEGER), "i:5");
  EXPECT_EQ(tiny->len, 5u);
  EXPECT_EQ(std::string(tiny->value.s), "0012s");
}

}  // namespace
