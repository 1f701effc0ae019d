// What [filament_world] says: the geometry of the filament path, which MCU pins carry
// which sensor, and the spools in the slots at start. Read by the simulator's world and by
// the micro-controller emulator, which puts the same world behind its pins.
#pragma once

#include <functional>
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

// Injects a fault of SIM_FAULT's KIND (jam, entry_refused, tag_unreadable, runout, slip,
// clear) at `now`; `amount` reads LENGTH for a runout and RATIO for a slip. Throws
// std::invalid_argument naming the kinds for another.
void apply_world_fault(FilamentWorld& world, int slot, const std::string& kind,
                       const std::function<double(const std::string& key)>& amount, double now);

}  // namespace sim
