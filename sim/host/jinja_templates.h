// G-code templates as the host renders them: Python's Jinja2 with the host's delimiters
// ('{%' '%}' for statements, '{' '}' for expressions), a `printer` that reads the objects'
// status, the host's actions (action_respond_info, action_raise_error,
// action_emergency_stop, action_call_remote_method) and the host's error messages. Macro
// variables are read as the host reads them, with Python's ast.literal_eval.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "klippy/host/object.h"
#include "klippy/host/value.h"

namespace sim {

class PythonInterpreter;
class SimPrinter;
class TemplateEnvironment;

// What a macro's body sees besides `printer` and the actions.
struct MacroCall {
  const std::map<std::string, klippy::Value>* variables = nullptr;
  // Upper-case names in the order the command line gives them, as the host's dict keeps.
  std::vector<std::pair<std::string, std::string>> params;
  std::string rawparams;
};

class GCodeTemplate {
 public:
  struct Compiled;
  GCodeTemplate(TemplateEnvironment& environment, std::unique_ptr<Compiled> compiled);
  ~GCodeTemplate();
  GCodeTemplate(const GCodeTemplate&) = delete;
  GCodeTemplate& operator=(const GCodeTemplate&) = delete;

  // The rendered script. CommandError "Error evaluating '<name>': <exception>" when the body
  // fails, as the host says it. No wait may happen while it renders.
  std::string render(const MacroCall& call) const;

 private:
  TemplateEnvironment& environment_;
  std::unique_ptr<Compiled> compiled_;
};

// The printer object "gcode_macro" of the host: the template environment every macro
// compiles its body in.
class TemplateEnvironment final : public klippy::PrinterObject {
 public:
  static constexpr const char* kName = "gcode_macro";
  struct Python;

  TemplateEnvironment(SimPrinter& printer, PythonInterpreter& python);
  ~TemplateEnvironment() override;

  // Compiles `script`, named "<section>:<option>" in messages. ConfigError with the host's
  // "Error loading template ..." (the faulty line and why) when it does not compile.
  std::unique_ptr<GCodeTemplate> load_template(const std::string& name, const std::string& script);
  // A literal as the host reads macro variables (ast.literal_eval, and it must convert to
  // JSON). LiteralError with Python's reason otherwise.
  klippy::Value parse_literal(const std::string& text);

 private:
  friend class GCodeTemplate;
  Python& python();

  SimPrinter& printer_;
  PythonInterpreter& interpreter_;
  std::unique_ptr<Python> python_;
};

}  // namespace sim
