// What the box believes about its filament, in types: each slot's state, the slot loaded
// into the extruder, the slot whose motor follows the extruder, and the failed step that
// waits for TRY_MOVE_AGAIN. Its store is the host's saved variables, under the keys and in
// the forms that the macros, front ends and users' files read ("slot<N>", "last_load_slot",
// "slot_sync", "retry_step"); the modules read and write those keys only through here.
//
// A box command's changes are written together when it ends, not one file write per step
// (on an SD card each write costs 10 to 100 ms of fsync, and a save holds up the print's
// G-code). Two kinds of change are written at once instead: the mark that a move has
// started (a slot set to AtSensor), so that a crash during the move leaves the file saying
// where the strand may be, and whatever waits when a pause hands over to the user's macros.
#pragma once

#include <functional>
#include <map>
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
  // `remove` takes keys out of the store at once.
  BoxState(const klippy::SaveVariables& store, std::function<void(const Changes&)> save,
           std::function<void(const std::vector<std::string>&)> remove)
      : store_(store), save_(std::move(save)), remove_(std::move(remove)) {}

  // Open while a box command runs; nested commands share the outermost one's write.
  class Batch {
   public:
    explicit Batch(BoxState* state) : state_(state) {
      if (state_) ++state_->open_batches_;
    }
    // An unwound command writes nothing here: what it changed stays believed and goes out
    // with the next write.
    ~Batch() {
      if (state_) --state_->open_batches_;
    }
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;
    // Ends the batch; the outermost one writes what changed. Throws klippy::CommandError
    // when the write fails (the changes stay believed and are written with the next one).
    void close();

   private:
    BoxState* state_;
  };

  // Writes what is believed but not yet in the file.
  void write_pending();
  // The value `key` will have once what is pending is written; nullptr when none waits.
  const klippy::Value* pending_value(const std::string& key) const;

  // The saved state of `slot`; nullopt when never saved or not one of the states (a value
  // written by hand).
  std::optional<SlotState> slot_state(int slot) const;
  // The state as saved, for those that show it raw (a value written by hand included).
  klippy::Value slot_value(int slot, const klippy::Value& never_saved = klippy::Value(0)) const;
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
  // Puts back a state read with slot_value() before a move that did not happen; a state
  // never saved is taken out of the store again.
  void restore_slot_value(int slot, const klippy::Value& before);
  void set_loaded_slot(std::optional<int> slot);
  void set_coupled_slot(std::optional<int> slot);
  void set_recorded_step(const klippy::Value& step);
  void clear_recorded_step() { set_recorded_step(klippy::Value()); }

 private:
  klippy::Value stored(const std::string& key, const klippy::Value& default_value) const;
  // Believes `changes` at once; writes them now when no command is open or `urgent`.
  void change(const Changes& changes, bool urgent = false);

  const klippy::SaveVariables& store_;
  std::function<void(const Changes&)> save_;
  std::function<void(const std::vector<std::string>&)> remove_;
  std::map<std::string, klippy::Value> pending_;
  int open_batches_ = 0;
};

}  // namespace feedhub
