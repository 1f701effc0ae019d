#include "sim/gcode_macro.h"

#include <algorithm>

#include "klippy/host/printer.h"

namespace sim {
namespace {

std::string upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::toupper(c); });
  return s;
}

std::string trim(const std::string& s) {
  auto begin = s.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  return s.substr(begin, s.find_last_not_of(" \t") - begin + 1);
}

}  // namespace

SimGCodeMacro::SimGCodeMacro(klippy::ConfigSection& config)
    : printer_(config.get_printer()),
      gcode_(config.get_printer().lookup_object<klippy::GCodeDispatch>("gcode")) {
  const std::string& section = config.get_name();
  name_ = trim(section.substr(section.find(' ') + 1));
  if (name_.empty() || name_.find(' ') != std::string::npos) {
    throw klippy::ConfigError("Name of section '" + section +
                              "' must be one word (the macro's command name)");
  }
  body_ = config.get("gcode");
  config.get("description", "");
  for (const std::string& option : config.get_option_names()) {
    if (option.rfind("variable_", 0) != 0) continue;
    std::string text = config.get(option);
    try {
      variables_[option.substr(9)] = klippy::Value::parse(text);
    } catch (const klippy::LiteralError& e) {
      throw klippy::ConfigError("Option '" + option + "' in section '" + section +
                                "' is not a valid literal: " + e.what());
    }
  }
  gcode_.register_command(
      upper(name_), [this](klippy::GCodeCommand& gcmd) { cmd_macro(gcmd); }, "G-Code macro");
  gcode_.register_mux_command("SET_GCODE_VARIABLE", "MACRO", name_,
                              [this](klippy::GCodeCommand& gcmd) { cmd_SET_GCODE_VARIABLE(gcmd); });
}

std::optional<klippy::Value> SimGCodeMacro::get_status(double /*eventtime*/) {
  klippy::Value::Dict status;
  for (const auto& [key, value] : variables_) status.emplace_back(key, value);
  return klippy::Value(std::move(status));
}

// Innermost placeholders first, so that "{printer.save_variables.variables.value_t{params.T}}"
// reads the variable named by a parameter.
std::string SimGCodeMacro::render(const std::map<std::string, std::string>& params) const {
  std::string text = body_;
  for (;;) {
    const size_t close = text.find('}');
    if (close == std::string::npos) {
      if (text.find('{') != std::string::npos)
        throw klippy::CommandError("Unterminated '{' in gcode_macro " + name_);
      return text;
    }
    const size_t open = text.rfind('{', close);
    if (open == std::string::npos)
      throw klippy::CommandError("Unmatched '}' in gcode_macro " + name_);
    text.replace(open, close - open + 1,
                 resolve(trim(text.substr(open + 1, close - open - 1)), params));
  }
}

std::string SimGCodeMacro::resolve(const std::string& name,
                                   const std::map<std::string, std::string>& params) const {
  if (name.rfind("params.", 0) == 0) {
    auto it = params.find(upper(name.substr(7)));
    return it != params.end() ? it->second : "";
  }
  if (auto var = variables_.find(name); var != variables_.end()) return var->second.str();
  if (name.rfind("printer.", 0) == 0) {
    // printer.<object>.<key>.<key>...: the object's status, as the host's templates see it.
    std::vector<std::string> path;
    size_t start = 8;
    for (size_t dot; (dot = name.find('.', start)) != std::string::npos; start = dot + 1)
      path.push_back(name.substr(start, dot - start));
    path.push_back(name.substr(start));
    klippy::PrinterObject* object = printer_.find_object(path[0]);
    std::optional<klippy::Value> status;
    if (object) status = object->get_status(printer_.get_reactor().monotonic());
    if (!status)
      throw klippy::CommandError("'" + path[0] + "' in '{" + name + "}' of gcode_macro " + name_ +
                                 " has no status");
    const klippy::Value* value = &*status;
    for (size_t i = 1; i < path.size(); ++i) {
      value = value->is_dict() ? value->find(path[i]) : nullptr;
      if (!value)
        throw klippy::CommandError("'{" + name + "}' in gcode_macro " + name_ + ": no '" + path[i] +
                                   "' there");
    }
    return value->str();
  }
  throw klippy::CommandError("Unknown placeholder '{" + name + "}' in gcode_macro " + name_);
}

void SimGCodeMacro::cmd_macro(klippy::GCodeCommand& gcmd) {
  if (running_) throw gcmd.error("Macro " + name_ + " called recursively");
  std::string script = render(gcmd.get_command_parameters());
  running_ = true;
  try {
    gcode_.run_script_from_command(script);
  } catch (...) {
    running_ = false;
    throw;
  }
  running_ = false;
}

void SimGCodeMacro::cmd_SET_GCODE_VARIABLE(klippy::GCodeCommand& gcmd) {
  std::string variable = gcmd.get("VARIABLE");
  std::string text = gcmd.get("VALUE");
  auto it = variables_.find(variable);
  if (it == variables_.end()) {
    throw gcmd.error("Unknown gcode_macro variable '" + variable + "'");
  }
  try {
    it->second = klippy::Value::parse(text);
  } catch (const klippy::LiteralError& e) {
    throw gcmd.error("Unable to parse '" + text + "' as a literal: " + e.what());
  }
}

}  // namespace sim
