#include "sim/host/save_variables.h"

#include <filesystem>
#include <fstream>

#include "klippy/host/atomic_file.h"
#include "klippy/host/ini.h"
#include "klippy/host/paths.h"
#include "klippy/host/printer.h"
#include "klippy/host/variables_file.h"

namespace sim {
namespace {

bool has_upper(const std::string& s) {
  for (unsigned char c : s) {
    if (std::isupper(c)) return true;
  }
  return false;
}

}  // namespace

SimSaveVariables::SimSaveVariables(klippy::ConfigSection& config) {
  klippy::Printer& printer = config.get_printer();
  filename_ = printer.resolve_path(klippy::expand_user(config.get("filename")));
  std::error_code ec;
  if (!std::filesystem::exists(filename_, ec)) {
    std::filesystem::create_directories(std::filesystem::path(filename_).parent_path(), ec);
    std::ofstream create(filename_);
    if (!create) {
      throw klippy::ConfigError("Unable to create variable file '" + filename_ +
                                "': check that its folder exists and is writable");
    }
  }
  // A writer killed between creating its temporary file and renaming it left that file.
  klippy::remove_leftover_temporaries(filename_);
  try {
    load_variables();
  } catch (const klippy::CommandError& e) {
    throw klippy::ConfigError(e.what());
  }
  auto& gcode = printer.lookup_object<klippy::GCodeDispatch>("gcode");
  gcode.register_command(
      "SAVE_VARIABLE", [this](klippy::GCodeCommand& gcmd) { cmd_SAVE_VARIABLE(gcmd); },
      "Save arbitrary variables to disk");
}

void SimSaveVariables::load_variables() {
  try {
    variables_ = klippy::parse_variables(klippy::read_text_file(filename_), filename_);
  } catch (const std::exception& e) {
    throw klippy::CommandError(e.what());
  }
}

std::optional<klippy::Value> SimSaveVariables::get_status(double /*eventtime*/) {
  klippy::Value::Dict vars;
  for (const auto& [key, value] : variables_) vars.emplace_back(key, value);
  return klippy::Value(klippy::Value::Dict{{"variables", klippy::Value(std::move(vars))}});
}

void SimSaveVariables::cmd_SAVE_VARIABLE(klippy::GCodeCommand& gcmd) {
  std::string name = gcmd.get("VARIABLE");
  if (has_upper(name)) throw gcmd.error("VARIABLE must not contain upper case");
  // The host takes any name and any literal, and then writes a file it cannot start from
  // ("[x]" reads as a section, "a:b" as another key, 1e999 is written as inf): refused
  // here before anything is written.
  if (!klippy::is_valid_variable_name(name))
    throw gcmd.error("VARIABLE '" + name +
                     "' is not a valid name; use only lower-case letters, digits and '_'");
  std::string text = gcmd.get("VALUE");
  klippy::Value value;
  try {
    value = klippy::Value::parse(text);
  } catch (const klippy::LiteralError&) {
    throw gcmd.error("Unable to parse '" + text + "' as a literal");
  }
  if (!klippy::reads_back(value)) throw gcmd.error("Unable to parse '" + text + "' as a literal");
  // Every value held already reads back: the file's were checked when it was read, and
  // each saved since was checked before it was written. The new value is put in place
  // rather than into a copy of them all (a file may hold hundreds of thousands), and taken
  // out again if the write fails; nothing else runs while the file is written.
  const auto [entry, added] = variables_.try_emplace(name);
  const klippy::Value previous = entry->second;
  entry->second = value;
  try {
    klippy::write_file_atomically(filename_, klippy::format_variables(variables_));
  } catch (const std::exception& e) {
    if (added)
      variables_.erase(entry);
    else
      entry->second = previous;
    throw gcmd.error(std::string("Unable to save variable: ") + e.what());
  }
  // Reading the file back, as the host does, would give these very values.
}

}  // namespace sim
