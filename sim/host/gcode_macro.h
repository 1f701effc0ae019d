// G-code macros from [gcode_macro NAME] sections: a body rendered as the host renders it
// (Jinja2, see jinja_templates.h) with the call's parameters and the macro's variables,
// variables readable by other objects and set with SET_GCODE_VARIABLE.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "klippy/host/components.h"
#include "klippy/host/config.h"
#include "klippy/host/gcode.h"
#include "klippy/host/printer.h"
#include "sim/host/jinja_templates.h"

namespace sim {

class SimGCodeMacro final : public klippy::GCodeMacro {
 public:
  explicit SimGCodeMacro(klippy::ConfigSection& config);
  const std::map<std::string, klippy::Value>& variables() const override { return variables_; }
  std::optional<klippy::Value> get_status(double eventtime) override;

 private:
  void cmd_macro(klippy::GCodeCommand& gcmd);
  // rename_existing: the command `alias_` had so far goes on under `new_name`.
  void rename_builtin(const std::string& new_name, const std::string& description);
  void cmd_SET_GCODE_VARIABLE(klippy::GCodeCommand& gcmd);

  klippy::Printer& printer_;
  klippy::GCodeDispatch& gcode_;
  TemplateEnvironment& templates_;
  std::string alias_;  // the command: the section's name in upper case
  std::unique_ptr<GCodeTemplate> template_;
  std::map<std::string, klippy::Value> variables_;
  bool running_ = false;
};

}  // namespace sim
