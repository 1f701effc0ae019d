// Host objects whose state the modules read or drive: G-code, print state, saved
// variables, macros, the G-code move transform and the filament sensors.
#include <cmath>
#include <utility>
#include <vector>

#include "bridge/adapters.h"
#include "bridge/bridge_gcode.h"
#include "bridge/bridge_printer.h"
#include "bridge/py_value.h"
#include "klippy/host/components.h"
#include "klippy/host/devices.h"

namespace bridge {
namespace {

class BridgePrintStats final : public HostAdapter<klippy::PrintStats> {
 public:
  using HostAdapter::HostAdapter;
  std::string state() const override { return link_.get<std::string>(object_, "state"); }
};

class BridgeIdleTimeout final : public HostAdapter<klippy::IdleTimeout> {
 public:
  using HostAdapter::HostAdapter;
};

klippy::VariableMap to_variable_map(py::handle dict) {
  klippy::VariableMap variables;
  for (auto [key, value] : py::reinterpret_borrow<py::dict>(dict)) {
    variables.emplace(py::str(key).cast<std::string>(), from_python(value));
  }
  return variables;
}

class BridgeSaveVariables final : public HostAdapter<klippy::SaveVariables> {
 public:
  BridgeSaveVariables(py::object object, HostLink link)
      : HostAdapter(std::move(object), std::move(link)),
        filename_(link_.get<std::string>(object_, "filename")) {}
  const std::string& filename() const override { return filename_; }
  // The host replaces its dictionary on every load and never changes one in place: the
  // copy is made again only for a new dictionary. Holding the old one keeps its identity
  // from being reused by the next.
  const klippy::VariableMap& all_variables() const override {
    py::object current = link_.get<py::object>(object_, "allVariables");
    if (!current.is(copied_from_)) {
      variables_ = to_variable_map(current);
      copied_from_ = std::move(current);
    }
    return variables_;
  }
  void load_variables() override { link_.invoke(object_, "loadVariables"); }
  // The host would parse its whole file again on its event loop (configparser and a
  // literal_eval per key: about 3 ms for 300 keys here, ten times that on a Pi) after every
  // box save. It is handed the values instead: each was written so that it reads back as
  // the same Python literal, so its dictionary ends up as a read of the file would leave it.
  void file_written(klippy::VariableMap&& variables) override {
    py::dict written;
    for (const auto& [name, value] : variables) written[py::str(name)] = to_python(value);
    link_.set(object_, "allVariables", written);
    variables_ = std::move(variables);
    copied_from_ = std::move(written);
  }

 private:
  std::string filename_;
  mutable klippy::VariableMap variables_;
  mutable py::object copied_from_;
};

class BridgeGCodeMacro final : public HostAdapter<klippy::GCodeMacro> {
 public:
  using HostAdapter::HostAdapter;
  const std::map<std::string, klippy::Value>& variables() const override {
    variables_ = to_variable_map(link_.get<py::object>(object_, "variables"));
    return variables_;
  }

 private:
  mutable klippy::VariableMap variables_;
};

// A transform of the host (the toolhead or another module's) seen from C++.
class HostTransform final : public klippy::MoveTransform {
 public:
  HostTransform(py::object transform, HostLink link)
      : transform_(std::move(transform)), link_(std::move(link)) {}
  void move(const klippy::Position& newpos, double speed) override {
    link_.invoke(transform_, "move", from_position(newpos), speed);
  }
  klippy::Position get_position() override {
    return to_position(link_.invoke(transform_, "get_position"));
  }
  const py::object& host_transform() const { return transform_; }

 private:
  py::object transform_;
  HostLink link_;
};

class BridgeGCodeMove final : public HostAdapter<klippy::GCodeMove> {
 public:
  using HostAdapter::HostAdapter;

  std::shared_ptr<klippy::MoveTransform> set_move_transform(
      std::shared_ptr<klippy::MoveTransform> transform, bool force) override {
    py::object previous =
        link_.invoke(object_, "set_move_transform", to_host(transform), py::arg("force") = force);
    for (const auto& [host, own] : wrapped_) {
      if (host.is(previous)) return own;
    }
    return std::make_shared<HostTransform>(previous, link_);
  }
  void reset_last_position() override { link_.invoke(object_, "reset_last_position"); }
  klippy::Position last_position() const override {
    return to_position(link_.get<py::object>(object_, "last_position"));
  }

 private:
  py::object to_host(const std::shared_ptr<klippy::MoveTransform>& transform) {
    if (auto* host = dynamic_cast<HostTransform*>(transform.get())) return host->host_transform();
    for (const auto& [host, own] : wrapped_) {
      if (own == transform) return host;
    }
    std::weak_ptr<klippy::MoveTransform> weak = transform;
    auto move = link_.callable("move transform", [weak](const py::tuple& args) {
      if (auto strong = weak.lock()) strong->move(to_position(args[0]), args[1].cast<double>());
      return py::none();
    });
    auto get_position = link_.callable("move transform", [weak](const py::tuple&) -> py::object {
      if (auto strong = weak.lock()) return from_position(strong->get_position());
      return py::list();
    });
    py::object ns = py::module_::import("types").attr("SimpleNamespace");
    py::object host = ns(py::arg("move") = move, py::arg("get_position") = get_position);
    wrapped_.emplace_back(host, transform);  // the host may hand it back later
    return host;
  }

