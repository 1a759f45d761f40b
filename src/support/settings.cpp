// Lookup of settings in the user's and the machine's configuration files.
#include "support/settings.h"

#include "support/uchar.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <vector>

namespace {

constexpr std::string_view kEscapedStringKey = "escaped_string";
constexpr std::string_view kEscapedStringDefault = "no";

std::string_view trim(std::string_view s) {
  constexpr std::string_view kBlanks = " \t\r\n\v\f";
  const std::size_t first = s.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(kBlanks) - first + 1);
}

// An environment variable that is set to a non-empty text.
std::optional<std::string> env(const char* name) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') return std::nullopt;
  return std::string(v);
}

// The user's home directory: $HOME, else the password database.
std::optional<std::string> home_directory() {
  if (auto home = env("HOME")) return home;
  long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(static_cast<std::size_t>(hint > 0 ? hint : 16384));
  passwd pw{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found) != 0 || found == nullptr) return std::nullopt;
  if (pw.pw_dir == nullptr || *pw.pw_dir == '\0') return std::nullopt;
  return std::string(pw.pw_dir);
}

// The value of `key` on one line, if the line sets it.
std::optional<std::string_view> value_on_line(std::string_view line, std::string_view key) {
  line = line.substr(0, line.find('#'));
  const std::size_t eq = line.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  if (np_uchar_icomp(trim(line.substr(0, eq)), key) != 0) return std::nullopt;
  return trim(line.substr(eq + 1));
}

// The value of `key` in a file (the last line that sets it), if the file can be read and has it.
std::optional<std::string> value_in_file(const std::string& path, std::string_view key) {
  if (path.empty()) return std::nullopt;
  std::ifstream in(path);
  std::optional<std::string> found;
  for (std::string line; std::getline(in, line);) {
    if (auto v = value_on_line(line, key)) found = std::string(*v);
  }
  return found;
}

void copy_value(std::string_view text, char* dest, std::size_t size) {
  if (dest == nullptr || size == 0) return;
  const std::size_t n = np_uchar_cut(text, size - 1);
  std::memcpy(dest, text.data(), n);
  dest[n] = '\0';
}

// ASCII case-insensitive test that `text` begins with `word`.
bool starts_with_word(std::string_view text, std::string_view word) {
  if (text.size() < word.size()) return false;
  return std::equal(word.begin(), word.end(), text.begin(), [](char w, char t) {
    return w == t || (t >= 'A' && t <= 'Z' && w == t - 'A' + 'a');
  });
}

}  // namespace

// XDG rules: a relative $XDG_CONFIG_HOME is ignored.
std::string settings_user_file() {
  if (auto xdg = env("XDG_CONFIG_HOME"); xdg && (*xdg)[0] == '/') return *xdg + "/expression/config";
  if (auto home = home_directory()) return *home + "/.config/expression/config";
  return {};
}

std::string settings_machine_file() {
  if (auto dir = env("EXPRESSION_SYSCONFDIR")) return *dir + "/config";
  return "/etc/expression/config";
}

SettingSource settings_read(std::string_view key, std::string_view fallback, char* dest, std::size_t size,
                            bool user) {
  struct Candidate {
    std::string path;
    SettingSource source;
  };
  const Candidate candidates[] = {{settings_user_file(), SettingSource::User},
                                  {settings_machine_file(), SettingSource::Machine}};
  for (const Candidate& c : candidates) {
    if (c.source == SettingSource::User && !user) continue;
    if (auto value = value_in_file(c.path, key)) {
      copy_value(*value, dest, size);
      return c.source;
    }
  }
  copy_value(fallback, dest, size);
  return SettingSource::Default;
}

SettingSource settings_read_escaped_string(char* dest, std::size_t size, bool user) {
  return settings_read(kEscapedStringKey, kEscapedStringDefault, dest, size, user);
}

bool settings_escaped_string_enabled(std::string_view text) {
  constexpr std::string_view kOnWords[] = {"true", "yes", "1"};
  return std::any_of(std::begin(kOnWords), std::end(kOnWords),
                     [text](std::string_view w) { return starts_with_word(text, w); });
}

bool settings_escaped_string_enabled_for(bool user) {
  char text[SETTINGS_VALUE_SIZE];
  settings_read_escaped_string(text, sizeof text, user);
  return settings_escaped_string_enabled(std::string_view(text));
}

bool settings_escaped_string_enabled() { return settings_escaped_string_enabled_for(true); }
