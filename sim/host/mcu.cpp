#include "sim/host/mcu.h"

#include <algorithm>

#include "klippy/host/errors.h"
#include "sim/host/digital_out.h"
#include "sim/host/endstop.h"
#include "sim/host/pins.h"
#include "sim/host/printer.h"
#include "sim/reactor/reactor.h"

namespace sim {
namespace {

std::string first_word(const std::string& format) {
  const auto start = format.find_first_not_of(' ');
  if (start == std::string::npos) return "";
  return format.substr(start, format.find(' ', start) - start);
}

class SimCommandQueue final : public klippy::CommandQueue {};

class SimQueryCommand final : public klippy::McuQueryCommand {
 public:
  SimQueryCommand(SimMcu& mcu, std::string command, std::string response)
      : mcu_(mcu), command_(std::move(command)), response_(std::move(response)) {}

  std::map<std::string, klippy::Value> send(const std::vector<klippy::Value>& args) override {
    klippy::Reactor& reactor = mcu_.reactor();
    reactor.pause(reactor.monotonic() + SimMcu::kQueryLatency_s);
    const DeviceHandler* handler = mcu_.find_device(command_);
    if (!handler) handler = mcu_.find_device(response_);
    if (mcu_.is_connected() && handler) return (*handler)(args);
    reactor.pause(reactor.monotonic() + SimMcu::kQueryTimeout_s - SimMcu::kQueryLatency_s);
    throw klippy::CommandError("Timeout on wait for '" + response_ + "' response from mcu '" +
                               mcu_.get_name() +
                               "'; check that the micro-controller is connected and its "
                               "firmware supports '" +
                               command_ + "'");
  }

 private:
  SimMcu& mcu_;
  std::string command_;
  std::string response_;
};

}  // namespace

std::string mcu_chip_name(const std::string& section_name) {
  const auto space = section_name.find(' ');
  return space == std::string::npos ? section_name : section_name.substr(space + 1);
}

SimMcu::SimMcu(klippy::ConfigSection& config)
    : printer_(config.get_printer()),
      environment_(printer_.lookup_object<SimEnvironment>(SimEnvironment::kName)),
      chip_name_(mcu_chip_name(config.get_name())) {
  // Connection options of a real board; the simulated one is always attached.
  serial_ = config.get("serial", "");
  config.getint("baud", 250000, {1, {}});
  config.get_optional("canbus_uuid");
  config.get_optional("canbus_interface");
  config.getchoice("restart_method", {"arduino", "cheetah", "rpi_usb", "command"}, "command");
  config.getfloat("max_stepper_error", 0.000025, {0., {}, {}, {}});
  config.getboolean("is_non_critical", false);
  printer_.lookup_object<SimPins>("pins").register_chip(chip_name_, *this);
  printer_.register_event_handler("klippy:connect", [this] { build_config(); });
  std::weak_ptr<WatchList> watchers = watchers_;
  environment_.on_change([watchers] {
    if (auto list = watchers.lock()) list->notify();
  });
}

void SimMcu::add_config_cmd(const std::string& cmd, bool on_restart) {
  config_cmds_.push_back({cmd, on_restart});
}

void SimMcu::register_config_callback(std::function<void()> callback) {
  if (configured_) {
    callback();
    return;
  }
  config_callbacks_.push_back(std::move(callback));
}

void SimMcu::build_config() {
  // Callbacks may register further callbacks; those run in the same pass.
  for (std::size_t i = 0; i < config_callbacks_.size(); ++i) {
    auto callback = config_callbacks_[i];
    callback();
  }
  config_callbacks_.clear();
  configured_ = true;
}

std::unique_ptr<klippy::McuQueryCommand> SimMcu::lookup_query_command(
    const std::string& msgformat, const std::string& respformat, int /*oid*/,
    klippy::CommandQueue* /*cq*/) {
  return std::make_unique<SimQueryCommand>(*this, first_word(msgformat), first_word(respformat));
}

klippy::CommandQueue* SimMcu::alloc_command_queue() {
  queues_.push_back(std::make_unique<SimCommandQueue>());
  return queues_.back().get();
}

double SimMcu::estimated_print_time(double eventtime) const {
  return clock().print_time(eventtime);
}

bool SimMcu::accept_scheduled(double print_time) {
  // Rounding of the reactor's clock, not a schedule anyone would choose. On the real clock,
  // time also passes between the caller's reading of it and this one (a microsecond, more
  // when the machine is busy): the real MCU takes any command that arrives before its time,
  // so that passing must not count as too close.
  const auto* sim_reactor = dynamic_cast<const SimReactor*>(&reactor());
  const double slack_s =
      sim_reactor && sim_reactor->clock_kind() == ClockKind::Real ? kRealClockSlack_s : 1e-9;
  const double now = estimated_print_time(reactor().monotonic());
  if (print_time >= now + kMinScheduleTime_s - slack_s) return true;
  auto* printer = dynamic_cast<SimPrinter*>(&printer_);
  if (printer) printer->invoke_shutdown("MCU '" + chip_name_ + "' shutdown: Timer too close");
  return false;
}

double SimMcu::print_time_to_clock_time(double print_time) const {
  return clock().eventtime(print_time);
}

std::unique_ptr<klippy::McuEndstop> SimMcu::setup_endstop(const klippy::PinParams& pin) {
  return std::make_unique<SimEndstop>(*this, pin);
}

std::unique_ptr<klippy::McuDigitalOut> SimMcu::setup_digital_out(const klippy::PinParams& pin) {
  return std::make_unique<SimDigitalOut>(*this, pin);
}

std::optional<klippy::Value> SimMcu::get_status(double /*eventtime*/) {
  return klippy::Value(klippy::Value::Dict{
      {"connected", connected_},
      {"mcu_version", "sim"},
      {"serial", serial_},
  });
}

void SimMcu::attach_signal(const std::string& pin, std::shared_ptr<PinSignal> signal) {
  signals_[pin] = std::move(signal);
  notify_changed();
}

const PinSignal& SimMcu::signal(const std::string& pin, int pullup) const {
  auto it = signals_.find(pin);
  if (it != signals_.end() && it->second) return *it->second;
  return pullup > 0 ? static_cast<const PinSignal&>(high_) : low_;
}

int SimMcu::level(const klippy::PinParams& pin, double print_time) const {
  return signal(pin.pin, pin.pullup).level(print_time) ^ (pin.invert ? 1 : 0);
}

void SimMcu::register_device(const std::string& command_name, DeviceHandler handler) {
  devices_[command_name] = std::move(handler);
}

const DeviceHandler* SimMcu::find_device(const std::string& command_name) const {
  auto it = devices_.find(command_name);
  return it == devices_.end() ? nullptr : &it->second;
}

std::string SimMcu::dump_config() const {
  std::string text;
  for (const auto& c : config_cmds_) text += c.cmd + (c.on_restart ? "  (on restart)\n" : "\n");
  return text;
}

std::shared_ptr<void> SimMcu::watch_changes(std::function<void()> listener) {
  auto token = std::make_shared<Listener>(std::move(listener));
  watchers_->listeners.push_back(token);
  return token;
}

void SimMcu::WatchList::notify() {
  std::erase_if(listeners, [](const auto& weak) { return weak.expired(); });
  // Listeners may add or drop watches while being called.
  auto snapshot = listeners;
  for (const auto& weak : snapshot) {
    if (auto listener = weak.lock()) (*listener)();
  }
}

}  // namespace sim
