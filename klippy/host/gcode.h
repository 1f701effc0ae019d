// The G-code dispatcher and one parsed command, with the host's parameter checks.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "klippy/host/config.h"
#include "klippy/host/errors.h"
#include "klippy/host/object.h"
#include "klippy/host/reactor.h"

namespace klippy {

class GCodeDispatch;

class GCodeCommand {
 public:
  GCodeCommand(GCodeDispatch& gcode, std::string command, std::string commandline,
               std::map<std::string, std::string> params);

  const std::string& get_command() const { return command_; }
  const std::string& get_commandline() const { return commandline_; }
  const std::map<std::string, std::string>& get_command_parameters() const { return params_; }
  bool has(const std::string& name) const { return params_.count(name) != 0; }

  // Missing parameter without default: "Error on '<line>': missing NAME".
  std::string get(const std::string& name, std::optional<std::string> default_value = {}) const;
  long long get_int(const std::string& name, std::optional<long long> default_value = {},
                    IntLimits limits = {}) const;
  double get_float(const std::string& name, std::optional<double> default_value = {},
                   FloatLimits limits = {}) const;

  void respond_info(const std::string& text) const;
  void respond_raw(const std::string& text) const;
  CommandError error(const std::string& message) const { return CommandError(message); }

 private:
  GCodeDispatch& gcode_;
  std::string command_;
  std::string commandline_;
  std::map<std::string, std::string> params_;
};

using CommandHandler = std::function<void(GCodeCommand&)>;

class GCodeDispatch : public PrinterObject {
 public:
  // Configuration error when `name` is registered already.
  virtual void register_command(const std::string& name, CommandHandler handler,
                                const std::string& help = "") = 0;
  // One command whose `key` parameter picks the handler. As in the host, the first
  // registration of `command` sets its help text; later ones cannot change it.
  virtual void register_mux_command(const std::string& command, const std::string& key,
                                    const std::string& value, CommandHandler handler,
                                    const std::string& help = "") = 0;
  virtual bool is_registered(const std::string& name) const = 0;
  // Waits for the G-code lock, then runs every line; the first failing line's error is
  // reported and thrown to the caller.
  virtual void run_script(const std::string& script) = 0;
  // Same, inside a command that already holds the lock.
  virtual void run_script_from_command(const std::string& script) = 0;
  virtual void respond_info(const std::string& text, bool log = true) = 0;
  virtual void respond_raw(const std::string& text) = 0;
  virtual ReactorMutex& get_mutex() = 0;
  CommandError error(const std::string& message) const { return CommandError(message); }
};

}  // namespace klippy
