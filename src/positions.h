// Where in the program text each instruction of a program came from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// A place in the program text (0, 0 when unknown).
struct exp_srcpos {
  int32_t line;
  int32_t column;
};

inline bool operator==(const exp_srcpos &a, const exp_srcpos &b) { return a.line == b.line && a.column == b.column; }

// The position of every instruction, indexed like the instructions, kept as runs: the
// instructions of one operator, call or statement (a call and its operand slots) share one
// position, so a run per change takes a fraction of the memory of a position per instruction.
class PositionTable {
 public:
  // Appends the position of the next instruction (may throw std::bad_alloc).
  void push_back(exp_srcpos pos) {
    if (runs_.empty() || !(runs_.back().pos == pos)) runs_.push_back(Run{static_cast<uint32_t>(count_), pos});
    ++count_;
  }
  // Makes the table `n` instructions long: cut, or extended with `fill`.
  void resize(size_t n, exp_srcpos fill);
  // Room for the runs of about `instructions` instructions.
  void reserve(size_t instructions) { runs_.reserve(instructions / kInstructionsPerRun + 1); }
  void shrink_to_fit() { runs_.shrink_to_fit(); }
  size_t size() const { return count_; }
  // The position of instruction `index` (below size()).
  exp_srcpos operator[](size_t index) const;

 private:
  // What a run covers in typical programs, for reserving.
  static constexpr size_t kInstructionsPerRun = 3;
  struct Run {
    uint32_t first;  // the first instruction of the run
    exp_srcpos pos;
  };
  std::vector<Run> runs_;
  size_t count_ = 0;
};
