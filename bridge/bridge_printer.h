// klippy::Printer over the host's printer object: the registry, events and the run's
// lifetime. One bridge exists per host printer; it lives in an attribute of that printer,
// so a restart of the host (a new printer object) starts a new bridge.
//
// Objects the modules create are owned here and reach the host as small handle objects
// with a get_status method. Host objects the modules look up are wrapped once, by name,
// in an adapter of the matching host interface.
#pragma once

#include <pybind11/pybind11.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bridge/host_link.h"
#include "klippy/host/factory.h"
#include "klippy/host/file_writer.h"
#include "klippy/host/printer.h"

namespace bridge {

namespace py = pybind11;

class BridgeConfig;
class BridgeReactor;

class PythonLogger final : public klippy::Logger {
 public:
  void log(klippy::LogLevel level, const std::string& message) override;
};

class BridgePrinter final : public klippy::Printer {
 public:
  // The bridge of `printer`, made on first use.
  static BridgePrinter& attach(py::handle printer);
  ~BridgePrinter() override;
  BridgePrinter(const BridgePrinter&) = delete;
  BridgePrinter& operator=(const BridgePrinter&) = delete;

  klippy::Reactor& get_reactor() override;
  klippy::Logger& log() override { return logger_; }
  klippy::HostFactory& factory() override { return *factory_; }
  klippy::FileWriter& file_writer() override { return *file_writer_; }
  klippy::PrinterObject* find_object(const std::string& name) override;
  void add_object(const std::string& name, std::shared_ptr<klippy::PrinterObject> object) override;
  klippy::PrinterObject& load_object_any(klippy::ConfigSection& config,
                                         const std::string& section) override;
  std::vector<std::pair<std::string, klippy::PrinterObject*>> lookup_objects(
      const std::string& prefix) override;
  void register_event_handler(const std::string& event, std::function<void()> handler) override;
  void send_event(const std::string& event) override;
  const std::map<std::string, std::string>& get_start_args() const override { return start_args_; }
  void request_exit(const std::string& result) override;
  // The product's fixed paths under /home/zur live under [feedhub] base_folder instead.
  std::string resolve_path(const std::string& path) const override;
  // Reads [feedhub] base_folder once, from whichever module section loads first.
  void read_base_folder(py::handle config);

  const HostLink& link() const { return link_; }
  py::handle host_printer() const { return printer_; }
  // The section adapter of a host config wrapper, made once per section.
  BridgeConfig& config_section(py::object config);
  static py::object host_config(klippy::ConfigSection& config);
  // Takes ownership of a module object; returns the handle to give the host.
  py::object adopt(std::shared_ptr<klippy::PrinterObject> object);

 private:
  explicit BridgePrinter(py::handle printer);
  // At the host's "klippy:disconnect" (a restart or the exit): lets go of every host
  // object, so that the host can free the old printer.
  void teardown();
  // Joins the file writer's worker, which takes the interpreter lock to wake the host: the
  // lock is let go meanwhile.
  void stop_file_writer();

  py::handle printer_;  // borrowed: the printer owns this bridge
  std::shared_ptr<const void> alive_;
  std::shared_ptr<CallableRegistry> callables_;
  HostLink link_;
  PythonLogger logger_;
  std::map<std::string, std::string> start_args_;
  std::optional<std::string> base_folder_;
  std::unique_ptr<BridgeReactor> reactor_;
  std::unique_ptr<klippy::FileWriter> file_writer_;
  std::unique_ptr<klippy::HostFactory> factory_;
  std::map<std::string, std::unique_ptr<BridgeConfig>> configs_;
  std::map<std::string, std::shared_ptr<klippy::PrinterObject>> adapters_;
  // Module objects go first, while everything they refer to still exists.
  std::vector<std::shared_ptr<klippy::PrinterObject>> owned_;
};

}  // namespace bridge
