// docs/language.md against the engine: its function tables name every built-in (and nothing
// else), every example gives the result it shows (example tables, program blocks with their
// Result line, exprun sessions with their output), and its reference list is the function table's.
// Run with EXP_UPDATE_DOCS=1 to rewrite the reference list from the table.
//
// Files the examples read are declared in the guide itself: a line "`NAME`:" followed by a fenced
// block (```csv, ```tsv, ```json) holding the file's text. Every exprun example runs in a fresh
// folder holding every file the guide declares.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
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
  auto type_of = [](char letter) -> std::string {
    const std::string letters = "birsdpo";  // in the order of the type codes
    size_t at = letters.find(static_cast<char>(std::tolower(static_cast<unsigned char>(letter))));
    return at == std::string::npos ? std::string(1, letter) : exp_type_name(static_cast<int>(at) + EXP_BOOLEAN);
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

// An input field of an example: its name, type and value as text (none for null).
struct Field {
  std::string name;
  int type;
  std::string text;
  bool null = false;
};

// Runs one example in a fresh engine with `fields` bound and gives its result as text ("null"
// for null, or the error with its number and message).
std::string evaluate(const std::string &program, const std::vector<Field> &fields = {}) {
  exp_engine *e = exp_init();
  exp_set_option(e, "DATE_ISO8601", "1");
  for (const Field &f : fields) {
    exp_symval *cell = nullptr;
    exp_add_symbol(e, f.name.c_str(), f.type, 255, 0, &cell);
    if (cell && !f.null) exp_symval_settext(e, cell, f.text.c_str());
  }
  exp_pcode *p = nullptr;
  std::string out;
  const char *message = "";
  if (int rc = exp_make_pcode(e, program.c_str(), &p, EXP_STRING, 4096, 0, nullptr)) {
    exp_error_info(e, &message, nullptr, nullptr);
    out = "compile error " + std::to_string(rc) + ": " + message;
  } else {
    exp_symval *result = nullptr;
    int run = exp_execute(e, p, &result);
    if (run) exp_error_info(e, &message, nullptr, nullptr);
    out = run ? "run-time error " + std::to_string(run) + ": " + message
              : !result || EXP_IS_NULL(result) ? "null" : result->value.s;
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

// ---- every other example ---------------------------------------------------------------------

const std::string kExprun = std::string(EXP_BINARY_DIR) + "/tools/exprun/exprun";

// A fresh folder that is the working directory while it lives (examples read and write files).
class ScratchFolder {
 public:
  ScratchFolder() {
    char here[4096];
    if (getcwd(here, sizeof here)) previous_ = here;
    char tmpl[] = "/tmp/language_doc_XXXXXX";
    if (mkdtemp(tmpl)) path_ = tmpl;
    EXPECT_FALSE(path_.empty());
    EXPECT_EQ(chdir(path_.c_str()), 0);
  }
  ~ScratchFolder() {
    if (!previous_.empty() && chdir(previous_.c_str()) != 0) ADD_FAILURE() << "cannot return to " << previous_;
    if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
  }
  const std::string &path() const { return path_; }

 private:
  std::string path_, previous_;
};

// Runs a shell script in the current folder with exprun on the PATH; gives what it prints on
// standard output and standard error together.
std::string shell(const std::string &script) {
  std::ofstream("script.sh", std::ios::binary) << script;
  const std::string dir = kExprun.substr(0, kExprun.rfind('/'));
  std::string cmd = "PATH='" + dir + "':\"$PATH\" sh script.sh > script.out 2>&1";
  int rc = std::system(cmd.c_str());
  EXPECT_TRUE(WIFEXITED(rc)) << script;
  std::ifstream in("script.out", std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// Runs an example of an exprun function with exprun (and `flags`), on one record, and gives its
// result. TSV output shows the value as it is (CSV would quote a value holding a comma).
std::string evaluate_with_exprun(const std::string &program, const std::string &flags) {
  std::ofstream("example.expr", std::ios::binary) << program;
  std::string out = shell("printf 'x\\n1\\n' | exprun --otsv --output result " + flags + " -f example.expr");
  // The header line, then the value.
  size_t nl = out.find('\n');
  std::string value = nl == std::string::npos ? out : out.substr(nl + 1);
  if (!value.empty() && value.back() == '\n') value.pop_back();
  return value;
}

// The fields of a "(with `a` = 1, `b` = "x")" clause: the literal's form gives the type.
std::vector<Field> fields_of(const std::string &clause) {
  std::vector<Field> out;
  static const std::regex kField("`([^`]+)` = (\"[^\"]*\"|#[^#]*#|true|false|null|[-0-9.]+)");
  for (std::sregex_iterator it(clause.begin(), clause.end(), kField), end; it != end; ++it) {
    std::string name = (*it)[1], value = (*it)[2];
    Field f{name, EXP_INTEGER, value};
    if (value.front() == '"') f = {name, EXP_STRING, value.substr(1, value.size() - 2)};
    else if (value.front() == '#') f = {name, EXP_DATE, value.substr(1, value.size() - 2)};
    else if (value == "true" || value == "false") f.type = EXP_BOOLEAN;
    else if (value == "null") f = {name, EXP_STRING, "", true};
    else if (value.find('.') != std::string::npos) f.type = EXP_REAL;
    out.push_back(f);
  }
  return out;
}

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// The text of the fenced block that starts at lines[*at] (its fence line), up to its closing
// fence; *at moves past it.
std::string fenced_block(const std::vector<std::string> &lines, size_t *at) {
  std::string body;
  for (++*at; *at < lines.size() && lines[*at] != "```"; ++*at) body += lines[*at] + "\n";
  ++*at;
  return body;
}

// The next line at or after *at that is not empty; *at moves to it.
const std::string *next_text(const std::vector<std::string> &lines, size_t *at) {
  while (*at < lines.size() && lines[*at].empty()) ++*at;
  return *at < lines.size() ? &lines[*at] : nullptr;
}

// The files the guide declares for its examples, as (name, text).
std::vector<std::pair<std::string, std::string>> declared_files(const std::vector<std::string> &lines) {
  static const std::regex kName("^`([A-Za-z0-9_.-]+)`:$");
  static const std::regex kDataFence("^```(csv|tsv|json|jsonl)$");
  std::vector<std::pair<std::string, std::string>> files;
  for (size_t at = 0; at < lines.size(); ++at) {
    std::smatch m;
    if (!std::regex_match(lines[at], m, kName)) continue;
    size_t fence = at + 1;
    const std::string *next = next_text(lines, &fence);
    if (!next || !std::regex_match(*next, kDataFence)) continue;
    files.emplace_back(m[1].str(), fenced_block(lines, &fence));
    at = fence - 1;
  }
  return files;
}

// Writes the guide's declared files into the current folder.
void write_declared_files(const std::vector<std::string> &lines) {
  for (const auto &[name, text] : declared_files(lines)) std::ofstream(name, std::ios::binary) << text;
}

// An exprun example cell: "`program`", or "`program` with `flags`" for the flags it needs.
void split_exprun_example(const std::string &cell, std::string *program, std::string *flags) {
  static const std::regex kWith("^`(.*)` with `([^`]*)`$");
  std::smatch m;
  if (std::regex_match(cell, m, kWith)) {
    *program = m[1];
    *flags = m[2];
  } else {
    *program = unquote(cell);
    flags->clear();
  }
}

TEST(LanguageDoc, EveryExampleTableGivesItsResults) {
  ScratchFolder folder;
  std::vector<std::string> lines = lines_of(read_doc());
  write_declared_files(lines);
  int example = -1, result = -1, checked = 0, run = 0;
  bool with_exprun = false;
  for (const std::string &line : lines) {
    if (line.rfind("|", 0) != 0) {
      example = result = -1;
      continue;
    }
    std::vector<std::string> c = cells(line);
    if (example < 0) {  // a header: does it have example and result columns?
      for (size_t i = 0; i < c.size(); ++i) {
        if (c[i] == "example" || c[i] == "exprun example") example = static_cast<int>(i), with_exprun = c[i] != "example";
        if (c[i] == "result") result = static_cast<int>(i);
      }
      if (result < 0) example = -1;
      continue;
    }
    if (line.rfind("|---", 0) == 0 || c.size() <= static_cast<size_t>(std::max(example, result))) continue;
    std::string program, flags;
    if (with_exprun) split_exprun_example(c[static_cast<size_t>(example)], &program, &flags);
    else program = unquote(c[static_cast<size_t>(example)]);
    const std::string expected = unquote(c[static_cast<size_t>(result)]);
    const std::string got = with_exprun ? evaluate_with_exprun(program, flags) : evaluate(program);
    ++run;
    if (expected == "—") {  // reaches outside the engine: it must run, whatever it gives
      EXPECT_EQ(got.find("error"), std::string::npos) << line << "\n" << got;
      continue;
    }
    EXPECT_EQ(got, expected) << line;
    ++checked;
  }
  EXPECT_GE(run, 150);
  EXPECT_GT(checked, 140);
}

TEST(LanguageDoc, EveryProgramGivesItsStatedResult) {
  ScratchFolder folder;
  std::vector<std::string> lines = lines_of(read_doc());
  int checked = 0;
  static const std::regex kResult("^Result: `([^`]*)`( \\(with (.*)\\))?$");
  for (size_t at = 0; at < lines.size();) {
    if (lines[at] != "```expr") {
      ++at;
      continue;
    }
    const size_t fence = at + 1;
    const std::string program = fenced_block(lines, &at);
    const std::string *stated = next_text(lines, &at);
    std::smatch m;
    ASSERT_TRUE(stated && std::regex_match(*stated, m, kResult)) << "line " << fence << ": a program block needs a Result line";
    EXPECT_EQ(evaluate(program, fields_of(m[3])), m[1].str()) << "line " << fence << "\n" << program;
    ++checked;
  }
  EXPECT_GE(checked, 6);
}

TEST(LanguageDoc, EveryExprunSessionPrintsWhatItShows) {
  std::vector<std::string> lines = lines_of(read_doc());
  EXPECT_GE(declared_files(lines).size(), 2u);
  int checked = 0;
  for (size_t at = 0; at < lines.size();) {
    if (lines[at] != "```sh") {
      ++at;
      continue;
    }
    ScratchFolder folder;
    write_declared_files(lines);
    const size_t fence = at + 1;
    const std::string script = fenced_block(lines, &at);
    const std::string *next = next_text(lines, &at);
    ASSERT_TRUE(next && *next == "```text") << "line " << fence << ": a session needs its output block";
    EXPECT_EQ(shell(script), fenced_block(lines, &at)) << "line " << fence << "\n" << script;
    ++checked;
  }
  EXPECT_GE(checked, 16);
}

}  // namespace
