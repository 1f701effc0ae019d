// Front ends show the box busy while its box_button_state is 1. A sequence holds a BoxBusy
// for as long as it runs; however it ends (done, refused, an error) the flag goes back to
// what it was, so a sequence run inside another leaves the outer one shown busy.
#pragma once

#include "klippy/extras/feedhub/box_sensors.h"

namespace feedhub {

class BoxBusy {
 public:
  explicit BoxBusy(BoxSensors& sensors) : sensors_(sensors), previous_(sensors.box_button_state()) {
    sensors_.set_box_button_state(1);
  }
  ~BoxBusy() { sensors_.set_box_button_state(previous_); }
  BoxBusy(const BoxBusy&) = delete;
  BoxBusy& operator=(const BoxBusy&) = delete;

 private:
  BoxSensors& sensors_;
  int previous_;
};

}  // namespace feedhub
