// The host's saved-variables component: a file of Python literals, the SAVE_VARIABLE
// command, and atomic replacement of the file on every write.
#pragma once

#include <string>
#include <utility>

#include "klippy/host/components.h"
#include "klippy/host/config.h"
#include "klippy/host/gcode.h"

namespace sim {

class SimSaveVariables final : public klippy::SaveVariables {
 public:
  // ConfigError when the file exists but does not parse (it is never overwritten then).
  explicit SimSaveVariables(klippy::ConfigSection& config);

  const std::string& filename() const override { return filename_; }
  const klippy::VariableMap& all_variables() const override { return variables_; }
  void load_variables() override;
  // Parsing the file again would give these very values: a file of many keys is parsed
  // only at start.
  void file_written(klippy::VariableMap&& variables) override { variables_ = std::move(variables); }
  std::optional<klippy::Value> get_status(double eventtime) override;

 private:
  void cmd_SAVE_VARIABLE(klippy::GCodeCommand& gcmd);

  std::string filename_;
  klippy::VariableMap variables_;
};

}  // namespace sim
