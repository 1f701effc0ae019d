#include "sim/host/spi.h"

#include <array>

#include "klippy/host/errors.h"
#include "klippy/host/printer.h"
#include "sim/host/mcu.h"
#include "sim/host/pins.h"

namespace sim {

SimSpiDevice::SimSpiDevice(SimMcu& mcu, SpiSettings settings)
    : mcu_(mcu),
      settings_(std::move(settings)),
      oid_(mcu.create_oid()),
      queue_(mcu.alloc_command_queue()) {
  const std::string oid = std::to_string(oid_);
  mcu_.add_config_cmd("config_spi oid=" + oid + " pin=" + settings_.cs_pin + " cs_active_high=0");
  const std::string rate =
      " mode=" + std::to_string(settings_.mode) + " rate=" + std::to_string(settings_.speed_hz);
  if (settings_.software)
    mcu_.add_config_cmd("spi_set_software_bus oid=" + oid + rate);
  else
    mcu_.add_config_cmd("spi_set_bus oid=" + oid + " spi_bus=" + settings_.bus.value_or("spi") +
                        rate);
}

klippy::Mcu& SimSpiDevice::get_mcu() {
  return mcu_;
}

std::unique_ptr<klippy::SpiDevice> make_spi(klippy::ConfigSection& config, int mode,
                                            const std::string& pin_option, int default_speed,
                                            const std::string& share_type) {
  if (mode < 0 || mode > 3)
    throw klippy::ConfigError("SPI mode " + std::to_string(mode) + " of section '" +
                              config.get_name() + "' must be 0, 1, 2 or 3");
  auto& pins = config.get_printer().lookup_object<SimPins>("pins");
  const klippy::PinParams cs = pins.lookup_pin_option(config, pin_option, false, false, share_type);
  SimMcu& mcu = SimPins::sim_chip(cs);
  SpiSettings settings;
  settings.cs_pin = cs.pin;
  settings.mode = mode;
  settings.speed_hz = config.getint("spi_speed", default_speed, {100000, {}});
  if (config.get_optional("spi_software_sclk_pin")) {
    settings.software = true;
    for (const char* option :
         {"spi_software_sclk_pin", "spi_software_mosi_pin", "spi_software_miso_pin"}) {
      const klippy::PinParams pin =
          pins.lookup_pin_option(config, option, false, false, "spi_software_bus");
      if (pin.chip != cs.chip)
        throw klippy::ConfigError("Option '" + std::string(option) + "' in section '" +
                                  config.get_name() +
                                  "' names a pin of another mcu; all SPI pins must be on the "
                                  "chip select's mcu '" +
                                  mcu.get_name() + "'");
    }
  } else {
    settings.bus = config.get_optional("spi_bus");
  }
  return std::make_unique<SimSpiDevice>(mcu, std::move(settings));
}

}  // namespace sim