  std::vector<std::pair<py::object, std::shared_ptr<klippy::MoveTransform>>> wrapped_;
};

// The host's motion sensor keeps no encoder level. The level reaches the sensor only as the
// state argument of its encoder_event button callback, so the bridge swaps that callback,
// in the host's button registry, for one that records the state and then calls the
// original. Every button starts at state 0, as the host's does.
class BridgeMotionSensor final : public HostAdapter<klippy::FilamentMotionSensor> {
 public:
  BridgeMotionSensor(BridgePrinter& printer, const std::string& name, py::object object)
      : HostAdapter(std::move(object), printer.link()), level_(std::make_shared<int>(0)) {
    if (!follow_encoder(printer)) {
      throw klippy::ConfigError(
          "[" + name +
          "]: the encoder level cannot be followed on this host (its "
          "encoder_event is not registered with the host's buttons); feedhub needs it to "
          "watch filament motion. Use a host whose filament_motion_sensor registers "
          "encoder_event with the buttons module.");
    }
  }
  double detection_length() const override {
    return link_.get<double>(object_, "detection_length");
  }
  int button_state() const override { return *level_; }

 private:
  bool follow_encoder(BridgePrinter& printer) {
    py::object buttons =
        link_.invoke(printer.host_printer(), "lookup_object", "buttons", py::none());
    py::object encoder_event = py::getattr(object_, "encoder_event", py::none());
    if (buttons.is_none() || encoder_event.is_none()) return false;
    py::object per_mcu = py::getattr(buttons, "mcu_buttons", py::none());
    if (per_mcu.is_none()) return false;
    for (py::handle mcu_buttons : per_mcu.attr("values")()) {
      py::list callbacks = mcu_buttons.attr("callbacks");
      for (std::size_t i = 0; i < callbacks.size(); ++i) {
        py::tuple entry = callbacks[i];
        if (entry.size() != 3 || !py::object(entry[2]).equal(encoder_event)) continue;
        py::object original = entry[2];
        auto recorder = link_.callable("motion sensor encoder",
                                       [level = level_, original](const py::tuple& args) {
                                         *level = args[1].cast<int>() ? 1 : 0;
                                         return original(*args);
                                       });
        callbacks[i] = py::make_tuple(entry[0], entry[1], recorder);
        return true;
      }
    }
    return false;
  }

  std::shared_ptr<int> level_;
};

class BridgeHallSensor final : public HostAdapter<klippy::HallFilamentWidthSensor> {
 public:
  BridgeHallSensor(BridgePrinter& printer, py::object object)
      : HostAdapter(std::move(object), printer.link()), reactor_(printer.get_reactor()) {}
  double diameter() const override {
    std::optional<klippy::Value> status = host_status(object_, link_, reactor_.monotonic());
    const klippy::Value* diameter = status ? status->find("Diameter") : nullptr;
    return diameter ? diameter->as_float() : 0.0;
  }
  // The host's own computation of a new diameter from the sum of both ADC readings (its
  // status's Raw), which it smooths before showing it as Diameter.
  double latest_reading_mm() const override {
    std::optional<klippy::Value> status = host_status(object_, link_, reactor_.monotonic());
    const klippy::Value* raw = status ? status->find("Raw") : nullptr;
    if (!raw) return 0.0;
    const double dia1 = link_.get<double>(object_, "dia1");
    const double dia2 = link_.get<double>(object_, "dia2");
    const double raw1 = link_.get<double>(object_, "rawdia1");
    const double raw2 = link_.get<double>(object_, "rawdia2");
    const double reading = (dia2 - dia1) / (raw2 - raw1) * (raw->as_float() - raw1) + dia1;
    return std::nearbyint(reading * 100.) / 100.;
  }
  bool is_active() const override {
    std::optional<klippy::Value> status = host_status(object_, link_, reactor_.monotonic());
    const klippy::Value* active = status ? status->find("is_active") : nullptr;
    return active && active->truthy();
  }
  std::optional<bool> flow_compensation() const override {
    if (!py::hasattr(object_, "enable_flow_compensation")) return std::nullopt;
    return link_.get<bool>(object_, "enable_flow_compensation");
  }
  // The host's once-a-second timer is what applies M221; parked, it applies nothing more.
  // Its runout check stops with it, which the box does not use (pause_on_runout: False).
  void stop_flow_compensation() override {
    if (!py::hasattr(object_, "extrude_factor_update_timer")) return;
    py::object host_reactor = link_.invoke(py::getattr(object_, "printer"), "get_reactor");
    link_.invoke(host_reactor, "update_timer", py::getattr(object_, "extrude_factor_update_timer"),
                 klippy::Reactor::NEVER);
  }

 private:
  klippy::Reactor& reactor_;
};

bool starts_with(const std::string& name, const std::string& prefix) {
  return name.rfind(prefix, 0) == 0;
}

}  // namespace

std::shared_ptr<klippy::PrinterObject> make_state_adapter(BridgePrinter& printer,
                                                          const std::string& name,
                                                          py::object object) {
  const HostLink& link = printer.link();
  if (name == "gcode") return std::make_shared<BridgeGCode>(std::move(object), link);
  if (name == "print_stats") return std::make_shared<BridgePrintStats>(std::move(object), link);
  if (name == "idle_timeout") return std::make_shared<BridgeIdleTimeout>(std::move(object), link);
  if (name == "save_variables") {
    return std::make_shared<BridgeSaveVariables>(std::move(object), link);
  }
  if (name == "gcode_move") return std::make_shared<BridgeGCodeMove>(std::move(object), link);
  if (starts_with(name, "gcode_macro ")) {
    return std::make_shared<BridgeGCodeMacro>(std::move(object), link);
  }
  if (starts_with(name, "filament_motion_sensor ")) {
    return std::make_shared<BridgeMotionSensor>(printer, name, std::move(object));
  }
  if (name == "hall_filament_width_sensor") {
    return std::make_shared<BridgeHallSensor>(printer, std::move(object));
  }
  return nullptr;
}

}  // namespace bridge
