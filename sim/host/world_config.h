// What [filament_world] says: the geometry of the filament path, which MCU pins carry
// which sensor, and the spools in the slots at start. Read by the simulator's world and by
// the micro-controller emulator, which puts the same world behind its pins.
#pragma once

#include <string>
#include <vector>

#include "klippy/host/config.h"
#include "sim/world/filament_world.h"

namespace sim {

struct WorldPinBinding {
  std::string option;
  std::string pin;  // as written: "[!]chip:pin"
  SensorId sensor;
};

struct WorldInitialSpool {
  int slot;
  SpoolSpec wanted;
};

struct WorldConfig {
  WorldGeometry geometry;
  std::vector<WorldPinBinding> pins;
  std::vector<WorldInitialSpool> spools;
};

// ConfigError for an option out of its range or a malformed spool, tag or tip.
WorldConfig read_world_config(klippy::ConfigSection& config);

// Parses "PLA FF0000 [length_mm]" as written after slotN_spool; ConfigError when malformed.
// The spool gets the tag of its filament and colour (spool_tag.h).
SpoolSpec parse_spool_option(const std::string& text, const std::string& where);

// Six hex digits, RRGGBB.
bool valid_color(const std::string& color);

}  // namespace sim
