// The G-code dispatcher of the simulated host: parses lines as the real host does, runs
// handlers under the G-code lock and reports errors as "!! message".
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "klippy/host/gcode.h"
#include "klippy/host/log.h"

namespace sim {

// One parsed line: the command name and its parameters ("" when the line is empty).
struct ParsedLine {
  std::string command;
  std::map<std::string, std::string> params;
};
// Throws klippy::CommandError("Malformed command '<line>'") for an extended command whose
// arguments are not all KEY=VALUE.
ParsedLine parse_gcode_line(const std::string& line);
bool is_traditional_gcode(const std::string& command);

class SimGCode final : public klippy::GCodeDispatch {
 public:
  using Output = std::function<void(const std::string&)>;

  SimGCode(klippy::Reactor& reactor, klippy::Logger& log, Output output);

  void register_command(const std::string& name, klippy::CommandHandler handler,
                        const std::string& help) override;
  void register_mux_command(const std::string& command, const std::string& key,
                            const std::string& value, klippy::CommandHandler handler,
                            const std::string& help) override;
  bool is_registered(const std::string& name) const override;
  // Unregisters `name` and hands back its handler (empty when there is none), as the host's
  // register_command(name, None) does for a macro's rename_existing.
  klippy::CommandHandler take_command(const std::string& name);
  void run_script(const std::string& script) override;
  void run_script_from_command(const std::string& script) override;
  void respond_info(const std::string& text, bool log) override;
  void respond_raw(const std::string& text) override;
  klippy::ReactorMutex& get_mutex() override { return *mutex_; }

  // Every registered command and its help text ("" for none).
  std::map<std::string, std::string> command_help() const;
  // A line typed at the console or read from a script file: runs under the lock; errors are
  // reported, never thrown. Must run inside a reactor task. `started` is called once the line
  // holds the lock, before any of it runs.
  void run_console_line(const std::string& line, const std::function<void()>& started = {});
  // The host is shut down: every command but the host's own few (RESTART, HELP, ...)
  // fails with `message`, as in the real host.
  void handle_shutdown(const std::string& message);
  // Called after each failed command (pause-on-error of a print, for example).
  void set_command_error_hook(std::function<void()> hook) { on_error_ = std::move(hook); }

 private:
  struct Mux {
    std::string key;
    std::map<std::string, klippy::CommandHandler> handlers;
  };

  void process_lines(const std::string& script, bool raise_errors);
  void dispatch(const std::string& line);
  static bool runs_when_shut_down(const std::string& command);
  void run_mux(const std::string& command, klippy::GCodeCommand& gcmd);
  void respond_error(const std::string& message);
  void cmd_HELP(klippy::GCodeCommand& gcmd);

  klippy::Logger& log_;
  Output output_;
  std::unique_ptr<klippy::ReactorMutex> mutex_;
  std::map<std::string, klippy::CommandHandler> handlers_;
  std::map<std::string, std::string> help_;
  std::map<std::string, Mux> mux_;
  std::function<void()> on_error_;
  std::string shutdown_message_;
};

}  // namespace sim
