// A simulated micro-controller: object ids, configuration commands, query commands answered
// by simulated devices, and the level source of each of its pins. Registered as "mcu" for
// [mcu] and "mcu NAME" for [mcu NAME]; its chip name in pin descriptions is "mcu" or NAME.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "klippy/host/config.h"
#include "klippy/host/mcu.h"
#include "klippy/host/printer.h"
#include "sim/host/environment.h"
#include "sim/host/pin_signal.h"

namespace sim {

struct McuConfigCommand {
  std::string cmd;
  bool on_restart = false;
};

// Answers one query command of the MCU firmware: gets the arguments of send() (by
// convention the object id first) and returns the fields of the response.
using DeviceHandler =
    std::function<std::map<std::string, klippy::Value>(const std::vector<klippy::Value>& args)>;

class SimMcu final : public klippy::Mcu {
 public:
  // Time between sending a query and receiving its answer.
  static constexpr double kQueryLatency_s = 0.005;
  // How long the host waits for an answer nobody sends before giving up.
  static constexpr double kQueryTimeout_s = 5.0;
  // The host's MIN_SCHEDULE_TIME. A real MCU shuts down on a command whose time has passed
  // when it arrives, which on a loaded host can be anything closer than this; the
  // simulated one refuses every command scheduled closer, so that no such timing passes
  // here and fails on a printer.
  static constexpr double kMinScheduleTime_s = 0.1;
  // On the real clock: how much of that the loop may lose between choosing a time and
  // handing the command over.
  static constexpr double kRealClockSlack_s = 0.02;

  explicit SimMcu(klippy::ConfigSection& config);

  // Chip name: "mcu" for [mcu], NAME for [mcu NAME].
  const std::string& get_name() const override { return chip_name_; }
  int create_oid() override { return next_oid_++; }
  void add_config_cmd(const std::string& cmd, bool on_restart = false) override;
  // Runs at "klippy:connect", or at once when the configuration is already built.
  void register_config_callback(std::function<void()> callback) override;
  std::unique_ptr<klippy::McuQueryCommand> lookup_query_command(
      const std::string& msgformat, const std::string& respformat, int oid = -1,
      klippy::CommandQueue* cq = nullptr) override;
  klippy::CommandQueue* alloc_command_queue() override;
  // The simulated boards run the box firmware: every command the modules use is there.
  bool knows_command(const std::string& /*msgformat*/) const override { return true; }
  double estimated_print_time(double eventtime) const override;
  // The reactor time at which `print_time` is reached.
  double print_time_to_clock_time(double print_time) const override;
  std::unique_ptr<klippy::McuEndstop> setup_endstop(const klippy::PinParams& pin) override;
  std::unique_ptr<klippy::McuDigitalOut> setup_digital_out(const klippy::PinParams& pin) override;
  std::optional<klippy::Value> get_status(double eventtime) override;

  // The world drives `pin` with `signal` from now on (replacing a digital output's schedule
  // or an earlier source); armed endstops and buttons look again.
  void attach_signal(const std::string& pin, std::shared_ptr<PinSignal> signal);
  // What drives `pin`: the attached source, else a constant level (1 with a pull-up).
  const PinSignal& signal(const std::string& pin, int pullup) const;
  // Level of a pin after the description's inversion.
  int level(const klippy::PinParams& pin, double print_time) const;

  // `command_name` is the first word of the query's message or response format.
  void register_device(const std::string& command_name, DeviceHandler handler);
  const DeviceHandler* find_device(const std::string& command_name) const;
  // An unplugged MCU answers no query and fails every homing on it.
  void set_connected(bool connected) { connected_ = connected; }
  bool is_connected() const { return connected_; }

  bool is_configured() const { return configured_; }
  // A command for `print_time` arrives now: shuts the printer down, as the MCU does, when
  // that is closer than kMinScheduleTime_s; true when the command may run.
  bool accept_scheduled(double print_time);
  const std::vector<McuConfigCommand>& config_commands() const { return config_cmds_; }
  // The configuration block as the MCU would receive it, one command per line.
  std::string dump_config() const;

  klippy::Printer& printer() { return printer_; }
  klippy::Reactor& reactor() { return printer_.get_reactor(); }
  const PrintClock& clock() const { return environment_.clock(); }
  void notify_changed() { environment_.notify_changed(); }
  // Calls `listener` on every change notice of the environment while the token lives.
  std::shared_ptr<void> watch_changes(std::function<void()> listener);

 private:
  using Listener = std::function<void()>;
  struct WatchList {
    std::vector<std::weak_ptr<Listener>> listeners;
    void notify();
  };

  void build_config();

  klippy::Printer& printer_;
  SimEnvironment& environment_;
  std::string chip_name_;
  std::string serial_;
  int next_oid_ = 0;
  bool connected_ = true;
  bool configured_ = false;
  std::vector<McuConfigCommand> config_cmds_;
  std::vector<std::function<void()>> config_callbacks_;
  std::vector<std::unique_ptr<klippy::CommandQueue>> queues_;
  std::map<std::string, DeviceHandler> devices_;
  std::map<std::string, std::shared_ptr<PinSignal>> signals_;
  ConstantSignal low_{0};
  ConstantSignal high_{1};
  std::shared_ptr<WatchList> watchers_ = std::make_shared<WatchList>();
};

// The chip name of an MCU section: "mcu" for [mcu], NAME for [mcu NAME].
std::string mcu_chip_name(const std::string& section_name);

}  // namespace sim
