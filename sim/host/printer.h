// The simulated printer: object registry, module loading in configuration order, events
// and the start sequence (objects, MCU configuration, "klippy:connect", "klippy:ready").
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "klippy/host/factory.h"
#include "klippy/host/file_writer.h"
#include "klippy/host/module.h"
#include "klippy/host/printer.h"
#include "sim/host/config.h"

namespace sim {

class SimPrinter final : public klippy::Printer {
 public:
  SimPrinter(klippy::Reactor& reactor, klippy::Logger& log, std::string data_dir,
             std::map<std::string, std::string> start_args);
  ~SimPrinter() override;

  klippy::Reactor& get_reactor() override { return reactor_; }
  klippy::Logger& log() override { return log_; }
  klippy::HostFactory& factory() override;
  klippy::FileWriter& file_writer() override { return file_writer_; }
  klippy::PrinterObject* find_object(const std::string& name) override;
  void add_object(const std::string& name, std::shared_ptr<klippy::PrinterObject> object) override;
  klippy::PrinterObject& load_object_any(klippy::ConfigSection& config,
                                         const std::string& section) override;
  std::vector<std::pair<std::string, klippy::PrinterObject*>> lookup_objects(
      const std::string& prefix) override;
  void register_event_handler(const std::string& event, std::function<void()> handler) override;
  void send_event(const std::string& event) override;
  const std::map<std::string, std::string>& get_start_args() const override { return args_; }
  void request_exit(const std::string& result) override;
  std::string resolve_path(const std::string& path) const override;

  void add_module(klippy::ExtraModule module);
  // Called once, on the first request_exit.
  void on_exit_request(std::function<void()> listener) { exit_listener_ = std::move(listener); }
  void set_factory(std::unique_ptr<klippy::HostFactory> factory) { factory_ = std::move(factory); }
  // Builds every object of the configuration and checks it; ConfigError on any fault.
  void load_config(std::unique_ptr<SimConfig> config);
  // Runs the MCU configuration and the connect and ready events. A ready handler that
  // fails shuts the host down, as the real host does; it does not end the run.
  void start();
  // As the real host on a fault: logs it, keeps `message` as its state and tells every
  // object ("klippy:shutdown"); a second call changes nothing.
  void invoke_shutdown(const std::string& message);
  // The message of the shutdown; "" while the host is not shut down.
  const std::string& shutdown_message() const { return shutdown_message_; }

  const std::vector<std::string>& ignored_sections() const { return ignored_; }
  // "" while running; else the result passed to request_exit.
  const std::string& exit_result() const { return exit_result_; }
  SimConfig& config() { return *config_; }

 private:
  const klippy::ExtraModule* module_for(const std::string& section) const;

  klippy::Reactor& reactor_;
  klippy::Logger& log_;
  std::string data_dir_;
  std::map<std::string, std::string> args_;
  std::unique_ptr<klippy::HostFactory> factory_;
  std::unique_ptr<SimConfig> config_;
  std::vector<klippy::ExtraModule> modules_;
  std::vector<std::pair<std::string, std::shared_ptr<klippy::PrinterObject>>> objects_;
  std::map<std::string, klippy::PrinterObject*> index_;
  std::map<std::string, std::vector<std::function<void()>>> handlers_;
  std::set<std::string> implemented_;
  std::set<std::string> loading_;
  std::vector<std::string> ignored_;
  std::string exit_result_;
  std::function<void()> exit_listener_;
  std::string shutdown_message_;
  // Its worker wakes only the reactor, which outlives the printer.
  klippy::FileWriter file_writer_;
};

}  // namespace sim
