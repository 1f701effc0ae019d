#include "mcu.h"

#include <algorithm>
#include <utility>

namespace mcu_emu {
namespace {

std::vector<std::string> formats(const auto& commands) {
  std::vector<std::string> out;
  for (const auto& command : commands) out.push_back(command.format);
  return out;
}

std::vector<std::string> responses(const McuConstants& constants) {
  std::vector<std::string> out = {
      "uptime high=%u clock=%u",
      "clock clock=%u",
      "config is_config=%c crc=%u is_shutdown=%c move_count=%hu",
      "shutdown clock=%u static_string_id=%hu",
      "is_shutdown static_string_id=%hu",
      "starting",
      "stats count=%u sum=%u sumsq=%u",
      constants.batched_analog ? "analog_in_state oid=%c next_clock=%u values=%*s"
                               : "analog_in_state oid=%c next_clock=%u value=%hu",
      "buttons_state oid=%c ack_count=%c state=%*s",
      "stepper_position oid=%c pos=%i",
      "endstop_state oid=%c homing=%c next_clock=%u pin_value=%c",
      "trsync_state oid=%c can_trigger=%c trigger_reason=%c clock=%u",
  };
  if (constants.card_reader) {
    out.emplace_back("spi_transfer_response oid=%c response=%*s");
    out.emplace_back("fm17550_read_card_return oid=%c status=%c data=%*s");
  }
  return out;
}

const std::vector<std::string> kShutdownReasons = {
    "Command request",
    "Shutdown cleared when not shutdown",
    "config_reset only available when shutdown",
    "oids already allocated",
    "Already finalized",
    "Invalid command",
    "Command parser error",
    "Can't assign oid",
    "Invalid oid type",
    "Max of 8 buttons",
    "Set button past maximum button count",
    "ADC out of range",
    "Missed scheduling of next digital out event",
    "Missed scheduling of next hard pwm event",
    "Invalid count parameter",
    "Stepper too far in past",
    "Can't reset time when stepper active",
    "Move queue overflow",
};

}  // namespace

Mcu::Mcu(const McuConstants& constants, Clock clock)
    : constants_(constants),
      clock_(std::move(clock)),
      commands_(all_commands()),
      dictionary_(formats(commands_), responses(constants_), kShutdownReasons, constants_) {}

std::vector<Mcu::Command> Mcu::all_commands() {
  auto all = commands();
  for (auto& command : device_commands()) all.push_back(std::move(command));
  if (constants_.card_reader)
    for (auto& command : box_commands()) all.push_back(std::move(command));
  for (auto& command : motion_commands()) all.push_back(std::move(command));
  return all;
}

std::vector<Mcu::Command> Mcu::commands() {
  return {
      {"get_uptime",
       [this](const Params&) {
         const std::uint64_t now = clock_();
         send("uptime",
              {static_cast<std::int64_t>(now >> 32), static_cast<std::int64_t>(now & 0xffffffff)});
       },
       true},
      {"get_clock", [this](const Params&) { send("clock", {std::int64_t{clock32()}}); }, true},
      {"get_config",
       [this](const Params&) {
         send("config", {std::int64_t{is_configured()}, std::int64_t{config_crc_.value_or(0)},
                         std::int64_t{is_shutdown()}, std::int64_t{constants_.move_count}});
       },
       true},
      {"allocate_oids count=%c",
       [this](const Params& p) {
         if (oid_count_) return shutdown("oids already allocated");
         oid_count_ = p.u32("count");
       }},
      {"finalize_config crc=%u",
       [this](const Params& p) {
         if (config_crc_) return shutdown("Already finalized");
         config_crc_ = p.u32("crc");
       }},
      {"config_reset",
       [this](const Params&) {
         if (!is_shutdown()) return shutdown("config_reset only available when shutdown");
         shutdown_reason_.reset();
         config_crc_.reset();
         oid_count_.reset();
         devices_ = {};
       },
       true},
      {"clear_shutdown",
       [this](const Params&) {
         if (!is_shutdown()) return shutdown("Shutdown cleared when not shutdown");
         shutdown_reason_.reset();
       },
       true},
      {"emergency_stop", [this](const Params&) { shutdown("Command request"); }, true},
  };
}

std::string Mcu::receive(std::string_view bytes) {
  reader_.append(bytes);
  while (auto event = reader_.next()) {
    if (event->kind == FrameEvent::Kind::kBlock) dispatch(event->payload);
    // After a block its ack; after a block out of sequence or a corrupt one the same ack
    // again, which the host takes for a NAK.
    output_ += encode_frame(reader_.sequence(), {});
  }
  return std::exchange(output_, {});
}

std::string Mcu::poll() {
  const std::uint64_t now = clock_();
  poll_motion(now);
  poll_devices(now);
  devices_.apply_scheduled_levels(now);
  if (now < next_stats_) return std::exchange(output_, {});
  const bool first = next_stats_ == 0;
  next_stats_ = now + 5ull * constants_.clock_freq;
  if (first) return std::exchange(output_, {});
  // An idle firmware: a thousand short task loops in the period.
  send("stats", {std::int64_t{1000}, std::int64_t{100000}, std::int64_t{40000}});
  return std::exchange(output_, {});
}

void Mcu::dispatch(std::string_view payload) {
  std::size_t pos = 0;
  while (pos < payload.size()) {
    const auto id = read_vlq(payload, pos);
    const MessageFormat* format = id ? dictionary_.command(static_cast<int>(*id)) : nullptr;
    if (!format) return shutdown("Invalid command");
    Params params;
    if (!format->decode(payload, pos, params)) return shutdown("Command parser error");
    if (trace_) trace_(format->name() + params.describe());
    if (format->name() == "identify") {
      const std::string& data = dictionary_.compressed();
      const std::size_t offset = std::min<std::size_t>(params.u32("offset"), data.size());
      const std::size_t count = std::min<std::size_t>(params.u32("count"), kPayloadMax - 8);
      send("identify_response",
           {std::int64_t{static_cast<std::int64_t>(offset)}, data.substr(offset, count)});
      continue;
    }
    const Command& command = commands_[static_cast<std::size_t>(format->id() - 2)];
    if (is_shutdown() && !command.allowed_in_shutdown) {
      send("is_shutdown", {std::int64_t{dictionary_.static_string_id(*shutdown_reason_)}});
      continue;
    }
    command.handler(params);
  }
}

void Mcu::send(const std::string& response, const std::vector<ParamValue>& values) {
  std::string payload;
  dictionary_.response(response).encode(payload, values);
  output_ += encode_frame(reader_.sequence(), payload);
}

void Mcu::shutdown(const std::string& reason) {
  if (is_shutdown()) return;
  shutdown_reason_ = reason;
  // The firmware's first act in a shutdown: every output to its safe level.
  outputs_to_defaults();
  send("shutdown", {std::int64_t{clock32()}, std::int64_t{dictionary_.static_string_id(reason)}});
}

}  // namespace mcu_emu
