// G-code macros from [gcode_macro NAME] sections: a body with placeholders in the host's
// template syntax ({params.X}, {variable}, {printer.object.key['k' ~ params.X]}), variables
// readable by other objects and set with SET_GCODE_VARIABLE.
#pragma once

#include <map>
#include <string>
#include <vector>

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

  // The body with every placeholder filled in; CommandError for one that cannot be evaluated.
  std::string render(const std::map<std::string, std::string>& params) const;

 private:
  void cmd_macro(klippy::GCodeCommand& gcmd);
  // rename_existing: the command `name_` had so far goes on under `new_name`.
  void rename_builtin(const std::string& new_name, const std::string& description);
  void cmd_SET_GCODE_VARIABLE(klippy::GCodeCommand& gcmd);

  // The body as text, placeholders and `{% if %}`, `{% else %}`, `{% endif %}` statements.
  struct Piece {
    enum Kind { Text, Expression, If, Else, EndIf } kind;
    std::string text;  // the text, the placeholder or the condition
  };

  std::string template_name() const;
  // ConfigError, as the host's template compiler gives, for a body it cannot parse.
  std::vector<Piece> parse_body() const;
  // One placeholder's text, or "1"/"0" for a condition.
  std::string evaluate(const std::string& expression,
                       const std::map<std::string, std::string>& params, bool condition) const;

  klippy::Printer& printer_;
  klippy::GCodeDispatch& gcode_;
  std::string name_;
  std::string body_;
  std::vector<Piece> pieces_;
  std::map<std::string, klippy::Value> variables_;
  bool running_ = false;
};

}  // namespace sim
