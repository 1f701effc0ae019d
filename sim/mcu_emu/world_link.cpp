#include "sim/mcu_emu/world_link.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "klippy/host/errors.h"
#include "sim/host/config.h"
#include "sim/host/spool_tag.h"
#include "sim/host/stepper_distance.h"
#include "sim/host/world_config.h"
#include "sim/host/world_cutter.h"

namespace mcu_emu {

// A stepper of the configuration whose step queue drives a queue of the world.
struct WorldLink::Motor {
  std::string section;
  double step_mm = 0.;
  double sign = 1.;  // the dir pin's `!`: the host inverts what it sends
  std::shared_ptr<sim::SimTrapq> queue = std::make_shared<sim::SimTrapq>();
  std::unique_ptr<sim::SimStepper> stepper;
};

namespace {

constexpr double kHistoryS = 2.0;

}  // namespace

WorldLink::PinRef WorldLink::parse_pin(const std::string& text, const std::string& where) {
  // "[^~!]chip:PXn" or "PXn" on the main controller, as the host writes pins.
  static const std::regex kPin(R"(\s*[\^~]?(!?)\s*(?:(\w+):)?P([A-K])(\d+)\s*)");
  std::smatch m;
  if (!std::regex_match(text, m, kPin) || std::stoi(m[4]) > 15)
    throw klippy::ConfigError(where + ": '" + text +
                              "' is not an STM32 pin such as PA1 or mcu_box1:PA1");
  return {m[2].matched ? m[2].str() : "mcu",
          static_cast<std::uint32_t>((m[3].str()[0] - 'A') * 16 + std::stoi(m[4])),
          !m[1].str().empty()};
}

Mcu& WorldLink::mcu_of(const PinRef& pin, const std::string& where) const {
  const auto it = mcus_.find(pin.chip);
  if (it == mcus_.end())
    throw klippy::ConfigError(where + " names controller '" + pin.chip +
                              "', which is not emulated: give feedbox-mcu " + pin.chip + "=PATH");
  return *it->second;
}

WorldLink::Motor& WorldLink::add_motor(const std::string& section, const sim::StepperParams& params,
                                       const std::string& step_pin, const std::string& dir_pin) {
  auto motor = std::make_unique<Motor>();
  motor->section = section;
  motor->stepper = std::make_unique<sim::SimStepper>(params);
  motor->step_mm = motor->stepper->get_step_dist();
  motor->stepper->set_trapq(motor->queue);
  const std::string where = "Section '" + section + "'";
  const PinRef step = parse_pin(step_pin, where);
  motor->sign = parse_pin(dir_pin, where).invert ? -1. : 1.;
  Motor* m = motor.get();
  const Mcu& mcu = mcu_of(step, where);
  mcu_of(step, where)
      .follow_stepper(
          step.pin,
          {.on_block =
               [this, m, &mcu](const StepBlock& block) {
                 // One constant-acceleration stretch per block, from its origin to its last
                 // step: it starts at the speed of the first interval (at most what still
                 // reaches the last step without turning back) and ends on that step.
                 const double t0 = seconds(mcu, block.start_clock);
                 const double duration = seconds(mcu, block.end_clock) - t0;
                 const double distance = block.count * m->step_mm;
                 // How far ahead of the clock the host has queued motion.
                 max_lead_s_ = std::max(max_lead_s_, t0 + duration - now_s_());
                 if (duration <= 0.) return;
                 const double v0 = std::min(m->step_mm * mcu.clock_freq() / block.interval,
                                            2. * distance / duration);
                 const double accel = 2. * (distance - v0 * duration) / (duration * duration);
                 const double direction = block.direction * m->sign;
                 m->queue->append(t0, duration, 0., 0., m->queue->end_position(),
                                  {direction, 0., 0.}, v0, v0 + accel * duration, accel);
               },
           .on_stop = [m,
                       &mcu](std::uint64_t clock) { m->stepper->stop_at(seconds(mcu, clock)); }});
  motors_.push_back(std::move(motor));
  return *motors_.back();
}

WorldLink::WorldLink(const std::string& config_path, const std::map<std::string, Mcu*>& mcus,
                     std::function<double()> now_s)
    : mcus_(mcus), now_s_(std::move(now_s)) {
  sim::SimConfig config(sim::ConfigText::from_file(config_path));
  sim::SimConfigSection* world_section = config.find("filament_world");
  if (!world_section)
    throw klippy::ConfigError(config_path +
                              " has no [filament_world] section: add the simulator's world "
                              "(config/sim_world.cfg and the box's sim_world_boxN.cfg)");
  sim::WorldConfig read = sim::read_world_config(*world_section);
  attach_card_readers(*world_section, read.geometry.slot_count);
  world_ = std::make_unique<sim::FilamentWorld>(read.geometry);
  const double start = 0.;
  for (const auto& spool : read.spools) world_->insert_spool(spool.slot, spool.wanted, start);

  for (const auto& binding : read.pins) {
    const std::string where = "Option '" + binding.option + "' in section 'filament_world'";
    const PinRef pin = parse_pin(binding.pin, where);
    Mcu& mcu = mcu_of(pin, where);
    mcu.attach_input(
        pin.pin, [this, &mcu, sensor = binding.sensor, invert = pin.invert](std::uint64_t clock) {
          return static_cast<std::uint32_t>(world_->level(sensor, seconds(mcu, clock)) ^
                                            (invert ? 1 : 0));
        });
    if (binding.sensor.kind == sim::SensorKind::slot_runout)
      shown_slots_ = std::max(shown_slots_, binding.sensor.index + 1);
  }

  for (int slot = 0; slot < read.geometry.slot_count; ++slot) {
    const std::string name = "slot" + std::to_string(slot);
    sim::SimConfigSection* section = config.find("feedlane " + name);
    if (!section) section = config.find("extruder_stepper " + name);
    if (!section) continue;
    Motor& motor = add_motor(section->get_name(), sim::read_stepper_distance(*section),
                             section->get("step_pin"), section->get("dir_pin"));
    world_->attach_slot_stepper(slot, *motor.stepper);
  }
  if (sim::SimConfigSection* extruder = config.find("extruder")) {
    Motor& motor = add_motor("extruder", sim::read_stepper_distance(*extruder),
                             extruder->get("step_pin"), extruder->get("dir_pin"));
    world_->attach_extruder_queue(motor.queue);
    world_->infer_extruder_following();
  }
  attach_axis_endstops(config);
  if (sim::SimConfigSection* hall = config.find("hall_filament_width_sensor")) {
    // The inverse of the host's reading: both inputs share the raw value that its
    // calibration maps to the world's diameter.
    const double dia1 = hall->getfloat("cal_dia1", 1.5, {});
    const double dia2 = hall->getfloat("cal_dia2", 2.0, {});
    const auto raw1 = static_cast<double>(hall->getint("raw_dia1", 9500, {}));
    const auto raw2 = static_cast<double>(hall->getint("raw_dia2", 10500, {}));
    for (const char* option : {"adc1", "adc2"}) {
      const std::string where =
          "Option '" + std::string(option) + "' in section 'hall_filament_width_sensor'";
      const PinRef pin = parse_pin(hall->get(option), where);
      Mcu& mcu = mcu_of(pin, where);
      mcu.set_analog_source(pin.pin, [this, &mcu, dia1, dia2, raw1, raw2](std::uint64_t clock) {
        const double diameter = world_->hall_diameter_mm(seconds(mcu, clock));
        const double raw_sum = raw1 + (diameter - dia1) * (raw2 - raw1) / (dia2 - dia1);
        return raw_sum / 2. / 10000.;
      });
    }
  }
}

WorldLink::~WorldLink() = default;

void WorldLink::attach_axis_endstops(sim::SimConfig& config) {
  // Each carriage starts halfway along its travel and closes its switch at
  // position_endstop, from the side it homes to (the end of travel nearer the switch).
  int index = 0;
  for (const char* axis : {"stepper_x", "stepper_y", "stepper_z"}) {
    Carriage& carriage = carriages_[index++];
    sim::SimConfigSection* section = config.find(axis);
    if (!section || !section->get_optional("endstop_pin")) continue;
    const double low = section->getfloat("position_min", 0., {});
    const double high = section->getfloat("position_max", {}, {});
    const double at = section->getfloat("position_endstop", {}, {});
    const bool homes_up = at > (low + high) / 2.;
    Motor& motor = add_motor(axis, sim::read_stepper_distance(*section), section->get("step_pin"),
                             section->get("dir_pin"));
    carriage = {&motor, (low + high) / 2.};
    const std::string where = "Option 'endstop_pin' in section '" + std::string(axis) + "'";
    const PinRef pin = parse_pin(section->get("endstop_pin"), where);
    Mcu& mcu = mcu_of(pin, where);
    mcu.attach_input(
        pin.pin, [this, &carriage, &mcu, at, homes_up, invert = pin.invert](std::uint64_t clock) {
          const double position = carriage_mm(carriage, seconds(mcu, clock));
          const bool closed = homes_up ? position >= at : position <= at;
          return static_cast<std::uint32_t>(closed != invert);
        });
  }
}

void WorldLink::attach_card_readers(klippy::ConfigSection& world_section, int slot_count) {
  // Reader N sits on the paths of slots 2(N-1) and 2N-1; it reads a tag only while exactly
  // one readable tag lies in front of it.
  std::map<Mcu*, std::vector<std::pair<std::uint32_t, int>>> readers;
  for (int first_slot = 0; first_slot < slot_count; first_slot += 2) {
    const std::string option = "reader" + std::to_string(first_slot / 2 + 1) + "_cs_pin";
    const auto text = world_section.get_optional(option);
    if (!text) continue;
    const std::string where = "Option '" + option + "' in section 'filament_world'";
    const PinRef pin = parse_pin(*text, where);
    readers[&mcu_of(pin, where)].emplace_back(pin.pin, first_slot);
  }
  for (auto& [mcu, cs_pins] : readers) {
    mcu->set_tag_reader(
        [this, mcu, cs_pins = cs_pins, slot_count](
            std::uint32_t cs_pin, std::uint64_t clock) -> std::optional<std::string> {
          const double t = seconds(*mcu, clock);
          std::vector<int> tags;
          for (const auto& [pin, first_slot] : cs_pins)
            if (pin == cs_pin)
              for (int slot = first_slot; slot < first_slot + 2 && slot < slot_count; ++slot)
                if (world_->tag_at_reader(slot, t)) tags.push_back(slot);
          if (tags.size() != 1) return std::nullopt;
          const sim::Spool& spool = world_->spool(tags.front());
          if (spool.tag_unreadable || !spool.tag) return std::nullopt;
          return std::string(spool.tag->begin(), spool.tag->end());
        });
  }
}

namespace {

// "SIM_FAULT SLOT=0 KIND=jam" -> {"SLOT": "0", "KIND": "jam"}, keys upper-cased.
std::map<std::string, std::string> command_params(std::istringstream& words) {
  std::map<std::string, std::string> params;
  std::string word;
  while (words >> word) {
    const auto eq = word.find('=');
    if (eq == std::string::npos || eq == 0)
      throw std::invalid_argument("'" + word + "' is not KEY=VALUE");
    std::string key = word.substr(0, eq);
    std::transform(key.begin(), key.end(), key.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    params[key] = word.substr(eq + 1);
  }
  return params;
}

std::string required(const std::map<std::string, std::string>& params, const std::string& key) {
  const auto it = params.find(key);
  if (it == params.end()) throw std::invalid_argument("missing " + key);
  return it->second;
}

double number(const std::map<std::string, std::string>& params, const std::string& key) {
  const std::string text = required(params, key);
  std::size_t used = 0;
  const double value = std::stod(text, &used);
  if (used != text.size() || !std::isfinite(value))
    throw std::invalid_argument(key + " must be a number, not '" + text + "'");
  return value;
}

}  // namespace

std::string WorldLink::command(const std::string& line) {
  std::istringstream words(line);
  std::string name;
  words >> name;
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  const auto params = command_params(words);
  const double now = now_s_();
  if (name == "SIM_STATE") return describe() + "\n";
  const double slot_number = number(params, "SLOT");
  const int last_slot = world_->geometry().slot_count - 1;
  if (slot_number < 0 || slot_number > last_slot || slot_number != std::floor(slot_number))
    throw std::invalid_argument("SLOT must be a slot from 0 to " + std::to_string(last_slot));
  const int slot = static_cast<int>(slot_number);
  if (name == "SIM_SPOOL") {
    const std::string action = required(params, "ACTION");
    if (action == "remove") {
      world_->remove_spool(slot, now);
      return "";
    }
    if (action != "insert") throw std::invalid_argument("ACTION must be insert or remove");
    sim::SpoolSpec wanted;
    if (params.contains("FILAMENT")) wanted.filament_type = params.at("FILAMENT");
    if (params.contains("COLOR")) wanted.color = params.at("COLOR");
    if (!sim::valid_color(wanted.color))
      throw std::invalid_argument("COLOR must be six hex digits (RRGGBB)");
    if (params.contains("LENGTH")) wanted.length_mm = number(params, "LENGTH");
    const sim::TagSetting tag = sim::parse_tag_setting(
        params.contains("TAG") ? params.at("TAG") : "1", wanted.filament_type, wanted.color);
    wanted.tag = tag.tag;
    wanted.tag_unreadable = tag.unreadable;
    world_->insert_spool(slot, wanted, now);
    return "";
  }
  if (name != "SIM_FAULT")
    throw std::invalid_argument("'" + name +
                                "' is no world command: SIM_SPOOL, SIM_FAULT, SIM_STATE");
  sim::apply_world_fault(
      *world_, slot, required(params, "KIND"),
      [&params](const std::string& key) { return number(params, key); }, now);
  return "";
}

double WorldLink::carriage_mm(const Carriage& carriage, double t) const {
  return carriage.start_mm + carriage.motor->stepper->get_commanded_position(t);
}

void WorldLink::watch_cutter() {
  // Where the simulator's cutter sits (sim::CutterZone): pressed with the head at X300 or
  // beyond and Y5 or below. The strokes of a cut hold the head there for half a second,
  // far longer than the emulator's polls apart.
  const sim::CutterZone zone;
  if (!carriages_[0].motor || !carriages_[1].motor) return;
  const double t = now_s_();
  const bool at_cutter = carriage_mm(carriages_[0], t) >= zone.min_x_mm &&
                         carriage_mm(carriages_[1], t) <= zone.max_y_mm;
  if (at_cutter && !head_at_cutter_) world_->cut(t);
  head_at_cutter_ = at_cutter;
}

void WorldLink::poll() {
  watch_cutter();
  // Once a second is enough to keep the history short.
  const double t = now_s_() - kHistoryS;
  if (t < world_->anchor_time() + 1.) return;
  world_->advance_to(t);
  for (const auto& motor : motors_) motor->queue->finalize_moves(t, t);
}

std::string WorldLink::describe() const {
  const int per_box = world_->geometry().slots_per_box;
  char lead[96];
  std::snprintf(lead, sizeof lead, "host queued steps up to %.3f s ahead of the clock\n",
                max_lead_s_);
  return world_->describe(now_s_(), (shown_slots_ + per_box - 1) / per_box * per_box) + "\n" + lead;
}

}  // namespace mcu_emu
