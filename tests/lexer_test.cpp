// Tests of the lexer: token classes and codes, literal values, comments, positions, the
// end-of-input text, and the errors it raises with the position it reports them at.
#include <gtest/gtest.h>

#include <map>
#include <span>
#include <string>
#include <vector>

#include "common/test_util.h"
#include "compiler.h"
#include "engine.h"
#include "errors.h"

using testutil::EnginePtr;
using testutil::make_engine;

namespace {

// The spelling tokens of keyword and operator codes are rendered with.
const std::map<int, std::string> kTokenNames = {
    {KW_STRING, "string"},   {KW_REAL, "real"},       {KW_INTEGER, "integer"}, {KW_DATE, "date"},
    {KW_BOOLEAN, "boolean"}, {KW_PUBLIC, "public"},   {KW_PRIVATE, "private"}, {KW_GLOBAL, "global"},
    {KW_GOTO, "goto"},       {KW_RETURN, "return"},   {KW_IF, "if"},           {KW_THEN, "then"},
    {KW_ELSE, "else"},       {KW_BEGIN, "begin"},     {KW_END, "end"},         {KW_NOT, "not"},
    {KW_AND, "and"},         {KW_OR, "or"},           {KW_NULL, "null"},       {KW_FOR, "for"},
    {KW_TO, "to"},           {KW_STEP, "step"},       {KW_CALL, "call"},       {KW_POINTER, "pointer"},
    {KW_WHILE, "while"},     {KW_ARRAY, "array"},     {KW_STATIC, "static"},   {KW_HIDDEN, "hidden"},
    {KW_VISIBLE, "visible"}, {KW_BYTES, "bytes"},     {TK_PLUS, "+"},          {TK_MINUS, "-"},
    {TK_SLASH, "/"},         {TK_STAR, "*"},          {TK_LPAREN, "("},        {TK_RPAREN, ")"},
    {TK_GT, ">"},        {TK_GE, ">="},       {TK_LT, "<"},        {TK_LE, "<="},
    {TK_ASSIGN, "="},        {TK_EQ, "=="},       {TK_AMP, "&"},           {TK_COLON, ":"},
    {TK_BANG, "!"},          {TK_NE, "<>"},       {TK_COMMA, ","},         {TK_SEMI, ";"},
    {TK_PERCENT, "%"},       {TK_DOT, "."},           {TK_END_OF_INPUT, "eoi"},
};

// The current token as the tables below write it: literals as class:value, keywords and
// operators by their spelling, the end-of-input token as "eoi".
std::string render_token(const exp_parse_state *s) {
  const exp_symval *c = s->current;
  switch (s->cur_code) {
    case TK_STRING: return "str:" + std::string(c->value.s);
    case TK_IDENT: return "id:" + std::string(c->value.s);
    case TK_INTEGER: return "int:" + testutil::render(c).substr(2);
    case TK_REAL: return "real:" + testutil::render(c).substr(2);
    case TK_DATE: return "date:" + testutil::render(c).substr(2);
    case TK_BOOLEAN: return "bool:" + testutil::render(c).substr(2);
  }
  auto it = kTokenNames.find(s->cur_code);
  return it != kTokenNames.end() ? it->second : "?" + std::to_string(s->cur_code);
}

// What the lexer made of a text: the tokens before the first end-of-input token, the positions
// of all of them and of the end-of-input token (line:column), and the error that stopped it (with the position reported for it).
struct Lexed {
  std::string tokens;
  std::string positions;
  int error = 0;
  int line = 0, column = 0;
};

// Runs the lexer the way the compiler does: two reads, then one read per token consumed.
Lexed lex(const char *text, bool escaped = false) {
  EnginePtr e = make_engine();
  e->escaped_string = escaped ? 1 : 0;
  exp_parse_state state;
  e->compiling = &state;
  exp_parse_state *s = &state;
  Lexed out;
  out.error = lexer_init(e.get(), s, text);
  for (int reads = 0; !out.error && reads < 2; ++reads) out.error = next_token(e.get(), s);
  while (!out.error) {
    if (!out.positions.empty()) out.positions += " ";
    out.positions += std::to_string(s->stop.line) + ":" + std::to_string(s->stop.column);
    if (s->cur_code == TK_END_OF_INPUT) break;
    out.tokens += (out.tokens.empty() ? "" : " ") + render_token(s);
    out.error = next_token(e.get(), s);
  }
  out.line = s->stop.line;
  out.column = s->stop.column;
  return out;
}

struct TokenCase {
  const char *text;
  const char *tokens;
};

void expect_tokens(std::span<const TokenCase> cases, bool escaped = false) {
  for (const TokenCase &c : cases) {
    SCOPED_TRACE(c.text);
    Lexed l = lex(c.text, escaped);
    EXPECT_EQ(l.error, 0);
    EXPECT_EQ(l.tokens, c.tokens);
  }
}

TEST(LexerTokens, ClassesCodesAndValues) {
  static const TokenCase cases[] = {
      {"", ""},
      {"   \t\n  ", ""},
      {"x = 5", "id:x = int:5"},
      {"a+b-c*d/e%f", "id:a + id:b - id:c * id:d / id:e % id:f"},
      {"(a,b);c:d&e!f.g", "( id:a , id:b ) ; id:c : id:d & id:e ! id:f . id:g"},
      // Two-character operators, and what their halves make on their own.
      {"a==b = c", "id:a == id:b = id:c"},
      {"a<>b a!=b", "id:a <> id:b id:a <> id:b"},
      {"a<=b a>=b a<b a>b", "id:a <= id:b id:a >= id:b id:a < id:b id:a > id:b"},
      {"a=<b", "id:a = < id:b"},
      {"a=>b", "id:a = > id:b"},
      // Keywords in any case; words that only start like one are identifiers.
      {"BEGIN Begin begin", "begin begin begin"},
      {"If x Then y ELSE z END", "if id:x then id:y else id:z end"},
      {"ifx endx not_ nota", "id:ifx id:endx id:not_ id:nota"},
      {"string real integer date boolean pointer", "string real integer date boolean pointer"},
      {"public private global static hidden visible bytes array",
       "public private global static hidden visible bytes array"},
      {"goto return for to step call while and or not null",
       "goto return for to step call while and or not null"},
      // Booleans.
      {"TRUE False true", "bool:1 bool:0 bool:1"},
      {"truex falsehood", "id:truex id:falsehood"},
      // Word characters: letters, digits, '_' and '$'.
      {"_a $b a1_$ x9", "id:_a id:$b id:a1_$ id:x9"},
      {"9x", "int:9 id:x"},
      // Numbers: no sign, exponent or separators; one decimal point per literal.
      {"123456789012345678", "int:123456789012345678"},
      {"1234567890123456789", "real:1234567890123456789"},
      {"5. .5 1.25", "real:5 real:0.5 real:1.25"},
      {"1.2.3", "real:1.2 real:0.3"},
      {"1e5", "int:1 id:e5"},
      {"-5", "- int:5"},
      {"1,000", "int:1 , int:0"},
      {"a.b", "id:a . id:b"},
      {". x", ". id:x"},
      // Quoted tokens: the quotes are not part of the text; the other quote is plain text.
      {"\"it's\" 'say \"hi\"'", "str:it's str:say \"hi\""},
      {"\"\"", "str:"},
      {"\"two\nlines\"", "str:two\nlines"},
      {"`my field` `x`", "id:my field id:x"},
      {"\"a\\\"", "str:a\\"},
      // Date literals, in ISO 8601 and in month/day/year order.
      {"#2024-01-15#", "date:45306"},
      {"#2024-01-15 12:00#", "date:45306.5"},
      // Characters that are no operator become one-character identifiers.
      {"[ ? ~", "id:[ id:? id:~"},
      {"a[1]", "id:a id:[ int:1 id:]"},
      // Only the end of the text ends it: words that look like an end marker are identifiers
      // and strings like any other.
      {"a ___end_of_input___ b c", "id:a id:___end_of_input___ id:b id:c"},
      {"x ___INPUT_ERROR___ '___INPUT_ERROR___'", "id:x id:___INPUT_ERROR___ str:___INPUT_ERROR___"},
      // Non-ASCII letters form words.
      {"gr\xC3\xB6\xC3\x9F" "e", "id:gr\xC3\xB6\xC3\x9F" "e"},
      // Upper-case keywords and identifiers, whatever the script.
      {"\xC3\x84nd AND", "id:\xC3\x84nd and"},
      // Non-ASCII words compare by Unicode case folding: a long s folds to "s".
      {"\xC5\xBFtring \xC5\xBFtep tru\xC5\xBF", "string step id:tru\xC5\xBF"},
  };
  expect_tokens(cases);
}

TEST(LexerTokens, CommentsAreSkipped) {
  static const TokenCase cases[] = {
      {"/* a /* b */ c */ x", "id:x"},
      {"a//b", "id:a"},
      {"a // comment", "id:a"},
      {"a // comment\nb", "id:a id:b"},
      {"a // comment\rb", "id:a id:b"},
      {"/* // */ x", "id:x"},
      {"// /* \nx", "id:x"},
      {"// */ \nx", "id:x"},
      {"a/**/b", "id:a id:b"},
      {"/*\n\n*/x", "id:x"},
      {"a / b", "id:a / id:b"},
  };
  expect_tokens(cases);
}

TEST(LexerTokens, EscapedStringOption) {
  static const TokenCase escaped[] = {
      {"\"a\\\"b\"", "str:a\"b"},
      {"`we\\`ird`", "id:we`ird"},
      {"\"a\\nb\"", "str:anb"},
      {"\"a\\\\b\"", "str:a\\b"},
      {"'it\\'s'", "str:it's"},
      // Dates take no escapes.
      {"#2024-01-15#", "date:45306"},
  };
  expect_tokens(escaped, true);
  // Off: the backslash is ordinary text.
  static const TokenCase plain[] = {{"\"a\\nb\"", "str:a\\nb"}, {"\"a\\\\b\"", "str:a\\\\b"}};
  expect_tokens(plain, false);
}

TEST(LexerTokens, UnescapeDropsOneBackslashOfEachRun) {
  struct Case {
    const char *in, *out;
  };
  const Case cases[] = {
      {"", ""},         {"abc", "abc"},       {"a\\b", "ab"},         {"a\\\\b", "a\\b"},
      {"\\\\\\", "\\\\"}, {"\\n\\t", "nt"},   {"end\\", "end"},       {"\\\\\\\\", "\\\\\\"},
  };
  for (const Case &c : cases) {
    std::string text = c.in;
    unescape_text(text.data());
    EXPECT_EQ(std::string(text.c_str()), c.out) << c.in;
  }
  unescape_text(nullptr);  // tolerated
}

// Keyword and string cells hold the text as written; a string literal's cell is at least as
// long as the longest token read so far.
TEST(LexerTokens, TokenCellsHoldTheTextAsWritten) {
  EnginePtr e = make_engine();
  exp_parse_state state;
  e->compiling = &state;
  exp_parse_state *s = &state;
  std::string long_word(40, 'w');
  std::string text = "BeGiN " + long_word + " 'x'";
  ASSERT_EQ(lexer_init(e.get(), s, text.c_str()), 0);
  ASSERT_EQ(next_token(e.get(), s), 0);
  ASSERT_EQ(next_token(e.get(), s), 0);
  EXPECT_EQ(s->cur_code, KW_BEGIN);
  EXPECT_STREQ(s->current->value.s, "BeGiN");
  EXPECT_EQ(s->current->len, 16u);
  ASSERT_EQ(next_token(e.get(), s), 0);
  ASSERT_EQ(next_token(e.get(), s), 0);
  EXPECT_EQ(s->cur_code, TK_STRING);
  EXPECT_STREQ(s->current->value.s, "x");
  EXPECT_GE(s->current->len, long_word.size());
}

TEST(LexerPositions, LinesAndColumnsCountCharacters) {
  struct Case {
    const char *text;
    const char *positions;
  };
  const Case cases[] = {
      // The end of input lies just after the last character that is not blank.
      {"a bb  c", "1:1 1:3 1:7 1:8"},
      {"a\nb\n\nc", "1:1 2:1 4:1 4:2"},
      {"\nx", "2:1 2:2"},
      {"\n\n  x", "3:3 3:4"},
      // A carriage return resets the column but starts no line.
      {"a\rb", "1:1 1:1 1:2"},
      {"a\r\nb", "1:1 2:1 2:2"},
      // A tab and a two-byte character count one column each.
      {"\t\xC2\xA0x", "1:3 1:4"},
      {"\xC3\xA9t\xC3\xA9 x", "1:1 1:5 1:6"},
      {"'\xC3\xA9\xC3\xA9' x", "1:1 1:6 1:7"},
      {"/* one\n two */ x", "2:9 2:10"},
      {"a <= b", "1:1 1:3 1:6 1:7"},
      {"// only a comment", "1:18"},
      {"x  \n\n", "1:1 1:2"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    Lexed l = lex(c.text);
    EXPECT_EQ(l.error, 0);
    EXPECT_EQ(l.positions, c.positions);
  }
}

TEST(LexerEndOfInput, TwoEndTokensThenAnIncompleteProgram) {
  EnginePtr e = make_engine();
  exp_parse_state state;
  e->compiling = &state;
  exp_parse_state *s = &state;
  ASSERT_EQ(lexer_init(e.get(), s, "x"), 0);
  ASSERT_EQ(next_token(e.get(), s), 0);
  ASSERT_EQ(next_token(e.get(), s), 0);
  EXPECT_EQ(s->cur_code, TK_IDENT);
  ASSERT_EQ(next_token(e.get(), s), 0);
  EXPECT_EQ(s->cur_code, TK_END_OF_INPUT);
  EXPECT_EQ(s->look_code, TK_END_OF_INPUT);
  // Taking the second end token as current reads past the end: the text is incomplete, and
  // stays so however often the parser asks.
  EXPECT_EQ(next_token(e.get(), s), ERR_INCOMPLETE);
  EXPECT_EQ(next_token(e.get(), s), ERR_INCOMPLETE);
}

// ---- errors --------------------------------------------------------------------------------------

struct ErrorCase {
  const char *text;
  int error;
  int line, column;  // where the error is reported: the token before the faulty one
};

const ErrorCase kLexerErrors[] = {
    // Comment designators.
    {"/* a /* b */", ERR_COMMENT, 1, 1},
    {"x /* never closed", ERR_COMMENT, 1, 1},
    {"x */ y", ERR_COMMENT, 1, 1},
    {"x*/x", ERR_COMMENT, 1, 1},
    {"x x x */", ERR_COMMENT, 1, 5},
    {"*/", ERR_COMMENT, 1, 1},
    // Unclosed quoted tokens.
    {"x = \"abc", ERR_INCOMPLETE, 1, 3},
    {"x = 'abc", ERR_INCOMPLETE, 1, 3},
    {"x = `abc", ERR_INCOMPLETE, 1, 3},
    {"x = #2024-01-15", ERR_INCOMPLETE, 1, 3},
    {"\"abc", ERR_INCOMPLETE, 1, 1},
    {"x\nx\n  x 'open", ERR_INCOMPLETE, 3, 3},
    // Identifier length: 65 bytes, and 33 two-byte letters.
    {"x + aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", ERR_IDENT_TOO_LONG, 1, 3},
    {"x + `aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa`", ERR_IDENT_TOO_LONG, 1, 3},
};

TEST(LexerErrors, RaisedAtTheTokenBeforeTheFaultyOne) {
  for (const ErrorCase &c : kLexerErrors) {
    SCOPED_TRACE(c.text);
    Lexed l = lex(c.text);
    EXPECT_EQ(l.error, c.error);
    EXPECT_EQ(l.line, c.line);
    EXPECT_EQ(l.column, c.column);
  }
}

TEST(LexerErrors, EscapedQuoteAtTheEndLeavesTheStringOpen) {
  Lexed l = lex("x = \"a\\\"", true);
  EXPECT_EQ(l.error, ERR_INCOMPLETE);
  l = lex("x = \"a\\", true);
  EXPECT_EQ(l.error, ERR_INCOMPLETE);
}

TEST(LexerErrors, IdentifierLengthLimitIsSixtyFourBytes) {
  std::string ok(64, 'a');
  EXPECT_EQ(lex(ok.c_str()).error, 0);
  EXPECT_EQ(lex((ok + "a").c_str()).error, ERR_IDENT_TOO_LONG);
  // 32 two-byte letters are 64 bytes; 33 are 66 bytes although only 33 characters.
  std::string wide;
  for (int i = 0; i < 32; ++i) wide += "\xC3\xA9";
  EXPECT_EQ(lex(wide.c_str()).error, 0);
  EXPECT_EQ(lex((wide + "\xC3\xA9").c_str()).error, ERR_IDENT_TOO_LONG);
  // Keywords and strings are no identifiers: a long string literal is fine.
  std::string str = "'" + std::string(300, 's') + "'";
  EXPECT_EQ(lex(str.c_str()).error, 0);
}

const std::map<int, std::string> kMessages = {
    {ERR_COMMENT, "Mismatched comment designators (check '/*' and '*/')"},
    {ERR_INCOMPLETE, "Incomplete expression. End of input reached."},
    {ERR_IDENT_TOO_LONG, "Identifier is too long"},
};

// Bytes that are no valid UTF-8 are single characters: never a crash, never a read past the end.
TEST(LexerErrors, InvalidEncodingIsHandledCharacterByCharacter) {
  struct Case {
    const char *text;
    const char *tokens;
    int error;
  };
  const Case cases[] = {
      {"\xC3", "id:\xC3", 0},
      {"a\xC3", "id:a id:\xC3", 0},
      {"\xFF\xFE x", "id:\xFF id:\xFE id:x", 0},
      {"\xE2\x82", "id:\xE2 id:\x82", 0},
      {"\xF0\x9F\x98", "id:\xF0 id:\x9F id:\x98", 0},
      {"'\xE2\x82", "", ERR_INCOMPLETE},
      {"/* \xE2", "", ERR_COMMENT},
      {"`\xC3`", "id:\xC3", 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    Lexed l = lex(c.text);
    EXPECT_EQ(l.error, c.error);
    EXPECT_EQ(l.tokens, c.tokens);
  }
}

// Through the compiler: the message text and the position exp_error_info reports.
TEST(LexerErrors, ReportedThroughTheCompiler) {
  for (const ErrorCase &c : kLexerErrors) {
    SCOPED_TRACE(c.text);
    EnginePtr e = make_engine();
    exp_symval *x = nullptr;
    ASSERT_EQ(exp_add_symbol(e.get(), "x", EXP_INTEGER, 0, 0, &x), 0);
    exp_pcode *p = nullptr;
    EXPECT_EQ(exp_make_pcode(e.get(), c.text, &p, EXP_INTEGER, 0, 0, nullptr), c.error);
    EXPECT_EQ(p, nullptr);
    const char *message = nullptr;
    int line = -1, column = -1;
    EXPECT_EQ(exp_error_info(e.get(), &message, &line, &column), c.error);
    EXPECT_EQ(line, c.line);
    EXPECT_EQ(column, c.column);
    EXPECT_EQ(std::string(message), kMessages.at(c.error));
  }
}

}  // namespace
