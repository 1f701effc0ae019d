// What the box believes about its filament, in types: each slot's state, the slot loaded
// into the extruder, the slot whose motor follows the extruder, and the failed step that
// waits for TRY_MOVE_AGAIN. Its store is the host's saved variables, under the keys and in
// the forms that the macros, front ends and users' files read ("slot<N>", "last_load_slot",
// "slot_sync", "retry_step"); the modules read and write those keys only through here.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "klippy/extras/feedhub/slots.h"
#include "klippy/host/components.h"
#include "klippy/host/value.h"

namespace feedhub {

class BoxState {
 public:
  using Changes = std::vector<std::pair<std::string, klippy::Value>>;
  // `save` writes changed values to the store (one write for all of them) or throws
  // klippy::CommandError.
  BoxState(const klippy::SaveVariables& store, std::function<void(const Changes&)> save)
      : store_(store), save_(std::move(save)) {}

  // The saved state of `slot`; nullopt when never saved or not one of the states (a value
  // written by hand).
  std::optional<SlotState> slot_state(int slot) const;
  bool slot_is(int slot, SlotState state) const { return slot_state(slot) == state; }
  // The slot loaded into the extruder; nullopt when none is (or the saved name names no slot).
  std::optional<int> loaded_slot() const;
  // The slot whose motor follows the extruder; nullopt when none does.
  std::optional<int> coupled_slot() const;
  // The saved names as they stand, for messages: "slot3", or "slot-1" for none.
  std::string loaded_slot_name() const;
  std::string coupled_slot_name() const;
  // The failed step as recorded ("ZKE_004_006_1"); None or 0 when nothing waits.
  klippy::Value recorded_step() const;
  bool step_pending() const;

  void set_slot_state(int slot, SlotState state);
  void set_loaded_slot(std::optional<int> slot);
  void set_coupled_slot(std::optional<int> slot);
  void set_recorded_step(const klippy::Value& step);
  void clear_recorded_step() { set_recorded_step(klippy::Value()); }

 private:
  klippy::Value stored(const std::string& key, const klippy::Value& default_value) const;

  const klippy::SaveVariables& store_;
  std::function<void(const Changes&)> save_;
};

}  // namespace feedhub
