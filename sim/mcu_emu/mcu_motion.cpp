// The commands that move steppers and home them: step queues, endstops and trigger
// synchronisation, as the firmware runs them.
#include <algorithm>
#include <numeric>

#include "mcu.h"

namespace mcu_emu {
namespace {

// Finished step blocks are kept this long for position queries about the recent past.
constexpr std::uint64_t kHistorySeconds = 2;

}  // namespace

std::vector<Mcu::Command> Mcu::motion_commands() {
  return {
      {"config_stepper oid=%c step_pin=%c dir_pin=%c invert_step=%c step_pulse_ticks=%u",
       [this](const Params& p) {
         if (!claim_oid(p.u32("oid"))) return;
         // The firmware steps a late first step at once, up to a millisecond behind.
         Stepper stepper{.step_pin = p.u32("step_pin"),
                         .motion = StepperMotion(constants_.clock_freq / 1000)};
         if (const auto it = stepper_listeners_.find(stepper.step_pin);
             it != stepper_listeners_.end())
           stepper.motion.set_listener(it->second);
         devices_.steppers.emplace(p.u32("oid"), std::move(stepper));
       }},
      {"queue_step oid=%c interval=%u count=%hu add=%hi",
       [this](const Params& p) {
         auto* stepper = find(devices_.steppers, p.u32("oid"));
         if (!stepper) return;
         const std::uint64_t now = clock_();
         if (auto error = stepper->motion.queue_step(now, p.u32("interval"), p.u32("count"),
                                                     static_cast<std::int16_t>(p.u32("add"))))
           return shutdown(*error);
         const std::size_t queued =
             std::accumulate(devices_.steppers.begin(), devices_.steppers.end(), std::size_t{0},
                             [now](std::size_t sum, const auto& s) {
                               return sum + s.second.motion.queued_moves(now);
                             });
         if (queued > constants_.move_count) shutdown("Move queue overflow");
       }},
      {"set_next_step_dir oid=%c dir=%c",
       [this](const Params& p) {
         if (auto* stepper = find(devices_.steppers, p.u32("oid")))
           stepper->motion.set_next_direction(p.u32("dir") != 0);
       }},
      {"reset_step_clock oid=%c clock=%u",
       [this](const Params& p) {
         auto* stepper = find(devices_.steppers, p.u32("oid"));
         if (!stepper) return;
         if (auto error = stepper->motion.reset_clock(clock_(), to_clock64(p.u32("clock"))))
           shutdown(*error);
       }},
      {"stepper_get_position oid=%c",
       [this](const Params& p) {
         const auto* stepper = find(devices_.steppers, p.u32("oid"));
         if (!stepper) return;
         send("stepper_position",
              {std::int64_t{p.u32("oid")},
               std::int64_t{static_cast<std::int32_t>(stepper->motion.position(clock_()))}});
       }},
      {"stepper_stop_on_trigger oid=%c trsync_oid=%c",
       [this](const Params& p) {
         if (!find(devices_.steppers, p.u32("oid"))) return;
         if (auto* trsync = find(devices_.trsyncs, p.u32("trsync_oid")))
           trsync->add_stepper(p.u32("oid"));
       }},
      {"config_endstop oid=%c pin=%c pull_up=%c",
       [this](const Params& p) {
         if (!claim_oid(p.u32("oid"))) return;
         devices_.pull_ups[p.u32("pin")] = p.u32("pull_up");
         devices_.endstops.emplace(p.u32("oid"), Endstop(p.u32("pin")));
       }},
      {"endstop_home oid=%c clock=%u sample_ticks=%u sample_count=%c rest_ticks=%u "
       "pin_value=%c trsync_oid=%c trigger_reason=%c",
       [this](const Params& p) {
         auto* endstop = find(devices_.endstops, p.u32("oid"));
         if (!endstop) return;
         endstop->home({.clock = to_clock64(p.u32("clock")),
                        .sample_ticks = p.u32("sample_ticks"),
                        .sample_count = p.u32("sample_count"),
                        .rest_ticks = std::max(1u, p.u32("rest_ticks")),
                        .pin_value = p.u32("pin_value"),
                        .trsync_oid = p.u32("trsync_oid"),
                        .trigger_reason = p.u32("trigger_reason")});
       }},
      {"endstop_query_state oid=%c",
       [this](const Params& p) {
         const auto* endstop = find(devices_.endstops, p.u32("oid"));
         if (!endstop) return;
         const std::uint64_t now = clock_();
         send("endstop_state", {std::int64_t{p.u32("oid")}, std::int64_t{endstop->homing()},
                                std::int64_t{static_cast<std::uint32_t>(endstop->next_clock())},
                                std::int64_t{level_at(endstop->pin(), now)}});
       }},
      {"config_trsync oid=%c",
       [this](const Params& p) {
         if (claim_oid(p.u32("oid"))) devices_.trsyncs.emplace(p.u32("oid"), Trsync());
       }},
      {"trsync_start oid=%c report_clock=%u report_ticks=%u expire_reason=%c",
       [this](const Params& p) {
         if (auto* trsync = find(devices_.trsyncs, p.u32("oid")))
           trsync->start(to_clock64(p.u32("report_clock")), p.u32("report_ticks"),
                         p.u32("expire_reason"));
       }},
      {"trsync_set_timeout oid=%c clock=%u",
       [this](const Params& p) {
         if (auto* trsync = find(devices_.trsyncs, p.u32("oid")))
           trsync->set_timeout(to_clock64(p.u32("clock")));
       }},
      {"trsync_trigger oid=%c reason=%c",
       [this](const Params& p) {
         const auto* trsync = find(devices_.trsyncs, p.u32("oid"));
         if (!trsync) return;
         const std::uint64_t now = clock_();
         // Whatever tripped before now trips first.
         poll_motion(now);
         // The host asks through this command, so it always gets the state back.
         if (!trip(p.u32("oid"), p.u32("reason"), now))
           send_trsync_state(p.u32("oid"), *trsync, now);
       }},
  };
}

std::uint32_t Mcu::level_at(std::uint32_t pin, std::uint64_t clock) const {
  if (const auto input = inputs_.find(pin); input != inputs_.end()) return input->second(clock);
  return devices_.level_at(pin, clock);
}

void Mcu::send_trsync_state(std::uint32_t oid, const Trsync& trsync, std::uint64_t clock) {
  send("trsync_state",
       {std::int64_t{oid}, std::int64_t{trsync.can_trigger()}, std::int64_t{trsync.reason()},
        std::int64_t{static_cast<std::uint32_t>(clock)}});
}

bool Mcu::trip(std::uint32_t trsync_oid, std::uint32_t reason, std::uint64_t clock) {
  auto* trsync = find(devices_.trsyncs, trsync_oid);
  if (!trsync) return false;
  for (const std::uint64_t report : trsync->reports_by(clock))
    send_trsync_state(trsync_oid, *trsync, report);
  if (!trsync->can_trigger()) return false;
  for (const std::uint32_t oid : trsync->trigger(reason))
    if (auto it = devices_.steppers.find(oid); it != devices_.steppers.end())
      it->second.motion.stop(clock);
  send_trsync_state(trsync_oid, *trsync, clock);
  return true;
}

void Mcu::poll_motion(std::uint64_t now) {
  // Events in clock order: an endstop that trips stops steppers, which changes what the
  // pins read afterwards.
  while (!is_shutdown()) {
    std::optional<std::uint64_t> first;
    std::uint32_t first_oid = 0;
    bool first_is_endstop = false;
    for (auto& [oid, endstop] : devices_.endstops) {
      const std::uint32_t pin = endstop.pin();
      const auto tripped = endstop.sample(
          now, [this, pin](std::uint64_t c) { return level_at(pin, c); }, false);
      if (tripped && (!first || *tripped < *first)) {
        first = tripped;
        first_oid = oid;
        first_is_endstop = true;
      }
    }
    for (const auto& [oid, trsync] : devices_.trsyncs) {
      const auto expired = trsync.expiry_by(now);
      if (expired && (!first || *expired < *first)) {
        first = expired;
        first_oid = oid;
        first_is_endstop = false;
      }
    }
    if (!first) break;
    if (first_is_endstop) {
      Endstop& endstop = devices_.endstops.at(first_oid);
      const Endstop::Home home = endstop.home_request();
      const std::uint32_t pin = endstop.pin();
      endstop.sample(
          *first, [this, pin](std::uint64_t c) { return level_at(pin, c); }, true);
      trip(home.trsync_oid, home.trigger_reason, *first);
    } else {
      trip(first_oid, devices_.trsyncs.at(first_oid).expire_reason(), *first);
    }
  }
  for (auto& [oid, endstop] : devices_.endstops) {
    const std::uint32_t pin = endstop.pin();
    endstop.sample(
        now, [this, pin](std::uint64_t c) { return level_at(pin, c); }, true);
  }
  for (auto& [oid, trsync] : devices_.trsyncs)
    for (const std::uint64_t report : trsync.reports_by(now))
      send_trsync_state(oid, trsync, report);
  const std::uint64_t history = kHistorySeconds * constants_.clock_freq;
  if (now > history)
    for (auto& [oid, stepper] : devices_.steppers) stepper.motion.forget_before(now - history);
}

void Mcu::set_analog_source(std::uint32_t pin, std::function<double(std::uint64_t)> source) {
  analog_sources_[pin] = std::move(source);
}

void Mcu::attach_input(std::uint32_t pin, LevelAt level) {
  inputs_[pin] = std::move(level);
}

void Mcu::follow_stepper(std::uint32_t step_pin, StepperMotion::Listener listener) {
  stepper_listeners_[step_pin] = std::move(listener);
  for (auto& [oid, stepper] : devices_.steppers)
    if (stepper.step_pin == step_pin) stepper.motion.set_listener(stepper_listeners_[step_pin]);
}

}  // namespace mcu_emu
