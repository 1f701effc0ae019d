// The toolhead with its extruder and heater, and the stepper enable lines.
#include <map>

#include "bridge/adapters.h"
#include "bridge/bridge_motion.h"
#include "bridge/bridge_printer.h"
#include "klippy/host/motion.h"

namespace bridge {
namespace {

// set_can_wait is the product's: while it is off, waits on this heater return at once.
// The host waits on a heater by polling its check_busy(eventtime), so the bridge puts its
// own check_busy on the heater object, which answers "not busy" while waits are off.
class BridgeHeater final : public klippy::Heater {
 public:
  BridgeHeater(py::object heater, const HostLink& link)
      : heater_(std::move(heater)), link_(link), can_wait_(std::make_shared<bool>(true)) {
    name_ = link_.invoke(heater_, "get_name").cast<std::string>();
    py::object original = heater_.attr("check_busy");
    heater_.attr("check_busy") = link_.callable(
        "heater check_busy", [can_wait = can_wait_, original](const py::tuple& args) {
          if (!*can_wait) return py::object(py::bool_(false));
          return original(*args);
        });
  }
  const std::string& get_name() const override { return name_; }
  void set_temp(double degrees) override { link_.invoke(heater_, "set_temp", degrees); }
  std::pair<double, double> get_temp(double eventtime) const override {
    py::tuple temp = link_.invoke(heater_, "get_temp", eventtime);
    return {temp[0].cast<double>(), temp[1].cast<double>()};
  }
  void set_can_wait(bool can_wait) override { *can_wait_ = can_wait; }
  bool can_wait() const override { return *can_wait_; }

 private:
  py::object heater_;
  HostLink link_;
  std::string name_;
  std::shared_ptr<bool> can_wait_;
};

class BridgeExtruder final : public HostAdapter<klippy::Extruder> {
 public:
  BridgeExtruder(py::object extruder, const HostLink& link)
      : HostAdapter(std::move(extruder), link),
        name_(link_.invoke(object_, "get_name").cast<std::string>()),
        heater_(link_.invoke(object_, "get_heater"), link_) {}
  const std::string& get_name() const override { return name_; }
  klippy::Heater& get_heater() override { return heater_; }
  klippy::TrapqPtr get_trapq() override {
    return std::make_shared<BridgeTrapq>(link_.invoke(object_, "get_trapq"), Chelper::load(link_),
                                         link_);
  }
  double last_position() const override { return link_.get<double>(object_, "last_position"); }

 private:
  std::string name_;
  BridgeHeater heater_;
};

class BridgeToolhead final : public HostAdapter<klippy::Toolhead> {
 public:
  BridgeToolhead(py::object toolhead, const HostLink& link, py::object motion_queuing)
      : HostAdapter(std::move(toolhead), link), motion_queuing_(std::move(motion_queuing)) {}
  double get_last_move_time() override {
    return link_.invoke(object_, "get_last_move_time").cast<double>();
  }
  void dwell(double delay_s) override { link_.invoke(object_, "dwell", delay_s); }
  void wait_moves() override { link_.invoke(object_, "wait_moves"); }
  // The note that a private queue has moves up to a time moved over the host's versions:
  // to motion_queuing (2025-08), before that the toolhead's, under two names. On the
  // toolhead it must also ask for the steps, or a flush would not generate them.
  void note_kinematic_activity(double print_time) override {
    if (!motion_queuing_.is_none()) {
      link_.invoke(motion_queuing_, "note_mcu_movequeue_activity", print_time);
    } else if (py::hasattr(object_, "note_mcu_movequeue_activity")) {
      // The extruder stepper's smoothing looks this far past a move's end.
      const double flush_delay =
          py::getattr(object_, "kin_flush_delay", py::float_(0.)).cast<double>();
      link_.invoke(object_, "note_mcu_movequeue_activity", print_time + flush_delay, true);
    } else {
      link_.invoke(object_, "note_kinematic_activity", print_time);
    }
  }
  void flush_step_generation() override {
    link_.invoke(object_, "flush_step_generation");
    ++step_flush_count_;
  }
  unsigned long step_flush_count() const override { return step_flush_count_; }
  klippy::Extruder& get_extruder() override {
    py::object extruder = link_.invoke(object_, "get_extruder");
    const auto name = link_.invoke(extruder, "get_name").cast<std::string>();
    auto& slot = extruders_[name];
    if (!slot) slot = std::make_unique<BridgeExtruder>(extruder, link_);
    return *slot;
  }
  klippy::Position get_position() const override {
    return to_position(link_.invoke(object_, "get_position"));
  }
  void set_position(const klippy::Position& position) override {
    link_.invoke(object_, "set_position", from_position(position));
  }
  void move(const klippy::Position& newpos, double speed) override {
    link_.invoke(object_, "move", from_position(newpos), speed);
  }

 private:
  py::object motion_queuing_;
  unsigned long step_flush_count_ = 0;
  std::map<std::string, std::unique_ptr<BridgeExtruder>> extruders_;
};

class BridgeEnableLine final : public klippy::StepperEnableLine {
 public:
  BridgeEnableLine(py::object line, const HostLink& link) : line_(std::move(line)), link_(link) {}
  void motor_enable(double print_time) override { link_.invoke(line_, "motor_enable", print_time); }
  void motor_disable(double print_time) override {
    link_.invoke(line_, "motor_disable", print_time);
  }
  bool is_motor_enabled() const override {
    return link_.invoke(line_, "is_motor_enabled").cast<bool>();
  }

 private:
  py::object line_;
  HostLink link_;
};

class BridgeStepperEnable final : public HostAdapter<klippy::StepperEnable> {
 public:
  using HostAdapter::HostAdapter;
  klippy::StepperEnableLine& lookup_enable(const std::string& stepper_name) override {
    auto& slot = lines_[stepper_name];
    if (!slot) {
      slot = std::make_unique<BridgeEnableLine>(
          link_.invoke(object_, "lookup_enable", stepper_name), link_);
    }
    return *slot;
  }

 private:
  std::map<std::string, std::unique_ptr<BridgeEnableLine>> lines_;
};

}  // namespace

std::shared_ptr<klippy::PrinterObject> make_motion_adapter(BridgePrinter& printer,
                                                           const std::string& name,
                                                           py::object object) {
  if (name == "toolhead") {
    py::object motion_queuing = printer.link().invoke(printer.host_printer(), "lookup_object",
                                                      "motion_queuing", py::none());
    return std::make_shared<BridgeToolhead>(std::move(object), printer.link(),
                                            std::move(motion_queuing));
  }
  if (name == "stepper_enable") {
    return std::make_shared<BridgeStepperEnable>(std::move(object), printer.link());
  }
  return nullptr;
}

}  // namespace bridge
