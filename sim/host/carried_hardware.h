// What the hardware keeps while the host software restarts in place: the filament in the
// boxes and the printer, and the USB devices plugged in. The new host finds it as the
// printer object "sim_carried_hardware" and starts from it instead of its configuration.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "klippy/host/object.h"
#include "sim/world/filament_world.h"

namespace sim {

struct UsbBox {
  int box = 1;
  std::string link;  // its /dev/serial/by-id/ link while it runs its firmware
  std::string version;
  bool in_bootloader = false;
  int port = 1;  // USB port number: the device manager lists devices in port order
  int tty = 0;   // /dev/ttyACM<tty>, the lowest number free when it was plugged
};

struct CarriedHardware {
  std::optional<WorldSnapshot> world;
  // The physical box (the number in its link) behind each of the world's box positions.
  std::vector<std::optional<int>> world_boxes;
  std::optional<std::vector<UsbBox>> usb_boxes;
};

class SimCarriedHardware final : public klippy::PrinterObject {
 public:
  static constexpr const char* kName = "sim_carried_hardware";
  explicit SimCarriedHardware(CarriedHardware state) : state_(std::move(state)) {}
  const CarriedHardware& state() const { return state_; }

 private:
  CarriedHardware state_;
};

}  // namespace sim
