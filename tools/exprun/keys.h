// Keys of records (--group-by, --partition-by, --unique) and the per-key state of one worker.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "expression.h"
#include "records.h"

// The key columns of a run, and the key of a record as one string.
class KeyColumns {
 public:
  // Finds the key columns among the input's columns; false with *error naming one that is not.
  bool bind(const std::vector<std::string> &keys, const std::vector<std::string> &columns, std::string *error);
  // The record's key: per key column its kind and its length-prefixed text, so that null and ""
  // differ and no text can pass for two fields.
  void encode(const Record &r, std::string *out) const;
  // A record of `columns` fields holding the key's fields at their columns, null elsewhere.
  void decode(std::string_view key, size_t columns, Record *out) const;
  const std::vector<size_t> &indexes() const { return indexes_; }

 private:
  std::vector<size_t> indexes_;
};

// Bytes a key costs beyond its text (map node, state pointer, order), counted against --max-memory.
inline constexpr int64_t kKeyOverhead = 96;

// One worker's keys, each with its own block of the program's static variables (exp_state).
// The program's cells hold the state of the key entered last (the active one); its own block
// then holds a spare set of values, which the next switch overwrites.
class KeyStates {
 public:
  KeyStates(exp_engine *e, exp_pcode *p) : e_(e), p_(p) {}
  ~KeyStates();
  KeyStates(const KeyStates &) = delete;
  KeyStates &operator=(const KeyStates &) = delete;
  // Keeps the program's state as it is now (statics still null) for the keys to come. 0 or the
  // library's error.
  int start();
  // Makes `key`'s state the program's, adding the key (first seen at record `seq`) with a fresh
  // state when it is new. 0 or the library's error (EXP_E_LIMIT when memory runs out).
  int enter(const std::string &key, uint64_t seq, bool *added);
  // Makes key number `k` (order of first appearance on this worker) the active one.
  int enter(size_t k);
  size_t size() const { return keys_.size(); }
  const std::string &key(size_t k) const { return *keys_[k].key; }
  uint64_t first(size_t k) const { return keys_[k].first; }

 private:
  struct Key {
    const std::string *key;  // the index's copy
    exp_state *block;
    uint64_t first;
  };
  int leave_active();

  exp_engine *e_;
  exp_pcode *p_;
  exp_state *fresh_ = nullptr;
  std::unordered_map<std::string, uint32_t> index_;
  std::vector<Key> keys_;
  long active_ = -1;
};
