#include "sim/mcu_emu/world_link.h"

#include <algorithm>
#include <cstdio>
#include <regex>
#include <utility>

#include "sim/host/config.h"
#include "sim/host/stepper_distance.h"
#include "sim/host/world_config.h"

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
  mcu_of(step, where)
      .follow_stepper(
          step.pin,
          {.on_block =
               [this, m](const StepBlock& block) {
                 // One constant-acceleration stretch per block, from its origin to its last
                 // step: it starts at the speed of the first interval (at most what still
                 // reaches the last step without turning back) and ends on that step.
                 const double t0 = seconds(block.start_clock);
                 const double duration = seconds(block.end_clock) - t0;
                 const double distance = block.count * m->step_mm;
                 // How far ahead of the clock the host has queued motion.
                 max_lead_s_ = std::max(max_lead_s_, seconds(block.end_clock) - seconds(clock_()));
                 if (duration <= 0.) return;
                 const double v0 =
                     std::min(m->step_mm * clock_freq_ / block.interval, 2. * distance / duration);
                 const double accel = 2. * (distance - v0 * duration) / (duration * duration);
                 const double direction = block.direction * m->sign;
                 m->queue->append(t0, duration, 0., 0., m->queue->end_position(),
                                  {direction, 0., 0.}, v0, v0 + accel * duration, accel);
               },
           .on_stop = [this, m](std::uint64_t clock) { m->stepper->stop_at(seconds(clock)); }});
  motors_.push_back(std::move(motor));
  return *motors_.back();
}

WorldLink::WorldLink(const std::string& config_path, const std::map<std::string, Mcu*>& mcus,
                     Mcu::Clock clock, std::uint32_t clock_freq)
    : mcus_(mcus), clock_(std::move(clock)), clock_freq_(clock_freq) {
  sim::SimConfig config(sim::ConfigText::from_file(config_path));
  sim::SimConfigSection* world_section = config.find("filament_world");
  if (!world_section)
    throw klippy::ConfigError(config_path +
                              " has no [filament_world] section: add the simulator's world "
                              "(config/sim_world.cfg and the box's sim_world_boxN.cfg)");
  sim::WorldConfig read = sim::read_world_config(*world_section);
  world_ = std::make_unique<sim::FilamentWorld>(read.geometry);
  const double start = 0.;
  for (const auto& spool : read.spools) world_->insert_spool(spool.slot, spool.wanted, start);

  for (const auto& binding : read.pins) {
    const std::string where = "Option '" + binding.option + "' in section 'filament_world'";
    const PinRef pin = parse_pin(binding.pin, where);
    mcu_of(pin, where)
        .attach_input(pin.pin,
                      [this, sensor = binding.sensor, invert = pin.invert](std::uint64_t clock) {
                        return static_cast<std::uint32_t>(world_->level(sensor, seconds(clock)) ^
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
  }
  if (sim::SimConfigSection* hall = config.find("hall_filament_width_sensor")) {
    // The inverse of the host's reading: both inputs share the raw value that its
    // calibration maps to the world's diameter.
    const double dia1 = hall->getfloat("cal_dia1", 1.5, {});
    const double dia2 = hall->getfloat("cal_dia2", 2.0, {});
    const auto raw1 = static_cast<double>(hall->getint("raw_dia1", 9500, {}));
    const auto raw2 = static_cast<double>(hall->getint("raw_dia2", 10500, {}));
    auto fraction = [this, dia1, dia2, raw1, raw2](std::uint64_t clock) {
      const double diameter = world_->hall_diameter_mm(seconds(clock));
      const double raw_sum = raw1 + (diameter - dia1) * (raw2 - raw1) / (dia2 - dia1);
      return raw_sum / 2. / 10000.;
    };
    for (const char* option : {"adc1", "adc2"}) {
      const std::string where =
          "Option '" + std::string(option) + "' in section 'hall_filament_width_sensor'";
      const PinRef pin = parse_pin(hall->get(option), where);
      mcu_of(pin, where).set_analog_source(pin.pin, fraction);
    }
  }
}

WorldLink::~WorldLink() = default;

void WorldLink::poll(std::uint64_t now) {
  // Once a second is enough to keep the history short.
  const double t = seconds(now) - kHistoryS;
  if (t < world_->anchor_time() + 1.) return;
  world_->advance_to(t);
  for (const auto& motor : motors_) motor->queue->finalize_moves(t, t);
}

std::string WorldLink::describe(std::uint64_t now) const {
  const int per_box = world_->geometry().slots_per_box;
  char lead[96];
  std::snprintf(lead, sizeof lead, "host queued steps up to %.3f s ahead of the clock\n",
                max_lead_s_);
  return world_->describe(seconds(now), (shown_slots_ + per_box - 1) / per_box * per_box) + "\n" +
         lead;
}

}  // namespace mcu_emu
