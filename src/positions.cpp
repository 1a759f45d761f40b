// The position table (see positions.h).
#include "positions.h"

#include <algorithm>
#include <iterator>

void PositionTable::resize(size_t n, exp_srcpos fill) {
  if (n < count_) {
    while (!runs_.empty() && runs_.back().first >= n) runs_.pop_back();
    count_ = n;
    return;
  }
  if (n > count_) {
    if (runs_.empty() || !(runs_.back().pos == fill)) runs_.push_back(Run{static_cast<uint32_t>(count_), fill});
    count_ = n;
  }
}

exp_srcpos PositionTable::operator[](size_t index) const {
  // The last run starting at or before `index`.
  auto after = std::upper_bound(runs_.begin(), runs_.end(), index,
                                [](size_t i, const Run &run) { return i < run.first; });
  return after == runs_.begin() ? exp_srcpos{0, 0} : std::prev(after)->pos;
}
