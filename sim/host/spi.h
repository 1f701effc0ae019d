// An SPI device on a simulated MCU, built from a section's SPI options. The bus carries no
// traffic: devices on it answer through query commands registered on the MCU.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "klippy/host/config.h"
#include "klippy/host/mcu.h"

namespace sim {

class SimMcu;

struct SpiSettings {
  std::string cs_pin;  // pin name on the MCU, without modifiers
  int mode = 0;        // 0..3
  long long speed_hz = 100000;
  std::optional<std::string> bus;  // hardware bus; absent with software SPI
  bool software = false;           // sclk/mosi/miso pins given
};

class SimSpiDevice final : public klippy::SpiDevice {
 public:
  SimSpiDevice(SimMcu& mcu, SpiSettings settings);

  klippy::Mcu& get_mcu() override;
  int get_oid() const override { return oid_; }
  klippy::CommandQueue* get_command_queue() override { return queue_; }
  const SpiSettings& settings() const { return settings_; }

 private:
  SimMcu& mcu_;
  SpiSettings settings_;
  int oid_;
  klippy::CommandQueue* queue_;
};

// Reads `pin_option` (the chip select), spi_speed, and spi_bus or the software SPI pins
// spi_software_sclk_pin/mosi_pin/miso_pin (all on the chip select's MCU). Several devices may
// name the same chip select pin (`share_type`, as readers sharing one chip select do).
std::unique_ptr<klippy::SpiDevice> make_spi(klippy::ConfigSection& config, int mode,
                                            const std::string& pin_option = "cs_pin",
                                            int default_speed = 100000,
                                            const std::string& share_type = "");

}  // namespace sim
