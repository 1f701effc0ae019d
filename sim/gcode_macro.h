// G-code macros from [gcode_macro NAME] sections: a body with {params.X} and {variable}
// substitution, variables readable by other objects and set with SET_GCODE_VARIABLE.
#pragma once

#include <map>
#include <string>

#include "klippy/host/components.h"
#include "klippy/host/config.h"
#include "klippy/host/gcode.h"
#include "klippy/host/printer.h"

namespace sim {

class SimGCodeMacro final : public klippy::GCodeMacro {
 public:
  explicit SimGCodeMacro(klippy::ConfigSection& config);
  const std::map<std::string, klippy::Value>& variables() const override { return variables_; }
  std::optional<klippy::Value> get_status(double eventtime) override;

  // The body with every placeholder filled in; CommandError for an unknown placeholder.
  std::string render(const std::map<std::string, std::string>& params) const;

 private:
  void cmd_macro(klippy::GCodeCommand& gcmd);
  void cmd_SET_GCODE_VARIABLE(klippy::GCodeCommand& gcmd);

  // One placeholder's text: {params.X}, {variable} or {printer.object.key...}.
  std::string resolve(const std::string& name,
                      const std::map<std::string, std::string>& params) const;

  klippy::Printer& printer_;
  klippy::GCodeDispatch& gcode_;
  std::string name_;
  std::string body_;
  std::map<std::string, klippy::Value> variables_;
  bool running_ = false;
};

}  // namespace sim
