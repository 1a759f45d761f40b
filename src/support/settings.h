// Settings read from configuration files: the user's file first, then the machine-wide one.
//
//   user file:    $XDG_CONFIG_HOME/expression/config  (default ~/.config/expression/config)
//   machine file: $EXPRESSION_SYSCONFDIR/config       (default /etc/expression/config)
//
// Each file holds lines `key = value`. Keys are compared without regard to case, blanks around
// the key and the value are ignored, '#' starts a comment that runs to the end of the line, and
// lines without '=' are ignored. Within one file the last line with the key counts; the first
// file that has the key wins, even when its value is empty. Missing or unreadable files count as
// not having the key.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Where a setting's text came from.
enum class SettingSource { Default, User, Machine };

// Bytes of the buffer that holds the "escaped_string" setting (15 bytes of text and a NUL).
inline constexpr std::size_t SETTINGS_VALUE_SIZE = 16;

// Full paths of the two files ("" when the user's home cannot be found).
std::string settings_user_file();
std::string settings_machine_file();

// Copies the text of setting `key` into `dest` (`size` bytes, at least 1): at most `size` - 1
// bytes cut on a character boundary, then a terminator. When no file has the key, `fallback` is
// copied the same way. Returns where the text came from; never fails.
// With `user` false the user's file is not read: only the machine file and the fallback count.
SettingSource settings_read(std::string_view key, std::string_view fallback, char* dest, std::size_t size,
                            bool user = true);

// The raw "escaped_string" setting into `dest` (SETTINGS_VALUE_SIZE bytes), "no" when unset.
SettingSource settings_read_escaped_string(char* dest, std::size_t size = SETTINGS_VALUE_SIZE, bool user = true);

// Whether an "escaped_string" text turns the option on: it begins, without regard to case,
// with "true", "yes" or "1" ("YES", "True", "yes please" do; "no", "0", "tru" do not).
bool settings_escaped_string_enabled(std::string_view text);

// Reads the "escaped_string" setting and decides as above; `user` as for settings_read.
bool settings_escaped_string_enabled();
bool settings_escaped_string_enabled_for(bool user);
