// A simulated host for tests: built from a configuration text, with its console output
// and a private data folder that is removed afterwards.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "klippy/host/value.h"
#include "sim/host.h"

namespace klippy {
// Failed expectations show saved values as Python literals.
inline void PrintTo(const Value& value, std::ostream* out) {
  *out << value.repr();
}
}  // namespace klippy

namespace testing_support {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

class TestHost {
 public:
  TestHost();
  // Builds and starts the printer; ConfigError escapes to the test.
  void start(const std::string& config_text);
  // Restarts in place, as after RESTART: a new host with the same data folder starts from
  // `config_text` and finds the filament where the old one left it. `prepare` adds the
  // modules to the new host before it starts.
  void restart(const std::string& config_text,
               const std::function<void(sim::SimHost&)>& prepare = nullptr);
  sim::SimHost& host() { return *host_; }
  // Runs a console line; returns what it printed.
  std::vector<std::string> command(const std::string& line);
  std::vector<std::string>& output() { return output_; }
  const std::string& data_dir() const { return dir_.path(); }
  // Host path of a fixed product path.
  std::string path(const std::string& product_path) const;

 private:
  sim::HostOptions options();

  TempDir dir_;
  std::vector<std::string> output_;
  std::unique_ptr<sim::SimHost> host_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);

}  // namespace testing_support
