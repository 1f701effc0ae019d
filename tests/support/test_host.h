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
#include "sim/host/host.h"

namespace klippy {
// Failed expectations show saved values as Python literals.
inline void PrintTo(const Value& value, std::ostream* out) {
  *out << value.repr();
}
}  // namespace klippy

namespace testing_support {

// [stepper_x], [stepper_y] and [stepper_z] of a cartesian printer on the printer MCU's port
// E, reaching X 0 to 306, Y 0 to 325 and Z 0 to 300 once homed.
inline std::string cartesian_rails() {
  std::string text;
  const char* axes[] = {"x", "y", "z"};
  const char* maxima[] = {"306", "325", "300"};
  for (int axis = 0; axis < 3; ++axis) {
    auto pin = [&](int k) { return "PE" + std::to_string(4 * axis + k); };
    text += std::string("[stepper_") + axes[axis] + "]\nstep_pin: " + pin(0) +
            "\ndir_pin: " + pin(1) + "\nenable_pin: !" + pin(2) +
            "\nmicrosteps: 16\nrotation_distance: 40\nendstop_pin: ^" + pin(3) +
            "\nposition_endstop: 0\nposition_max: " + maxima[axis] + "\n";
  }
  return text;
}

// An enabled [hall_filament_width_sensor] with the options the host requires.
inline std::string hall_sensor_section(const std::string& adc1, const std::string& adc2) {
  return "[hall_filament_width_sensor]\nadc1: " + adc1 + "\nadc2: " + adc2 +
         "\ndefault_nominal_filament_diameter: 1.75\nmeasurement_delay: 70\nenable: True\n"
         "pause_on_runout: False\nenable_flow_compensation: False\n";
}

// The body of the configurations' _CG28: homes unless every axis is homed.
inline constexpr const char* kConditionalHomeMacro =
    "[gcode_macro _CG28]\ngcode:\n    {% if printer.toolhead.homed_axes != 'xyz' %}\n"
    "    G28\n    {% endif %}\n";

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
  explicit TestHost(sim::ClockKind clock = sim::ClockKind::Virtual);
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

  sim::ClockKind clock_;
  TempDir dir_;
  std::vector<std::string> output_;
  std::shared_ptr<sim::PythonInterpreter> python_ = std::make_shared<sim::PythonInterpreter>();
  std::unique_ptr<sim::SimHost> host_;
};

// A response without what the box adds to its numbered reports (the line of advice, and
// the notice of a pause for front ends): for tests of the reports themselves, which the
// additions must never change.
std::vector<std::string> without_advice(std::vector<std::string> lines);

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);

}  // namespace testing_support
