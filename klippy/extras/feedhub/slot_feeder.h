// What the box controller needs from a slot feeder ("feedlane slotN"). The feeders live in
// their own module, which links against this one; calling them through this interface
// keeps the dependency one-way.
#pragma once

#include <string>

#include "klippy/host/object.h"

namespace feedhub {

class SlotFeeder : public klippy::PrinterObject {
 public:
  // Couples the slot motor to the extruder (true) or detaches it (false) and records the
  // new coupling in the saved variables.
  virtual void slot_sync(bool sync) = 0;
  // 1 while the slot's runout sensor sees no filament, 0 while it sees filament.
  virtual int r_endstop_state() const = 0;
  // "slot" + slot number, e.g. "slot5".
  virtual const std::string& stepper_name() const = 0;
};

}  // namespace feedhub
