// Facts about the running process: the user's name and unique identifiers.
#include "support/sysinfo.h"

#include <pwd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <random>
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

namespace {

constexpr int kIdBits = 80;  // 16 characters of 5 bits
constexpr int kHalfBits = kIdBits / 2;
constexpr uint64_t kHalfMask = (uint64_t{1} << kHalfBits) - 1;
constexpr int kRounds = 6;

using Id = unsigned __int128;

// The stamp and the process id packed into the low 79 bits.
Id packed_id() {
  return (static_cast<Id>(next_stamp()) << kPidBits) |
         (static_cast<uint64_t>(::getpid()) & ((uint64_t{1} << kPidBits) - 1));
}

void write_id(Id value, char *buffer) {
  static constexpr char kDigits[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";  // 32 symbols, no I L O U
  for (size_t k = NP_UNIQ_LENGTH; k-- > 0;) {
    buffer[k] = kDigits[static_cast<unsigned>(value & 31)];
    value >>= 5;
  }
  buffer[NP_UNIQ_LENGTH] = '\0';
}

// A 64-bit mixing function (the finaliser of splitmix64): every input bit reaches every output bit.
uint64_t mix(uint64_t x) {
  x ^= x >> 30;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 27;
  x *= 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

struct RoundKeys {
  uint64_t k[kRounds];
};

// Drawn once per process from the system's random source; read-only afterwards.
const RoundKeys &round_keys() {
  static const RoundKeys keys = [] {
    std::random_device source;
    RoundKeys drawn{};
    for (uint64_t &k : drawn.k) k = (static_cast<uint64_t>(source()) << 32) ^ source();
    return drawn;
  }();
  return keys;
}

// A balanced Feistel network over the 80-bit value: a permutation, whatever the round function.
Id encipher(Id value) {
  uint64_t left = static_cast<uint64_t>(value >> kHalfBits) & kHalfMask;
  uint64_t right = static_cast<uint64_t>(value) & kHalfMask;
  for (uint64_t key : round_keys().k) {
    const uint64_t next = left ^ (mix(right ^ key) & kHalfMask);
    left = right;
    right = next;
  }
  return (static_cast<Id>(left) << kHalfBits) | right;
}

}  // namespace

void np_uniq_s64(char *buffer) { write_id(packed_id(), buffer); }

void np_uniq_s64_anonymous(char *buffer) { write_id(encipher(packed_id()), buffer); }
