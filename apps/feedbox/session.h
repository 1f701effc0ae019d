// What `feedbox run` and `feedbox console` share: the data folder, the configuration and a
// started host with the product's modules.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "sim/host.h"

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
  std::string data_dir;
  std::string log_path;
  sim::ClockKind clock = sim::ClockKind::Virtual;
  std::function<void(const std::string&)> output;
};

class Session {
 public:
  // Throws klippy::ConfigError for a configuration that cannot start.
  explicit Session(SessionOptions options);
  sim::SimHost& host() { return *host_; }
  const std::string& data_dir() const { return data_dir_.path(); }

 private:
  DataDir data_dir_;
  std::unique_ptr<sim::SimHost> host_;
};

}  // namespace feedbox
