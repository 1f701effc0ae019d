#include "sim/host/world_config.h"

#include <cctype>
#include <sstream>
#include <stdexcept>

#include "sim/host/spool_tag.h"

namespace sim {
namespace {

constexpr klippy::FloatLimits kSpoolLength{.maxval = WorldGeometry::kMaxSpoolMm, .above = 0.0};

WorldGeometry read_geometry(klippy::ConfigSection& config) {
  WorldGeometry geometry;
  constexpr double kMaxPath = WorldGeometry::kMaxPathMm;
  geometry.outlet_mm =
      config.getfloat("outlet_mm", geometry.outlet_mm, {.maxval = kMaxPath, .above = 0.0});
  geometry.encoder_mm =
      config.getfloat("encoder_mm", geometry.encoder_mm, {.maxval = kMaxPath, .above = 0.0});
  geometry.tube_length_mm = config.getfloat("tube_length_mm", geometry.tube_length_mm,
                                            {.maxval = kMaxPath, .above = 0.0});
  geometry.detection_length_mm =
      config.getfloat("detection_length_mm", geometry.detection_length_mm,
                      {.minval = WorldGeometry::kMinDetectionMm, .maxval = kMaxPath});
  geometry.default_spool_length_mm =
      config.getfloat("spool_length_mm", geometry.default_spool_length_mm, kSpoolLength);
  geometry.reader_mm =
      config.getfloat("reader_mm", geometry.reader_mm, {.maxval = kMaxPath, .above = 0.0});
  geometry.tag_length_mm =
      config.getfloat("tag_length_mm", geometry.tag_length_mm, {.maxval = kMaxPath, .above = 0.0});
  geometry.boxes_share_outlet = config.getboolean("boxes_share_outlet", false);
  return geometry;
}

// slotN_tag: the tag of the spool that slotN_spool puts in the slot.
void read_tag_option(klippy::ConfigSection& config, int slot, WorldConfig& world) {
  const std::string option = "slot" + std::to_string(slot) + "_tag";
  const auto text = config.get_optional(option);
  if (!text) return;
  const std::string where = "Option '" + option + "' in section '" + config.get_name() + "'";
  if (world.spools.empty() || world.spools.back().slot != slot)
    throw klippy::ConfigError(where + " describes the tag of a spool: add slot" +
                              std::to_string(slot) + "_spool too");
  SpoolSpec& wanted = world.spools.back().wanted;
  try {
    const TagSetting tag = parse_tag_setting(*text, wanted.filament_type, wanted.color);
    wanted.tag = tag.tag;
    wanted.tag_unreadable = tag.unreadable;
  } catch (const std::invalid_argument& e) {
    throw klippy::ConfigError(where + ": " + e.what());
  }
}

// slotN_tip_mm: where that spool's strand tip starts along the path.
void read_tip_option(klippy::ConfigSection& config, int slot, WorldConfig& world) {
  const std::string option = "slot" + std::to_string(slot) + "_tip_mm";
  if (!config.get_optional(option)) return;
  const std::string where = "Option '" + option + "' in section '" + config.get_name() + "'";
  if (world.spools.empty() || world.spools.back().slot != slot)
    throw klippy::ConfigError(where + " places the strand of a spool: add slot" +
                              std::to_string(slot) + "_spool too");
  // A tip beyond the path would take the sensor sweeps through absurd distances.
  world.spools.back().wanted.tip_mm = config.getfloat(
      option, {}, {.minval = -WorldGeometry::kMaxPathMm, .maxval = WorldGeometry::kMaxPathMm});
}

void read_pin(klippy::ConfigSection& config, const std::string& option, SensorId sensor,
              WorldConfig& world) {
  if (auto pin = config.get_optional(option)) world.pins.push_back({option, *pin, sensor});
}

}  // namespace

bool valid_color(const std::string& color) {
  if (color.size() != 6) return false;
  for (unsigned char c : color) {
    if (!std::isxdigit(c)) return false;
  }
  return true;
}

SpoolSpec parse_spool_option(const std::string& text, const std::string& where) {
  std::istringstream in(text);
  SpoolSpec wanted;
  std::string length;
  in >> wanted.filament_type >> wanted.color >> length;
  if (wanted.filament_type.empty() || !valid_color(wanted.color)) {
    throw klippy::ConfigError(where + " must read '<filament> <RRGGBB> [length_mm]', not '" + text +
                              "'");
  }
  if (!length.empty()) {
    try {
      wanted.length_mm = std::stod(length);
    } catch (const std::exception&) {
      throw klippy::ConfigError(where + ": spool length '" + length + "' is not a number");
    }
    if (!(*wanted.length_mm > 0 && *wanted.length_mm <= WorldGeometry::kMaxSpoolMm))
      throw klippy::ConfigError(where + ": spool length must be above 0 and at most 10000000 mm");
  }
  wanted.tag = default_tag(wanted.filament_type, wanted.color);
  return wanted;
}

WorldConfig read_world_config(klippy::ConfigSection& config) {
  WorldConfig world{.geometry = read_geometry(config), .pins = {}, .spools = {}};
  const WorldGeometry& geometry = world.geometry;
  for (int box = 0; box < geometry.box_count(); ++box)
    read_pin(config, "box" + std::to_string(box + 1) + "_outlet_pin", SensorId::outlet(box), world);
  for (int slot = 0; slot < geometry.slot_count; ++slot) {
    std::string prefix = "slot" + std::to_string(slot);
    read_pin(config, prefix + "_runout_pin", SensorId::runout(slot), world);
    if (auto spool = config.get_optional(prefix + "_spool")) {
      world.spools.push_back(
          {slot, parse_spool_option(*spool, "Option '" + prefix + "_spool' in section '" +
                                                config.get_name() + "'")});
    }
    read_tag_option(config, slot, world);
    read_tip_option(config, slot, world);
  }
  read_pin(config, "encoder_pin", SensorId::encoder(), world);
  return world;
}

void apply_world_fault(FilamentWorld& world, int slot, const std::string& kind,
                       const std::function<double(const std::string& key)>& amount, double now) {
  if (kind == "jam") {
    world.set_jammed(slot, true, now);
  } else if (kind == "entry_refused") {
    world.set_entry_refused(slot, true, now);
  } else if (kind == "tag_unreadable") {
    world.set_tag_unreadable(slot, true);
  } else if (kind == "runout") {
    world.set_runout_after(slot, amount("LENGTH"), now);
  } else if (kind == "slip") {
    world.set_slip(slot, amount("RATIO"), now);
  } else if (kind == "clear") {
    world.clear_faults(slot, now);
  } else {
    throw std::invalid_argument(
        "KIND must be jam, entry_refused, tag_unreadable, runout (with LENGTH), slip (with "
        "RATIO) or clear, not '" +
        kind + "'");
  }
}

}  // namespace sim
