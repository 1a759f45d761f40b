// Facts about the running process: the user's name and unique identifiers.
#include "support/sysinfo.h"

#include <pwd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/uchar.h"

namespace {

// Name of the effective user in the password database, or "".
std::string password_entry_name() {
  long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> scratch(hint > 0 ? static_cast<size_t>(hint) : 16384);
  struct passwd entry, *found = nullptr;
  if (::getpwuid_r(::geteuid(), &entry, scratch.data(), scratch.size(), &found) != 0 || !found || !found->pw_name)
    return "";
  return found->pw_name;
}

std::string user_name() {
  std::string name = password_entry_name();
  if (!name.empty()) return name;
  for (const char *variable : {"USER", "LOGNAME"})
    if (const char *value = std::getenv(variable); value && *value) return value;
  return std::to_string(::geteuid());
}

constexpr int kPidBits = 22;      // Linux process ids stay below 2^22
constexpr int kCounterBits = 16;  // calls within one millisecond before the stamp runs ahead

// A stamp that grows with every call: the time in milliseconds shifted left by kCounterBits, or
// the previous stamp + 1 when that is larger. The one piece of process-wide state here: the
// identifiers must differ across all threads of the process.
uint64_t next_stamp() {
  static std::atomic<uint64_t> last{0};
  auto now = std::chrono::system_clock::now().time_since_epoch();
  auto ms = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
  uint64_t candidate = ms << kCounterBits;
  uint64_t previous = last.load(std::memory_order_relaxed);
  uint64_t next;
  do next = candidate > previous ? candidate : previous + 1;
  while (!last.compare_exchange_weak(previous, next, std::memory_order_relaxed));
  return next;
}

}  // namespace

void np_osinf_user(char *buffer, size_t size) {
  if (!buffer || size == 0) return;
  std::string name = user_name();
  np_uchar_bufcopy(name.c_str(), buffer, size > INT32_MAX ? INT32_MAX : static_cast<int>(size));
}

void np_uniq_s64(char *buffer) {
  static constexpr char kDigits[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";  // 32 symbols, no I L O U
  unsigned __int128 value = (static_cast<unsigned __int128>(next_stamp()) << kPidBits) |
                            (static_cast<uint64_t>(::getpid()) & ((uint64_t{1} << kPidBits) - 1));
  for (size_t k = NP_UNIQ_LENGTH; k-- > 0;) {
    buffer[k] = kDigits[static_cast<unsigned>(value & 31)];
    value >>= 5;
  }
  buffer[NP_UNIQ_LENGTH] = '\0';
}
