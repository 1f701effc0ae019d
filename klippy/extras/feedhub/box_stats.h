// How each slot has been used: extruder loads and unloads, failures by error code, retries,
// runouts and the filament its motor fed. Kept in the saved variables under
// "stats_<what>_slot<N>" ("stats_fail_<code>_slot<N>"; "_box" for failures of no particular
// slot), only when not zero. Counting never writes: the counts ride along with the next
// save, which every operation makes anyway, so a feed move costs no write.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>

#include "klippy/host/variables_file.h"

namespace feedhub {

// The slot number of the counts of no particular slot.
inline constexpr int kNoSlotStats = -1;

struct SlotStats {
  long long loads = 0, unloads = 0, retries = 0, runouts = 0;
  double fed_mm = 0.0;
  std::map<int, long long> failures;  // by error code
};

// Counts per slot number (kNoSlotStats for none).
using StatsBySlot = std::map<int, SlotStats>;

class BoxStats {
 public:
  void count_load(int slot) { ++pending_[slot].loads; }
  void count_unload(int slot) { ++pending_[slot].unloads; }
  void count_retry(int slot) { ++pending_[slot].retries; }
  void count_runout(int slot) { ++pending_[slot].runouts; }
  void count_failure(std::optional<int> slot, int code) {
    ++pending_[slot.value_or(kNoSlotStats)].failures[code];
  }
  void add_fed_mm(int slot, double mm) {
    if (mm > 0.0) pending_[slot].fed_mm += mm;
  }

  bool has_pending() const { return !pending_.empty(); }
  // What was counted since the last save, now to be saved; put_back when the save failed.
  StatsBySlot take() { return std::exchange(pending_, {}); }
  void put_back(const StatsBySlot& counts);
  void forget_pending() { pending_.clear(); }
  // The saved counts with what is not saved yet.
  StatsBySlot totals(const klippy::VariableMap& variables) const;

 private:
  StatsBySlot pending_;
};

// Adds `counts` to the saved counts in `variables`. A saved count that is no whole number
// of 0 or more (written by hand) starts again from 0 rather than failing the save it rides.
void fold_stats(klippy::VariableMap& variables, const StatsBySlot& counts);
bool is_stats_key(const std::string& key);

// BOX_STATS: one line per slot that has counts, and a total.
std::string stats_text(const StatsBySlot& stats);

}  // namespace feedhub
