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
    : gcode_(config.get_printer().lookup_object<klippy::GCodeDispatch>("gcode")) {
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

std::string SimGCodeMacro::render(const std::map<std::string, std::string>& params) const {
  std::string out;
  size_t pos = 0;
  while (pos < body_.size()) {
    size_t open = body_.find('{', pos);
    if (open == std::string::npos) {
      out += body_.substr(pos);
      break;
    }
    size_t close = body_.find('}', open);
    if (close == std::string::npos) {
      throw klippy::CommandError("Unterminated '{' in gcode_macro " + name_);
    }
    out += body_.substr(pos, open - pos);
    std::string name = trim(body_.substr(open + 1, close - open - 1));
    if (name.rfind("params.", 0) == 0) {
      auto it = params.find(upper(name.substr(7)));
      if (it != params.end()) out += it->second;
    } else if (auto var = variables_.find(name); var != variables_.end()) {
      out += var->second.str();
    } else {
      throw klippy::CommandError("Unknown placeholder '{" + name + "}' in gcode_macro " + name_);
    }
    pos = close + 1;
  }
  return out;
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
