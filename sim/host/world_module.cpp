#include "sim/host/world_module.h"

#include <algorithm>
#include <cctype>
#include <sstream>

#include "klippy/host/printer.h"
#include "klippy/host/toolhead.h"
#include "sim/host/carried_hardware.h"
#include "sim/host/environment.h"
#include "sim/host/extruder.h"
#include "sim/host/extruder_stepper.h"
#include "sim/host/filament_sensors.h"
#include "sim/host/mcu.h"
#include "sim/host/pin_signal.h"
#include "sim/host/spool_tag.h"
#include "sim/host/toolhead.h"
#include "sim/host/world_box_numbers.h"
#include "sim/host/world_config.h"

namespace sim {
namespace {

constexpr klippy::FloatLimits kSpoolLength{.maxval = WorldGeometry::kMaxSpoolMm, .above = 0.0};

// A world sensor seen as the electrical level of an MCU pin: 1 while filament covers it.
class WorldSensorSignal final : public PinSignal {
 public:
  WorldSensorSignal(const FilamentWorld& world, SensorId sensor) : world_(world), sensor_(sensor) {}
  int level(double print_time) const override { return world_.level(sensor_, print_time); }
  std::optional<double> next_change(double after, double until) const override {
    return world_.next_change(sensor_, after, until);
  }

