// What the box controller needs from a slot feeder ("feedlane slotN"). The feeders live in
// their own module, which links against this one; calling them through this interface
// keeps the dependency one-way.
#pragma once

#include <string>

#include "klippy/extras/feedhub/op_result.h"
#include "klippy/host/gcode.h"
#include "klippy/host/object.h"

namespace feedhub {

class SlotFeeder : public klippy::PrinterObject {
 public:
  // Couples the slot motor to the extruder (true) or detaches it (false) and records the
  // new coupling in the saved variables.
  virtual void slot_sync(bool sync) = 0;
  // When the saved coupling names this slot, puts its motor back on the extruder's queue
  // without writing anything (the host's ready event allows no save); true when it did.
  virtual bool follow_extruder_if_coupled() = 0;
  // 1 while the slot's runout sensor sees no filament, 0 while it sees filament.
  virtual int r_endstop_state() const = 0;
  // The slot motor follows the extruder's moves now (coupled, and no move of its own since).
  virtual bool follows_extruder() const = 0;
  virtual bool is_drying() const = 0;
  // "slot" + slot number, e.g. "slot5".
  virtual const std::string& stepper_name() const = 0;
  virtual int stepper_num() const = 0;

  // Feed moves on the slot's own queue: queued, not waited for. Lengths mm, speeds mm/s.
  virtual void do_move(double movepos_mm, double speed_mm_s, double accel_mm_s2) = 0;
  virtual void dwell(double delay_s) = 0;
  virtual void disable_stepper() = 0;

  // The slot's filament operations, for the controller's commands that chain them.
  // Pulls new filament in to the box outlet and parks it.
  virtual OpResult slot_load() = 0;
  virtual void cmd_EXTRUDER_LOAD(klippy::GCodeCommand& gcmd) = 0;
  // Feeds the slot's filament from the box into the extruder and couples the slot motor;
  // says its success line, leaves a failure to the caller (conclude).
  virtual OpResult extruder_load() = 0;
  virtual void cmd_EXTRUDER_UNLOAD(klippy::GCodeCommand& gcmd, bool can_cut) = 0;
  // Withdraws the slot's filament from the extruder and parks it in the box (cutting first
  // when `can_cut` and no print runs); says its success line, leaves a failure to the
  // caller (conclude).
  virtual OpResult extruder_unload(bool can_cut) = 0;
  // Withdraws the slot's filament past its runout sensor, so that the spool can be taken
  // out; says its success line, leaves a failure to the caller (conclude).
  virtual OpResult slot_unload() = 0;
  // The replacement slot for this slot's tool after a runout, or -1.
  virtual int switch_next_slot() = 0;
  // Marks the slot's box as drying or not; when the drying ends the slot takes its state
  // from its runout sensor again.
  virtual void set_drying(bool drying) = 0;
  // Moves the strand back by `distance_mm` and forward again, so that it ends where it
  // started, and waits until it has; the sensor changes of its own moves are not a spool
  // removed or inserted.
  virtual void turn_over(double distance_mm, double speed_mm_s, double accel_mm_s2) = 0;
  // Reads the slot's filament tag; false when the strand did not reach the box outlet.
  virtual bool read_slot_tag() = 0;
};

}  // namespace feedhub
