// Run-out groups: slots a user puts in one group back each other up. When one runs out in a
// print, the next slot of its group with filament parked in the box takes its tool over,
// whatever filament that spool is described as. A slot in no group is backed up, while the
// saved switch auto_reload_detect is on, by the next slot holding exactly its filament.
#pragma once

#include <optional>
#include <string>

namespace feedhub {

class FeedHub;

inline constexpr int kMaxRunoutGroup = 16;

// "runout_group_slot5": the saved group of a slot, absent for none.
std::string runout_group_key(int slot);
// The group of `slot`, 0 for none; CommandError naming the key for a bad saved value.
int runout_group(const FeedHub& hub, int slot);
// Whether a run-out of `slot` during a print is handed over to another slot.
bool hands_over_on_runout(const FeedHub& hub, int slot);
// Whether `candidate` may take over from `ran_out` by group (both in the same one); for a
// slot in no group, nullopt: exact filament matching decides.
std::optional<bool> same_runout_group(const FeedHub& hub, int ran_out, int candidate);

}  // namespace feedhub
