// Record keys and per-key state switching.
#include "keys.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace {

// A letter per FieldKind, so that a key's fields keep their kinds: the JSON string "1" and the
// JSON number 1 are different keys.
constexpr char kKindLetter[] = {'T', 'N', 'Q', 'R', 'B', 'J'};
static_assert(sizeof kKindLetter == static_cast<size_t>(FieldKind::Nested) + 1);

void put_length(std::string *out, uint32_t n) { out->append(reinterpret_cast<const char *>(&n), sizeof n); }

int last_error(exp_engine *e) {
  const char *message = nullptr;
  return exp_error_info(e, &message, nullptr, nullptr);
}

}  // namespace

bool KeyColumns::bind(const std::vector<std::string> &keys, const std::vector<std::string> &columns, std::string *error) {
  indexes_.clear();
  for (const std::string &k : keys) {
    size_t i = 0;
    while (i < columns.size() && columns[i] != k) ++i;
    if (i == columns.size()) {
      *error = "the key column '" + k + "' is not a column of the input";
      return false;
    }
    indexes_.push_back(i);
  }
  return true;
}

void KeyColumns::encode(const Record &r, std::string *out) const {
  out->clear();
  for (size_t i : indexes_) {
    const bool present = i < r.fields.size() && r.unreadable.empty();
    const FieldKind kind = present ? r.kinds[i] : FieldKind::Null;
    out->push_back(kKindLetter[static_cast<int>(kind)]);
    if (kind == FieldKind::Null) continue;
    put_length(out, static_cast<uint32_t>(r.fields[i].size()));
    out->append(r.fields[i]);
  }
}

void KeyColumns::decode(std::string_view key, size_t columns, Record *out) const {
  out->resize(columns);
  for (size_t c = 0; c < columns; ++c) {
    out->fields[c].clear();
    out->kinds[c] = FieldKind::Null;
  }
  size_t at = 0;
  for (size_t i : indexes_) {
    const char letter = key[at++];
    if (letter == 'N') continue;
    uint32_t n;
    std::memcpy(&n, key.data() + at, sizeof n);
    at += sizeof n;
    out->fields[i].assign(key.substr(at, n));
    out->kinds[i] = static_cast<FieldKind>(std::find(std::begin(kKindLetter), std::end(kKindLetter), letter) - kKindLetter);
    at += n;
  }
}

KeyStates::~KeyStates() {
  for (Key &k : keys_) exp_state_free(k.block);
  exp_state_free(fresh_);
}

int KeyStates::start() {
  fresh_ = exp_state_save(e_, p_);
  return fresh_ ? 0 : last_error(e_);
}

int KeyStates::leave_active() {
  if (active_ < 0) return 0;
  int rc = exp_state_swap(e_, p_, keys_[static_cast<size_t>(active_)].block);
  if (!rc) active_ = -1;
  return rc;
}

int KeyStates::enter(const std::string &key, uint64_t seq, bool *added) {
  auto it = index_.find(key);
  *added = it == index_.end();
  if (!*added) return enter(it->second);
  if (int rc = leave_active()) return rc;
  // The new key starts from the fresh state; its block, a copy, is the spare while it is active.
  if (int rc = exp_state_restore(e_, p_, fresh_)) return rc;
  exp_state *block = exp_state_save(e_, p_);
  if (!block) return last_error(e_);
  auto [pos, ok] = index_.emplace(key, static_cast<uint32_t>(keys_.size()));
  keys_.push_back({&pos->first, block, seq});
  active_ = static_cast<long>(keys_.size() - 1);
  return 0;
}

int KeyStates::enter(size_t k) {
  if (active_ == static_cast<long>(k)) return 0;
  if (int rc = leave_active()) return rc;
  if (int rc = exp_state_swap(e_, p_, keys_[k].block)) return rc;
  active_ = static_cast<long>(k);
  return 0;
}
