// Tests of the settings-file lookup. Every test points XDG_CONFIG_HOME, HOME and
// EXPRESSION_SYSCONFDIR at a fresh temporary directory, so neither /etc nor the real home is read.
#include "support/settings.h"

#include "expression.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace {

namespace fs = std::filesystem;

class SettingsFiles : public testing::Test {
 protected:
  void SetUp() override {
    std::string templ = (fs::temp_directory_path() / "settings_test_XXXXXX").string();
    ASSERT_NE(mkdtemp(templ.data()), nullptr);
    root_ = templ;
    for (const char* name : kVars) saved_.emplace_back(name, get(name));
    setenv("XDG_CONFIG_HOME", (root_ / "user").c_str(), 1);
    setenv("HOME", (root_ / "home").c_str(), 1);
    setenv("EXPRESSION_SYSCONFDIR", (root_ / "machine").c_str(), 1);
  }

  void TearDown() override {
    for (const auto& [name, value] : saved_) {
      if (value) setenv(name, value->c_str(), 1); else unsetenv(name);
    }
    fs::remove_all(root_);
  }

  static std::optional<std::string> get(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::optional<std::string>(v) : std::nullopt;
  }

  void write(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
  }
  void write_user(const std::string& text) { write(root_ / "user" / "expression" / "config", text); }
  void write_machine(const std::string& text) { write(root_ / "machine" / "config", text); }

  std::pair<std::string, SettingSource> read() {
    char buf[SETTINGS_VALUE_SIZE];
    const SettingSource source = settings_read_escaped_string(buf, sizeof buf);
    return {buf, source};
  }

  static constexpr const char* kVars[] = {"XDG_CONFIG_HOME", "HOME", "EXPRESSION_SYSCONFDIR"};
  fs::path root_;
  std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
};

TEST_F(SettingsFiles, MissingFilesGiveTheDefault) {
  EXPECT_EQ(read(), std::make_pair(std::string("no"), SettingSource::Default));
  EXPECT_FALSE(settings_escaped_string_enabled());
}

TEST_F(SettingsFiles, MachineFileAlone) {
  write_machine("escaped_string = yes\n");
  EXPECT_EQ(read(), std::make_pair(std::string("yes"), SettingSource::Machine));
  EXPECT_TRUE(settings_escaped_string_enabled());
}

TEST_F(SettingsFiles, UserFileWinsOverMachineFile) {
  write_user("escaped_string=no\n");
  write_machine("escaped_string = yes\n");
  EXPECT_EQ(read(), std::make_pair(std::string("no"), SettingSource::User));
  EXPECT_FALSE(settings_escaped_string_enabled());
}

TEST_F(SettingsFiles, UserFileWithoutTheKeyFallsThrough) {
  write_user("# nothing here\nother_key = 1\n");
  write_machine("escaped_string = true\n");
  EXPECT_EQ(read(), std::make_pair(std::string("true"), SettingSource::Machine));
}

TEST_F(SettingsFiles, AnEmptyValueStillCounts) {
  write_user("escaped_string =\n");
  write_machine("escaped_string = yes\n");
  EXPECT_EQ(read(), std::make_pair(std::string(""), SettingSource::User));
}

TEST_F(SettingsFiles, LineSyntax) {
  struct Case {
    const char* file;
    const char* value;  // nullptr: the key is not set
  };
  const Case cases[] = {
      {"ESCAPED_STRING = True\n", "True"},
      {"  Escaped_String\t=\t yes  \r\n", "yes"},
      {"# escaped_string = yes\n", nullptr},
      {"escaped_string = yes # turned on\n", "yes"},
      {"escaped_string yes\n", nullptr},
      {"escaped_strings = yes\n", nullptr},
      {"[section]\nescaped_string = 1\n", "1"},
      {"escaped_string = no\nescaped_string = yes\n", "yes"},  // the last line counts
      {"escaped_string = a=b\n", "a=b"},
      {"escaped_string = 1", "1"},                             // no final line break
  };
  for (const Case& c : cases) {
    write_user(c.file);
    const auto [text, source] = read();
    if (c.value == nullptr) {
      EXPECT_EQ(source, SettingSource::Default) << c.file;
    } else {
      EXPECT_EQ(source, SettingSource::User) << c.file;
      EXPECT_EQ(text, c.value) << c.file;
    }
  }
}

TEST_F(SettingsFiles, ValueIsCutToFifteenBytesOnACharacterBoundary) {
  write_user("escaped_string = yes please, and much more text\n");
  EXPECT_EQ(read().first, "yes please, and");
  write_user("escaped_string = \xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\n");  // 16 bytes
  EXPECT_EQ(read().first, "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9");           // 14 bytes
}

TEST_F(SettingsFiles, RelativeXdgConfigHomeIsIgnored) {
  setenv("XDG_CONFIG_HOME", "relative/dir", 1);
  write(root_ / "home" / ".config" / "expression" / "config", "escaped_string = yes\n");
  EXPECT_EQ(settings_user_file(), (root_ / "home" / ".config" / "expression" / "config").string());
  EXPECT_EQ(read(), std::make_pair(std::string("yes"), SettingSource::User));
}

// Whether an engine's programs read a backslash in a string literal as an escape.
bool escapes_on(exp_engine* e) {
  exp_pcode* p = nullptr;
  EXPECT_EQ(exp_make_pcode(e, "len('a\\b')", &p, EXP_INTEGER, 0, 0, nullptr), 0);
  exp_symval* r = nullptr;
  EXPECT_EQ(exp_execute(e, p, &r), 0);
  const bool on = r->value.i == 2;
  exp_free_pcode(e, p);
  return on;
}

// A host that wants rules to mean the same for every user starts its engines without the user's
// file; the machine's file, which only its administrator writes, still counts, and clones are
// made the same way.
TEST_F(SettingsFiles, EnginesCanBeMadeWithoutTheUsersFile) {
  write_user("escaped_string = yes\n");
  const struct {
    unsigned flags;
    bool machine_on;
    bool on;
  } rows[] = {{0, false, true}, {EXP_INIT_NO_USER_SETTINGS, false, false}, {EXP_INIT_NO_USER_SETTINGS, true, true}};
  for (const auto& row : rows) {
    write_machine(row.machine_on ? "escaped_string = yes\n" : "escaped_string = no\n");
    exp_engine* e = exp_init_ex(row.flags);
    ASSERT_NE(e, nullptr);
    exp_engine* clone = exp_clone(e);
    EXPECT_EQ(escapes_on(e), row.on) << row.flags << row.machine_on;
    EXPECT_EQ(escapes_on(clone), row.on) << row.flags << row.machine_on;
    exp_clean(clone);
    exp_clean(e);
  }
  EXPECT_EQ(exp_init_ex(0x80), nullptr);  // an unknown flag: no engine rather than a guess
}

TEST(SettingsDecision, PrefixesTurnTheOptionOn) {
  struct Case {
    const char* text;
    bool on;
  };
  const Case cases[] = {
      {"yes", true},  {"YES", true},   {"True", true},   {"1", true},    {"yes please", true}, {"10", true},
      {"no", false},  {"0", false},    {"tru", false},   {"ye", false},  {"", false},          {" yes", false},
      {"false", false}, {"y", false},
  };
  for (const Case& c : cases) EXPECT_EQ(settings_escaped_string_enabled(c.text), c.on) << '"' << c.text << '"';
}

}  // namespace
