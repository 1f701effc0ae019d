// The simulated computer's operating-system services: the box controllers on USB appear as
// tty devices with /dev/serial/by-id links, listed as libudev lists them (by device path,
// so in USB port order), SIM_USB plugs, unplugs and reboots them into their bootloader,
// and a flashing script that succeeds leaves the box on the new firmware.
// Registered as the printer object "system_services".
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "klippy/host/config.h"
#include "klippy/host/gcode.h"
#include "klippy/host/module.h"
#include "klippy/host/system_services.h"
#include "sim/host/carried_hardware.h"

namespace sim {

class SimUsbBoxes final : public klippy::SystemServices {
 public:
  static constexpr const char* kDefaultVersion = "1.0.0";
  // A firmware that puts no version into its link.
  static constexpr const char* kNoVersion = "none";
  static constexpr int kMaxBox = 9;
  static constexpr int kMaxPort = 9;

  // Boxes from the [mcu mcu_boxN] sections whose serial is a by-id link, or the boxes
  // plugged in before an in-place restart; other by-id MCUs are fixed devices.
  explicit SimUsbBoxes(klippy::ConfigSection& root);

  std::vector<klippy::TtyDevice> list_tty_devices() override;
  klippy::ShellResult run_shell(const std::string& command) override;
  std::optional<klippy::Value> get_status(double eventtime) override;

  const std::vector<UsbBox>& boxes() const { return boxes_; }
  // The by-id link of box `box` running firmware `version` ("x.y.z"; major 2 and above are
  // the second firmware generation; kNoVersion a first-generation link without one).
  static std::string box_link(int box, const std::string& version);
  static std::string bootloader_link(int box);
  // The box number in a link of either kind; none for a link that names no box.
  static std::optional<int> box_in_link(const std::string& link);

 private:
  void cmd_SIM_USB(klippy::GCodeCommand& gcmd);
  UsbBox* find(int box);
  bool port_taken(int port) const;
  int free_tty() const;
  void flashed(const std::vector<std::string>& words);

  std::vector<UsbBox> boxes_;  // ascending box numbers
  std::vector<std::string> fixed_links_;
};

// Adds "system_services" with the simulated USB boxes at start.
klippy::ExtraModule sim_usb_module();

}  // namespace sim
