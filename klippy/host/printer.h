// The printer: registry of every host and module object, events, and the run's lifetime.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "klippy/host/config.h"
#include "klippy/host/errors.h"
#include "klippy/host/log.h"
#include "klippy/host/object.h"
#include "klippy/host/reactor.h"

namespace klippy {

class FileWriter;
class HostFactory;

class Printer {
 public:
  virtual ~Printer() = default;

  virtual Reactor& get_reactor() = 0;
  virtual Logger& log() = 0;
  // Host components that a module builds from its own configuration section.
  virtual HostFactory& factory() = 0;
  // Durable writes off the event loop. Product addition: the bridge runs its own for the
  // real host and stops it at the host's disconnect.
  virtual FileWriter& file_writer() = 0;

  // nullptr when nothing is registered under `name`.
  virtual PrinterObject* find_object(const std::string& name) = 0;
  // Fails with "Printer object '<name>' already created".
  virtual void add_object(const std::string& name, std::shared_ptr<PrinterObject> object) = 0;
  // Creates the object of `section` from the configuration on first use.
  virtual PrinterObject& load_object_any(ConfigSection& config, const std::string& section) = 0;
  // Registered objects whose name starts with `prefix`, in registration order.
  virtual std::vector<std::pair<std::string, PrinterObject*>> lookup_objects(
      const std::string& prefix = "") = 0;

  virtual void register_event_handler(const std::string& event, std::function<void()> handler) = 0;
  virtual void send_event(const std::string& event) = 0;
  virtual const std::map<std::string, std::string>& get_start_args() const = 0;
  // "exit", "error_exit", "restart" or "firmware_restart".
  virtual void request_exit(const std::string& result) = 0;
  // Where a fixed file path of the product lives on this host (the simulator keeps every
  // such file under its data directory; the real host uses the path as it is).
  virtual std::string resolve_path(const std::string& path) const = 0;

  // Fails with "Unknown config object '<name>'" (also when the object is of another type).
  template <class T>
  T& lookup_object(const std::string& name) {
    if (T* found = lookup_object_or_null<T>(name)) return *found;
    throw ConfigError("Unknown config object '" + name + "'");
  }
  template <class T>
  T* lookup_object_or_null(const std::string& name) {
    return dynamic_cast<T*>(find_object(name));
  }
  template <class T>
  T& load_object(ConfigSection& config, const std::string& section) {
    if (T* typed = dynamic_cast<T*>(&load_object_any(config, section))) return *typed;
    throw ConfigError("Printer object '" + section + "' is not of the expected kind");
  }

  CommandError command_error(const std::string& message) const { return CommandError(message); }
};

}  // namespace klippy
