#include "sim/host/gcode_macro.h"

#include <algorithm>
#include <sstream>

#include "klippy/host/printer.h"
#include "sim/host/gcode.h"

namespace sim {
namespace {

std::string upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::toupper(c); });
  return s;
}

std::vector<std::string> words(const std::string& s) {
  std::istringstream in(s);
  std::vector<std::string> found;
  for (std::string word; in >> word;) found.push_back(word);
  return found;
}

bool all_digits(const std::string& s) {
  return !s.empty() &&
         std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
}

// The host's get_raw_command_parameters(): the line after the command name, without a line
// number before it or a checksum after it.
std::string raw_parameters(const klippy::GCodeCommand& gcmd) {
  const std::string& command = gcmd.get_command();
  const std::string& line = gcmd.get_commandline();
  long start = static_cast<long>(command.size());
  long end = static_cast<long>(line.size());
  if (upper(line.substr(0, command.size())) != command) {
    const size_t at = upper(line).find(command);
    start += at == std::string::npos ? -1 : static_cast<long>(at);
    const size_t star = line.rfind('*');
    if (star != std::string::npos && all_digits(line.substr(star + 1)))
      end = static_cast<long>(star);
  }
  if (start < end && std::isspace(static_cast<unsigned char>(line[static_cast<size_t>(start)])))
    ++start;
  if (start >= end) return "";
  return line.substr(static_cast<size_t>(start), static_cast<size_t>(end - start));
}

// The parameters in the order the line gives them: the host hands a macro a dict in that
// order, and bodies that pass their parameters on (`{% for p in params %}`) keep it.
std::vector<std::pair<std::string, std::string>> ordered_parameters(
    const klippy::GCodeCommand& gcmd, const std::string& raw) {
  const std::string line = upper(raw);
  const bool traditional = is_traditional_gcode(gcmd.get_command());
  auto position = [&](const std::string& name) {
    for (size_t at = line.find(name); at != std::string::npos; at = line.find(name, at + 1)) {
      if (traditional) return at;
      const bool starts_word = at == 0 || std::isspace(static_cast<unsigned char>(line[at - 1])) ||
                               line[at - 1] == '"' || line[at - 1] == '\'';
      if (starts_word && line.compare(at + name.size(), 1, "=") == 0) return at;
    }
    return std::string::npos;
  };
  std::vector<std::pair<size_t, std::pair<std::string, std::string>>> found;
  for (const auto& [name, value] : gcmd.get_command_parameters())
    found.push_back({position(name), {name, value}});
  std::stable_sort(found.begin(), found.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::pair<std::string, std::string>> params;
  for (auto& [at, param] : found) params.push_back(std::move(param));
  return params;
}

}  // namespace

SimGCodeMacro::SimGCodeMacro(klippy::ConfigSection& config)
    : printer_(config.get_printer()),
      gcode_(config.get_printer().lookup_object<klippy::GCodeDispatch>("gcode")),
      templates_(
          config.get_printer().lookup_object<TemplateEnvironment>(TemplateEnvironment::kName)) {
  const std::string& section = config.get_name();
  const std::vector<std::string> name = words(section);
  if (name.size() > 2)
    throw klippy::ConfigError("Name of section '" + section + "' contains illegal whitespace");
  if (name.size() < 2)
    throw klippy::ConfigError("Name of section '" + section +
                              "' must be one word (the macro's command name)");
  alias_ = upper(name[1]);
  template_ = templates_.load_template(section + ":gcode", config.get("gcode"));
  const std::string description = config.get("description", "G-Code macro");
  for (const std::string& option : config.get_option_names()) {
    if (option.rfind("variable_", 0) != 0) continue;
    try {
      variables_[option.substr(9)] = templates_.parse_literal(config.get(option));
    } catch (const klippy::LiteralError& e) {
      throw klippy::ConfigError("Option '" + option + "' in section '" + section +
                                "' is not a valid literal: " + e.what());
    }
  }
  const std::string rename_existing = upper(config.get("rename_existing", ""));
  if (rename_existing.empty()) {
    gcode_.register_command(
        alias_, [this](klippy::GCodeCommand& gcmd) { cmd_macro(gcmd); }, description);
  } else {
    if (is_traditional_gcode(alias_) != is_traditional_gcode(rename_existing))
      throw klippy::ConfigError("G-Code macro rename of different types ('" + alias_ + "' vs '" +
                                rename_existing + "')");
    // The command renamed may be registered by any module, so only once all are loaded.
    printer_.register_event_handler("klippy:connect", [this, rename_existing, description] {
      rename_builtin(rename_existing, description);
    });
  }
  gcode_.register_mux_command(
      "SET_GCODE_VARIABLE", "MACRO", name[1],
      [this](klippy::GCodeCommand& gcmd) { cmd_SET_GCODE_VARIABLE(gcmd); },
      "Set the value of a G-Code macro variable");
}

void SimGCodeMacro::rename_builtin(const std::string& new_name, const std::string& description) {
  auto& gcode = printer_.lookup_object<SimGCode>("gcode");
  klippy::CommandHandler existing = gcode.take_command(alias_);
  if (!existing)
    throw klippy::ConfigError("Existing command '" + alias_ + "' not found in gcode_macro rename");
  gcode.register_command(new_name, std::move(existing), "Renamed builtin of '" + alias_ + "'");
  gcode.register_command(
      alias_, [this](klippy::GCodeCommand& gcmd) { cmd_macro(gcmd); }, description);
}

std::optional<klippy::Value> SimGCodeMacro::get_status(double /*eventtime*/) {
  klippy::Value::Dict status;
  for (const auto& [key, value] : variables_) status.emplace_back(key, value);
  return klippy::Value(std::move(status));
}

void SimGCodeMacro::cmd_macro(klippy::GCodeCommand& gcmd) {
  if (running_) throw gcmd.error("Macro " + alias_ + " called recursively");
  MacroCall call{.variables = &variables_, .rawparams = raw_parameters(gcmd)};
  call.params = ordered_parameters(gcmd, call.rawparams);
  running_ = true;
  try {
    gcode_.run_script_from_command(template_->render(call));
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
    it->second = templates_.parse_literal(text);
  } catch (const klippy::LiteralError& e) {
    throw gcmd.error("Unable to parse '" + text + "' as a literal: " + e.what() + " in '" +
                     gcmd.get_commandline() + "'");
  }
}

}  // namespace sim
