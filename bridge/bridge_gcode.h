// klippy::GCodeDispatch over the host's "gcode" object. A handler receives a
// klippy::GCodeCommand built from the host's command, so parameter errors read as the host
// words them; its klippy::CommandError reaches the host as the host's gcode.error.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>

#include "bridge/bridge_reactor.h"
#include "klippy/host/gcode.h"

namespace bridge {

namespace py = pybind11;

class BridgeGCode final : public klippy::GCodeDispatch {
 public:
  BridgeGCode(py::object gcode, HostLink link);

  void register_command(const std::string& name, klippy::CommandHandler handler,
                        const std::string& help) override;
  void register_mux_command(const std::string& command, const std::string& key,
                            const std::string& value, klippy::CommandHandler handler,
                            const std::string& help) override;
  bool is_registered(const std::string& name) const override;
  void run_script(const std::string& script) override;
  void run_script_from_command(const std::string& script) override;
  void respond_info(const std::string& text, bool log) override;
  void respond_raw(const std::string& text) override;
  klippy::ReactorMutex& get_mutex() override;

 private:
  py::object wrap(const std::string& name, klippy::CommandHandler handler);

  py::object gcode_;
  HostLink link_;
  std::unique_ptr<klippy::ReactorMutex> mutex_;
};

}  // namespace bridge