 private:
  const FilamentWorld& world_;
  SensorId sensor_;
};

// "[^~!]chip:pin" → (mcu object name, pin)
std::pair<std::string, std::string> split_pin(std::string desc) {
  while (!desc.empty() && (desc[0] == '^' || desc[0] == '~' || desc[0] == '!' || desc[0] == ' ')) {
    desc.erase(0, 1);
  }
  auto colon = desc.find(':');
  if (colon == std::string::npos) return {"mcu", desc};
  std::string chip = desc.substr(0, colon);
  return {chip == "mcu" ? "mcu" : "mcu " + chip, desc.substr(colon + 1)};
}

}  // namespace

SimFilamentWorld::SimFilamentWorld(klippy::ConfigSection& config)
    : printer_(config.get_printer()),
      reactor_(printer_.get_reactor()),
      environment_(printer_.lookup_object<SimEnvironment>(SimEnvironment::kName)) {
  WorldConfig read = read_world_config(config);
  world_ = std::make_unique<FilamentWorld>(read.geometry);
  pins_ = std::move(read.pins);
  initial_spools_ = std::move(read.spools);
  physical_boxes_ = physical_boxes_in(config, read.geometry.box_count());
  card_readers_ = std::make_unique<WorldCardReaders>(config, read.geometry);

  // Pins carry the world's levels before buttons and endstops start watching them, so
  // their first report already sees the spools in place.
  attach_pins_and_spools();
  printer_.register_event_handler("klippy:connect", [this] { handle_connect(); });
  auto& gcode = printer_.lookup_object<klippy::GCodeDispatch>("gcode");
  gcode.register_command(
      "SIM_SPOOL", [this](klippy::GCodeCommand& g) { cmd_SIM_SPOOL(g); },
      "Insert or remove a spool: SIM_SPOOL SLOT=n ACTION=insert|remove [FILAMENT= COLOR= "
      "LENGTH= TAG=1|0|blank|unreadable|\"<filament code> <colour code> [vendor]\"]");
  gcode.register_command(
      "SIM_FAULT", [this](klippy::GCodeCommand& g) { cmd_SIM_FAULT(g); },
      "Inject a fault: SIM_FAULT SLOT=n KIND=jam|entry_refused|tag_unreadable|clear, "
      "KIND=runout LENGTH=mm, KIND=slip RATIO=0-0.9");
  gcode.register_command(
      "SIM_STATE", [this](klippy::GCodeCommand& g) { cmd_SIM_STATE(g); },
      "Report every strand and sensor of the filament world once the queued moves have run");
}

double SimFilamentWorld::print_time_now() const {
  return environment_.clock().print_time(reactor_.monotonic());
}

void SimFilamentWorld::notify_changed() {
  environment_.notify_changed();
}

void SimFilamentWorld::attach_pins_and_spools() {
  double now = print_time_now();
  // After an in-place restart the filament is where the previous run left it.
  auto* carried = printer_.lookup_object_or_null<SimCarriedHardware>(SimCarriedHardware::kName);
  if (carried && carried->state().world) {
    world_->restore(follow_box_numbers(*carried->state().world, carried->state().world_boxes,
                                       physical_boxes_, world_->geometry().slots_per_box),
                    now);
  } else {
    for (const auto& spool : initial_spools_) world_->insert_spool(spool.slot, spool.wanted, now);
  }
  for (const auto& binding : pins_) {
    auto [mcu_name, pin] = split_pin(binding.pin);
    auto* mcu = printer_.lookup_object_or_null<SimMcu>(mcu_name);
    if (!mcu) {
      throw klippy::ConfigError("Option '" + binding.option +
                                "' in section 'filament_world' names '" + binding.pin +
                                "', but there is no [" + mcu_name + "] section");
    }
    mcu->attach_signal(pin, std::make_shared<WorldSensorSignal>(*world_, binding.sensor));
  }
  card_readers_->attach(printer_, *world_, environment_.clock());
}

void SimFilamentWorld::handle_connect() {
  const WorldGeometry& geometry = world_->geometry();
  for (int slot = 0; slot < geometry.slot_count; ++slot) {
    std::string name = "slot" + std::to_string(slot);
    // A slot motor comes from the slot feeder module, or from a plain [extruder_stepper].
    auto stepper = environment_.feed_stepper("feedlane " + name);
    if (!stepper) {
      if (auto* plain =
              printer_.lookup_object_or_null<SimExtruderStepper>("extruder_stepper " + name)) {
        stepper = plain->sim_stepper();
      }
    }
    if (stepper) world_->attach_slot_stepper(slot, *stepper);
  }
  if (auto* extruder = printer_.lookup_object_or_null<SimExtruder>("extruder")) {
    world_->attach_extruder_queue(extruder->sim_trapq());
  }
  if (auto* hall = printer_.lookup_object_or_null<SimHallFilamentWidthSensor>(
          "hall_filament_width_sensor")) {
    hall->set_diameter_source(
        [this](double print_time) { return world_->hall_diameter_mm(print_time); });
  }
  if (auto* toolhead = printer_.lookup_object_or_null<SimToolhead>("toolhead")) {
    cutter_ = std::make_unique<WorldCutter>(reactor_, environment_.clock(), *world_, *toolhead,
                                            [this] { notify_changed(); });
  }
  anchor_timer_ = reactor_.register_timer([this](double eventtime) { return anchor(eventtime); },
                                          reactor_.monotonic() + kAnchorPeriodS);
  notify_changed();
}

double SimFilamentWorld::anchor(double eventtime) {
  // A little behind the present: endstops armed a moment ago still ask about that moment.
  world_->advance_to(environment_.clock().print_time(eventtime) - kAnchorPeriodS);
  return eventtime + kAnchorPeriodS;
}

std::optional<klippy::Value> SimFilamentWorld::get_status(double eventtime) {
  double now = environment_.clock().print_time(eventtime);
  klippy::Value::Dict slots;
  for (int slot = 0; slot < world_->geometry().slot_count; ++slot) {
    const Spool& spool = world_->spool(slot);
    StrandState strand = world_->strand(slot, now);
    if (!spool.present && !strand.present) continue;
    slots.emplace_back("slot" + std::to_string(slot), klippy::Value(klippy::Value::Dict{
                                                          {"spool", spool.present},
                                                          {"filament", spool.filament_type},
                                                          {"color", spool.color},
                                                          {"tip_mm", strand.tip_mm},
                                                          {"tail_mm", strand.tail_mm},
                                                          {"jammed", strand.jammed},
                                                      }));
  }
  return klippy::Value(klippy::Value::Dict{
      {"strands", klippy::Value(std::move(slots))},
      {"extruder_entry_diameter", world_->hall_diameter_mm(now)},
      {"encoder_level", world_->level(SensorId::encoder(), now)},
  });
}

void SimFilamentWorld::cmd_SIM_SPOOL(klippy::GCodeCommand& gcmd) {
  int last_slot = world_->geometry().slot_count - 1;
  int slot = static_cast<int>(gcmd.get_int("SLOT", {}, {.minval = 0, .maxval = last_slot}));
  std::string action = gcmd.get("ACTION");
  if (action == "remove") {
    world_->remove_spool(slot, print_time_now());
    notify_changed();
    return;
  }
  if (action != "insert") {
    throw gcmd.error("ACTION must be insert or remove, not '" + action + "'");
  }
  SpoolSpec wanted;
  wanted.filament_type = gcmd.get("FILAMENT", "PLA");
  wanted.color = gcmd.get("COLOR", "FFFFFF");
  if (!valid_color(wanted.color)) {
    throw gcmd.error("COLOR must be six hex digits (RRGGBB), not '" + wanted.color + "'");
  }
  if (gcmd.has("LENGTH")) wanted.length_mm = gcmd.get_float("LENGTH", {}, kSpoolLength);
  try {
    const TagSetting tag =
        parse_tag_setting(gcmd.get("TAG", "1"), wanted.filament_type, wanted.color);
    wanted.tag = tag.tag;
    wanted.tag_unreadable = tag.unreadable;
  } catch (const std::invalid_argument& e) {
    throw gcmd.error(std::string("TAG: ") + e.what());
  }
  world_->insert_spool(slot, wanted, print_time_now());
  notify_changed();
}

void SimFilamentWorld::cmd_SIM_FAULT(klippy::GCodeCommand& gcmd) {
  int last_slot = world_->geometry().slot_count - 1;
  int slot = static_cast<int>(gcmd.get_int("SLOT", {}, {.minval = 0, .maxval = last_slot}));
  // A fault in a slot no box has would change nothing the host could see: a mistyped
  // slot, which the user would take for a fault that the box withstood.
  int configured = 0;
  for (const WorldPinBinding& pin : pins_)
    if (pin.sensor.kind == SensorKind::slot_runout)
      configured = std::max(configured, pin.sensor.index + 1);
  if (slot >= configured) {
    const std::string slots = configured == 0   ? std::string("no slot has a runout sensor pin")
                              : configured == 1 ? std::string("slot 0")
                                                : "slots 0 to " + std::to_string(configured - 1);
    throw gcmd.error("SLOT=" + std::to_string(slot) + " is not a slot of a configured box (" +
                     slots + "); name one of those");
  }
  std::string kind = gcmd.get("KIND");
  double now = print_time_now();
  try {
    apply_world_fault(
        *world_, slot, kind,
        [&gcmd](const std::string& key) {
          return key == "LENGTH"
                     ? gcmd.get_float(key, {},
                                      {.minval = 0.0, .maxval = WorldGeometry::kMaxSpoolMm})
                     : gcmd.get_float(key, {}, {.minval = 0.0, .maxval = 0.9});
        },
        now);
  } catch (const std::invalid_argument& e) {
    throw gcmd.error(e.what());
  }
  notify_changed();
}

void SimFilamentWorld::cmd_SIM_STATE(klippy::GCodeCommand& gcmd) {
  // The slots of the boxes that are configured: those whose runout sensor has a pin.
  int shown = 0;
  for (const WorldPinBinding& pin : pins_)
    if (pin.sensor.kind == SensorKind::slot_runout) shown = std::max(shown, pin.sensor.index + 1);
  const int per_box = world_->geometry().slots_per_box;
  // As after M400: the strands where the moves queued so far leave them, not somewhere on
  // the way (the slot motors queue their moves apart from the toolhead).
  if (auto* toolhead = printer_.lookup_object_or_null<klippy::Toolhead>("toolhead"))
    toolhead->wait_moves();
  const double queued_until = world_->motion_queued_until();
  if (queued_until > print_time_now()) reactor_.pause(environment_.clock().eventtime(queued_until));
  gcmd.respond_info(world_->describe(print_time_now(), (shown + per_box - 1) / per_box * per_box));
}

}  // namespace sim
