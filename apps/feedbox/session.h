// What `feedbox run` and `feedbox console` share: the data folder, the configuration and a
// started host with the product's modules.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "sim/host/host.h"

namespace feedbox {

// The folder where the product's fixed paths live; a temporary one is removed at the end.
class DataDir {
 public:
  // `path` empty: a fresh temporary folder.
  explicit DataDir(const std::string& path);
  ~DataDir();
  DataDir(const DataDir&) = delete;
  DataDir& operator=(const DataDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  bool temporary_ = false;
};

struct SessionOptions {
  std::string config_path;  // empty: the embedded default printer
  int boxes = 1;            // filament boxes of the embedded printer (0 to 4)
  // Appended to the embedded printer's configuration: its options replace those of the same
  // sections.
  std::string embedded_overrides;
  std::string data_dir;
  std::string log_path;
  sim::ClockKind clock = sim::ClockKind::Virtual;
  std::function<void(const std::string&)> output;
  // Called while the old host still runs, right before a restart replaces it.
  std::function<void()> before_restart;
  // Called with each host once it has started (the first, and each after a restart).
  std::function<void(sim::SimHost&)> after_start;
};

class Session {
 public:
  // Throws klippy::ConfigError for a configuration that cannot start.
  explicit Session(SessionOptions options);
  // The running host; a restart replaces it, so do not keep the reference across one.
  sim::SimHost& host() { return *host_; }
  const std::string& data_dir() const { return data_dir_.path(); }

  // Run a console line or let time pass; when the host asks to end its run meanwhile, it
  // is restarted in place and the rest of the time passes on the new host. A line the old
  // host had not begun runs on the new one; one it was running is reported as cut off.
  void run_command(const std::string& line);
  void advance(double seconds);
  // Once the host has asked to end its run: starts it again as its service manager would,
  // with the configuration read anew and the saved variables, spools, strands and USB
  // devices kept. Returns whether it restarted; ConfigError when the new configuration
  // cannot start.
  bool restart_if_requested();
  int restarts() const { return restarts_; }

 private:
  void start_host(std::shared_ptr<const sim::CarriedHardware> carried);
  void start_printer(bool cold_start);
  void say(const std::string& text);

  SessionOptions options_;
  DataDir data_dir_;
  // One for every host of the session: a restart does not start Python anew.
  std::shared_ptr<sim::PythonInterpreter> python_ = std::make_shared<sim::PythonInterpreter>();
  std::unique_ptr<sim::SimHost> host_;
  int restarts_ = 0;
};

}  // namespace feedbox
