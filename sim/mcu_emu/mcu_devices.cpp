// The commands that configure and drive a controller's pins.
#include <algorithm>
#include <cmath>

#include "mcu.h"

namespace mcu_emu {
namespace {

// The level a 100k NTC thermistor on a 4.7k pull-up reads at room temperature: heaters
// report a plausible temperature from their first reading.
constexpr double kRoomTemperatureFraction = 100.0 / 104.7;

}  // namespace

std::vector<Mcu::Command> Mcu::device_commands() {
  return {
      {"config_digital_out oid=%c pin=%u value=%c default_value=%c max_duration=%u",
       [this](const Params& p) {
         if (!claim_oid(p.u32("oid"))) return;
         const std::uint32_t pin = p.u32("pin");
         devices_.digital_outs[p.u32("oid")] = {.pin = pin,
                                                .value = p.u32("value"),
                                                .default_value = p.u32("default_value"),
                                                .max_duration = p.u32("max_duration")};
         devices_.pin_levels[pin] = p.u32("value");
       }},
      {"set_digital_out pin=%u value=%c",
       [this](const Params& p) { devices_.pin_levels[p.u32("pin")] = p.u32("value"); }},
      {"update_digital_out oid=%c value=%c",
       [this](const Params& p) {
         if (auto* out = find(devices_.digital_outs, p.u32("oid"))) {
           out->value = p.u32("value");
           devices_.pin_levels[out->pin] = out->value;
         }
       }},
      {"queue_digital_out oid=%c clock=%u on_ticks=%u",
       [this](const Params& p) {
         note_lead(p.u32("clock"));
         if (auto* out = find(devices_.digital_outs, p.u32("oid"))) {
           // A software PWM output is on when its on-time is not zero; the pin takes the
           // level at the queued clock (an input looped back to it sees the change then).
           out->on_ticks = p.u32("on_ticks");
           out->value = out->on_ticks > 0 ? 1 : 0;
           devices_.scheduled_levels[out->pin][to_clock64(p.u32("clock"))] = out->value;
           out->deadline = renewal_deadline(p.u32("clock"), out->value != out->default_value,
                                            out->max_duration);
         }
       }},
      {"set_digital_out_pwm_cycle oid=%c cycle_ticks=%u",
       [this](const Params& p) {
         if (auto* out = find(devices_.digital_outs, p.u32("oid")))
           out->cycle_ticks = p.u32("cycle_ticks");
       }},
      {"config_pwm_out oid=%c pin=%u cycle_ticks=%u value=%hu default_value=%hu max_duration=%u",
       [this](const Params& p) {
         if (!claim_oid(p.u32("oid"))) return;
         devices_.pwm_outs[p.u32("oid")] = {.pin = p.u32("pin"),
                                            .value = p.u32("value"),
                                            .default_value = p.u32("default_value"),
                                            .max_duration = p.u32("max_duration"),
                                            .cycle_ticks = p.u32("cycle_ticks")};
       }},
      {"queue_pwm_out oid=%c clock=%u value=%hu",
       [this](const Params& p) {
         note_lead(p.u32("clock"));
         if (auto* out = find(devices_.pwm_outs, p.u32("oid"))) {
           out->value = p.u32("value");
           devices_.scheduled_levels[out->pin][to_clock64(p.u32("clock"))] = out->value > 0;
           out->deadline = renewal_deadline(p.u32("clock"), out->value != out->default_value,
                                            out->max_duration);
         }
       }},
      {"set_pwm_out pin=%u cycle_ticks=%u value=%hu",
       [this](const Params& p) { devices_.pin_levels[p.u32("pin")] = p.u32("value") > 0; }},
      {"config_analog_in oid=%c pin=%u",
       [this](const Params& p) {
         if (!claim_oid(p.u32("oid"))) return;
         devices_.analog_ins[p.u32("oid")].pin = p.u32("pin");
       }},
      {constants_.batched_analog
           ? "query_analog_in oid=%c clock=%u sample_ticks=%u sample_count=%c rest_ticks=%u "
             "bytes_per_report=%c min_value=%hu max_value=%hu range_check_count=%c"
           : "query_analog_in oid=%c clock=%u sample_ticks=%u sample_count=%c rest_ticks=%u "
             "min_value=%hu max_value=%hu range_check_count=%c",
       [this](const Params& p) {
         auto* in = find(devices_.analog_ins, p.u32("oid"));
         if (!in) return;
         in->querying = p.u32("sample_count") > 0;
         in->begin = to_clock64(p.u32("clock"));
         in->sample_ticks = p.u32("sample_ticks");
         in->sample_count = p.u32("sample_count");
         in->rest_ticks = p.u32("rest_ticks");
         in->samples_per_report =
             constants_.batched_analog ? std::max(1u, p.u32("bytes_per_report") / 2) : 1;
         in->min_value = p.u32("min_value");
         in->max_value = p.u32("max_value");
         in->range_check_count = p.u32("range_check_count");
         in->out_of_range = 0;
         in->batch.clear();
       }},
      {"config_buttons oid=%c button_count=%c",
       [this](const Params& p) {
         if (!claim_oid(p.u32("oid"))) return;
         if (p.u32("button_count") > 8) return shutdown("Max of 8 buttons");
         devices_.buttons[p.u32("oid")].pins.resize(p.u32("button_count"));
       }},
      {"buttons_add oid=%c pos=%c pin=%u pull_up=%c",
       [this](const Params& p) {
         auto* group = find(devices_.buttons, p.u32("oid"));
         if (!group) return;
         if (p.u32("pos") >= group->pins.size())
           return shutdown("Set button past maximum button count");
         group->pins[p.u32("pos")] = p.u32("pin");
         devices_.pull_ups[p.u32("pin")] = p.u32("pull_up");
       }},
      {"buttons_query oid=%c clock=%u rest_ticks=%u retransmit_count=%c invert=%c",
       [this](const Params& p) {
         auto* group = find(devices_.buttons, p.u32("oid"));
         if (!group) return;
         group->querying = true;
         group->next_poll = to_clock64(p.u32("clock"));
         group->rest_ticks = std::max(1u, p.u32("rest_ticks"));
         group->retransmit_count = p.u32("retransmit_count");
         group->invert = p.u32("invert");
         // The firmware reports raw levels (the host applies the inversion) and takes the
         // inverted idle levels as the starting state, so idle buttons report nothing.
         group->last_state = group->last_read = group->invert;
         // A host that restarted counts its acknowledgements from zero again.
         group->ack_count = 0;
         group->unacked.clear();
       }},
      {"buttons_ack oid=%c count=%c",
       [this](const Params& p) {
         auto* group = find(devices_.buttons, p.u32("oid"));
         if (!group) return;
         const std::size_t count = std::min<std::size_t>(p.u32("count"), group->unacked.size());
         group->unacked.erase(group->unacked.begin(),
                              group->unacked.begin() + static_cast<std::ptrdiff_t>(count));
         group->ack_count = static_cast<std::uint8_t>(group->ack_count + count);
       }},
  };
}

void Mcu::outputs_to_defaults() {
  devices_.scheduled_levels.clear();
  for (auto& [oid, out] : devices_.digital_outs) {
    out.value = out.default_value;
    out.on_ticks = out.default_value ? out.cycle_ticks : 0;
    out.deadline.reset();
    devices_.pin_levels[out.pin] = out.value;
  }
  for (auto& [oid, out] : devices_.pwm_outs) {
    out.value = out.default_value;
    out.deadline.reset();
  }
}

bool Mcu::claim_oid(std::uint32_t oid) {
  if (!oid_count_ || oid >= *oid_count_ || devices_.oid_taken(oid)) {
    shutdown("Can't assign oid");
    return false;
  }
  return true;
}

bool Mcu::claim_other(std::uint32_t oid, const std::string& kind) {
  if (!claim_oid(oid)) return false;
  devices_.others[oid] = kind;
  return true;
}

void Mcu::set_analog_fraction(std::uint32_t pin, double fraction) {
  analog_fractions_[pin] = fraction;
}

std::optional<std::uint64_t> Mcu::renewal_deadline(std::uint32_t clock, bool non_default,
                                                   std::uint32_t max_duration) const {
  if (!non_default || max_duration == 0) return std::nullopt;
  return to_clock64(clock) + max_duration;
}

void Mcu::poll_devices(std::uint64_t now) {
  // An output left at a non-default level longer than allowed: the host has stopped
  // renewing it (a stalled host must not leave a heater on).
  for (const auto& [oid, out] : devices_.digital_outs)
    if (out.deadline && now >= *out.deadline)
      return shutdown("Missed scheduling of next digital out event");
  for (const auto& [oid, out] : devices_.pwm_outs)
    if (out.deadline && now >= *out.deadline)
      return shutdown("Missed scheduling of next hard pwm event");
  for (auto& [oid, in] : devices_.analog_ins) {
    while (in.querying && !is_shutdown() &&
           now >= in.begin + std::uint64_t{in.sample_count} * in.sample_ticks) {
      const std::uint32_t max_adc = in.sample_count * constants_.adc_max;
      const auto set = analog_fractions_.find(in.pin);
      const auto source = analog_sources_.find(in.pin);
      const double fraction = source != analog_sources_.end()  ? source->second(in.begin)
                              : set != analog_fractions_.end() ? set->second
                                                               : kRoomTemperatureFraction;
      auto value =
          static_cast<std::uint32_t>(std::lround(std::clamp(fraction, 0.0, 1.0) * max_adc));
      // Unless a reading was set on purpose, stay inside what the host accepts.
      if (set == analog_fractions_.end() && source == analog_sources_.end())
        value = std::clamp(value, in.min_value, std::max(in.min_value, in.max_value));
      in.begin += in.rest_ticks;
      if (value < in.min_value || value > in.max_value) {
        if (++in.out_of_range >= in.range_check_count) return shutdown("ADC out of range");
      } else {
        in.out_of_range = 0;
      }
      in.batch.push_back(static_cast<std::uint16_t>(value));
      if (in.batch.size() < in.samples_per_report) continue;
      if (constants_.batched_analog) {
        std::string values;
        for (const std::uint16_t v : in.batch) {
          values.push_back(static_cast<char>(v & 0xff));
          values.push_back(static_cast<char>(v >> 8));
        }
        send("analog_in_state",
             {std::int64_t{oid}, std::int64_t{static_cast<std::uint32_t>(in.begin)}, values});
      } else {
        send("analog_in_state",
             {std::int64_t{oid}, std::int64_t{static_cast<std::uint32_t>(in.begin)},
              std::int64_t{in.batch.back()}});
      }
      in.batch.clear();
    }
  }
  for (auto& [oid, group] : devices_.buttons) {
    while (group.querying && !is_shutdown() && now >= group.next_poll) {
      std::uint32_t state = 0;
      for (std::size_t pos = 0; pos < group.pins.size(); ++pos)
        if (group.pins[pos] && level_at(*group.pins[pos], group.next_poll)) state |= 1u << pos;
      group.next_poll += group.rest_ticks;
      bool report = false;
      // Debounced: a changed pin counts once two polls in a row read it so.
      const std::uint32_t changed = state ^ group.last_state;
      const std::uint32_t steady = ~(state ^ group.last_read);
      group.last_read = state;
      if (changed && (changed & steady) == changed) {
        group.last_state = state;
        group.unacked.push_back(static_cast<std::uint8_t>(state));
        report = true;
      } else if (!group.unacked.empty() && group.retransmit_count > 0 &&
                 ++group.polls_since_report >= group.retransmit_count) {
        report = true;
      }
      if (!report) continue;
      group.polls_since_report = 0;
      send("buttons_state", {std::int64_t{oid}, std::int64_t{group.ack_count},
                             std::string(group.unacked.begin(), group.unacked.end())});
    }
  }
}

}  // namespace mcu_emu
