// A whole simulated host: reactor, log, printer, G-code and the core components, with the
// calls that the command-line simulator and the tests use to drive it.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "klippy/host/module.h"
#include "sim/host/carried_hardware.h"
#include "sim/host/config.h"
#include "sim/host/gcode.h"
#include "sim/host/logger.h"
#include "sim/host/printer.h"
#include "sim/host/python_interpreter.h"
#include "sim/reactor/reactor.h"

namespace sim {

struct HostOptions {
  ClockKind clock = ClockKind::Virtual;
  // Product paths such as /home/zur/... live under this folder ("" keeps them as they are).
  std::string data_dir;
  std::string log_path;
  std::map<std::string, std::string> start_args;
  // Every console response ("// ...", "!! ...", raw text); none: dropped.
  std::function<void(const std::string&)> output;
  // The hardware as a previous host left it when it restarted in place; none: a cold start.
  std::shared_ptr<const CarriedHardware> carried;
  // The interpreter that renders macro templates, for hosts that follow one another in a
  // process (a restart); none: the host has its own, started when a template needs it.
  std::shared_ptr<PythonInterpreter> python;
};

class SimHost {
 public:
  explicit SimHost(HostOptions options);
  ~SimHost();
  SimHost(const SimHost&) = delete;
  SimHost& operator=(const SimHost&) = delete;

  void add_module(klippy::ExtraModule module);
  // Builds the printer from `config` and sends the ready event; ConfigError on a fault.
  void start(const ConfigText& config);

  SimReactor& reactor() { return *reactor_; }
  SimPrinter& printer() { return *printer_; }
  SimGCode& gcode() { return *gcode_; }
  SimLogger& logger() { return *logger_; }

  // How far a console line got before run_command returned.
  enum class LineOutcome {
    finished,
    not_started,  // the host ended its run (or a day passed) before the line got the lock
    cut_off,      // the host ended its run (or a day passed) while the line ran
  };
  // Runs one console line as a task and drives the simulation until it has finished (or,
  // for a command that never ends, until a simulated day has passed).
  LineOutcome run_command(const std::string& line);
  static constexpr double kCommandTimeoutS = 24 * 3600.0;
  // Lets the simulation run for `seconds` of reactor time.
  void advance(double seconds);
  // Drives the simulation until `predicate` holds; false when `timeout_s` passed first.
  bool run_until(const std::function<bool()>& predicate, double timeout_s);
  // Every object's status, keyed by object name.
  klippy::Value::Dict collect_status();

  // True once something asked the host to end its run (RESTART, a module's request_exit):
  // run_command, advance and run_until then return early, and the owner restarts the host.
  bool exit_requested() const { return !printer_->exit_result().empty(); }
  const std::string& exit_result() const { return printer_->exit_result(); }
  // The filament and the USB devices as they are now, for the host that follows this one.
  CarriedHardware carry_hardware();

 private:
  // First, so that it ends after every template of the printer.
  std::shared_ptr<PythonInterpreter> python_;
  std::unique_ptr<SimReactor> reactor_;
  std::unique_ptr<SimLogger> logger_;
  std::unique_ptr<SimPrinter> printer_;
  std::shared_ptr<SimGCode> gcode_;
  std::vector<klippy::ExtraModule> extra_modules_;
};

}  // namespace sim
