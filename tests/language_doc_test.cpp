// docs/language.md against the engine: its function tables name every built-in (and nothing
// else), its examples give the results it shows, and its reference list is the function table's.
// Run with EXP_UPDATE_DOCS=1 to rewrite the reference list from the table.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "expression.h"

namespace {

const std::string kDoc = std::string(EXP_SOURCE_DIR) + "/docs/language.md";
const char kBegin[] = "<!-- builtins:begin -->\n";
const char kEnd[] = "<!-- builtins:end -->";

std::string read_doc() {
  std::ifstream in(kDoc, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

struct Function {
  std::string name, signature, description;
  int min;
  uint32_t max;
  char ret;
};

std::vector<Function> registry() {
  std::vector<Function> out;
  exp_engine *e = exp_init();
  for (int i = 0, n = exp_get_function_count(e); i < n; ++i) {
    const char *name, *sig, *desc;
    Function f{};
    if (exp_get_function_info(e, i, &name, &f.min, &f.max, &sig, &f.ret, &desc) == 0)
      out.push_back({name, sig, desc, f.min, f.max, f.ret});
  }
  exp_clean(e);
  return out;
}

// The reference list as the function table gives it.
std::string reference(const std::vector<Function> &functions) {
  static const char *const kTypes[] = {"", "boolean", "integer", "real", "string", "date", "pointer", "object"};
  auto type_of = [](char letter) -> std::string {
    const std::string letters = "birsdpo";
    size_t at = letters.find(static_cast<char>(std::tolower(static_cast<unsigned char>(letter))));
    return at == std::string::npos ? std::string(1, letter) : kTypes[at + 1];
  };
  std::string out = "| function | arguments | types | returns | description |\n|---|---|---|---|---|\n";
  for (const Function &f : functions) {
    std::string args = std::to_string(f.min);
    if (f.max == EXP_UNLIMITED) args += " or more";
    else if (f.max != static_cast<uint32_t>(f.min)) args += " to " + std::to_string(f.max);
    std::string desc = f.description;
    for (size_t at = desc.find('|'); at != std::string::npos; at = desc.find('|', at + 2)) desc.replace(at, 1, "\\|");
    out += "| `" + f.name + "` | " + args + " | `" + f.signature + "` | " + type_of(f.ret) + " | " + desc + " |\n";
  }
  return out;
}

// The cells of a table row ("| a | b |"), with "\|" kept inside a cell.
std::vector<std::string> cells(const std::string &row) {
  std::vector<std::string> out;
  std::string cur;
  for (size_t i = 1; i < row.size(); ++i) {
    if (row[i] == '\\' && i + 1 < row.size() && row[i + 1] == '|') {
      cur += '|';
      ++i;
    } else if (row[i] == '|') {
      size_t b = cur.find_first_not_of(' '), e = cur.find_last_not_of(' ');
      out.push_back(b == std::string::npos ? "" : cur.substr(b, e - b + 1));
      cur.clear();
    } else {
      cur += row[i];
    }
  }
  return out;
}

std::string unquote(const std::string &cell) {
  return cell.size() >= 2 && cell.front() == '`' && cell.back() == '`' ? cell.substr(1, cell.size() - 2) : cell;
}

// Runs one example in a fresh engine and gives its result as text ("null" for null).
std::string evaluate(const std::string &program) {
  exp_engine *e = exp_init();
  exp_set_option(e, "DATE_ISO8601", "1");
  exp_pcode *p = nullptr;
  std::string out;
  if (int rc = exp_make_pcode(e, program.c_str(), &p, EXP_STRING, 4096, 0, nullptr)) {
    const char *message = "";
    exp_error_info(e, &message, nullptr, nullptr);
    out = "compile error " + std::to_string(rc) + ": " + message;
  } else {
    exp_symval *result = nullptr;
    int run = exp_execute(e, p, &result);
    out = run ? "run-time error " + std::to_string(run) : !result || EXP_IS_NULL(result) ? "null" : result->value.s;
    exp_free_pcode(e, p);
  }
  exp_clean(e);
  return out;
}

TEST(LanguageDoc, ReferenceListIsTheFunctionTable) {
  std::string doc = read_doc();
  size_t begin = doc.find(kBegin), end = doc.find(kEnd);
  ASSERT_NE(begin, std::string::npos) << kDoc;
  ASSERT_NE(end, std::string::npos);
  begin += sizeof kBegin - 1;
  std::string expected = reference(registry());
  if (std::getenv("EXP_UPDATE_DOCS")) {
    doc.replace(begin, end - begin, expected);
    std::ofstream(kDoc, std::ios::binary) << doc;
  } else {
    EXPECT_EQ(doc.substr(begin, end - begin), expected) << "run this test with EXP_UPDATE_DOCS=1 to regenerate";
  }
}

TEST(LanguageDoc, FamiliesNameEveryBuiltInAndTheirExamplesHold) {
  std::string doc = read_doc();
  size_t from = doc.find("## Built-in functions by family"), to = doc.find("### Classes");
  ASSERT_NE(from, std::string::npos);
  ASSERT_NE(to, std::string::npos);
  std::istringstream section(doc.substr(from, to - from));
  std::set<std::string> documented;
  int checked = 0;
  for (std::string line; std::getline(section, line);) {
    if (line.rfind("| `", 0) != 0) continue;
    std::vector<std::string> c = cells(line);
    ASSERT_EQ(c.size(), 3u) << line;
    std::string call = unquote(c[0]);
    EXPECT_TRUE(documented.insert(call.substr(0, call.find('('))).second) << "listed twice: " << line;
    if (c[2] == "—") continue;  // side effects or outside data: shown, not run
    EXPECT_EQ(evaluate(unquote(c[1])), unquote(c[2])) << line;
    ++checked;
  }
  std::set<std::string> table;
  for (const Function &f : registry()) table.insert(f.name);
  EXPECT_EQ(documented, table);
  EXPECT_GT(checked, 60);
}

}  // namespace
