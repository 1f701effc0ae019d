#include "bridge/bridge_gcode.h"

#include <map>

namespace bridge {

namespace {

// The host lists only commands whose help is not None.
py::object help_text(const std::string& help) {
  return help.empty() ? py::object(py::none()) : py::object(py::str(help));
}

}  // namespace

BridgeGCode::BridgeGCode(py::object gcode, HostLink link)
    : gcode_(std::move(gcode)), link_(std::move(link)) {}

py::object BridgeGCode::wrap(const std::string& name, klippy::CommandHandler handler) {
  return link_.callable(
      "G-code command " + name, [this, handler = std::move(handler)](const py::tuple& args) {
        py::handle gcmd = args[0];
        std::map<std::string, std::string> params;
        for (auto [key, value] : gcmd.attr("get_command_parameters")().cast<py::dict>()) {
          params.emplace(py::str(key).cast<std::string>(), py::str(value).cast<std::string>());
        }
        klippy::GCodeCommand command(*this, gcmd.attr("get_command")().cast<std::string>(),
                                     gcmd.attr("get_commandline")().cast<std::string>(),
                                     std::move(params));
        handler(command);
        return py::none();
      });
}

void BridgeGCode::register_command(const std::string& name, klippy::CommandHandler handler,
                                   const std::string& help) {
  link_.invoke(gcode_, "register_command", name, wrap(name, std::move(handler)),
               py::arg("desc") = help_text(help));
}

void BridgeGCode::register_mux_command(const std::string& command, const std::string& key,
                                       const std::string& value, klippy::CommandHandler handler,
                                       const std::string& help) {
  link_.invoke(gcode_, "register_mux_command", command, key, value,
               wrap(command + " " + key + "=" + value, std::move(handler)),
               py::arg("desc") = help_text(help));
}

bool BridgeGCode::is_registered(const std::string& name) const {
  // The host keeps its handlers in plain dictionaries; a command of either kind counts.
  for (const char* table : {"ready_gcode_handlers", "base_gcode_handlers"}) {
    if (!py::hasattr(gcode_, table)) continue;
    if (gcode_.attr(table).attr("__contains__")(name).cast<bool>()) return true;
  }
  return false;
}

void BridgeGCode::run_script(const std::string& script) {
  link_.invoke(gcode_, "run_script", script);
}

void BridgeGCode::run_script_from_command(const std::string& script) {
  link_.invoke(gcode_, "run_script_from_command", script);
}

void BridgeGCode::respond_info(const std::string& text, bool log) {
  link_.invoke(gcode_, "respond_info", text, log);
}

void BridgeGCode::respond_raw(const std::string& text) {
  link_.invoke(gcode_, "respond_raw", text);
}

klippy::ReactorMutex& BridgeGCode::get_mutex() {
  if (!mutex_) mutex_ = BridgeReactor::wrap_mutex(link_.invoke(gcode_, "get_mutex"), link_);
  return *mutex_;
}

}  // namespace bridge
