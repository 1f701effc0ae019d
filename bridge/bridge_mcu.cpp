#include "bridge/bridge_mcu.h"

#include "bridge/bridge_motion.h"
#include "bridge/bridge_printer.h"
#include "bridge/bridge_reactor.h"
#include "bridge/py_value.h"

namespace bridge {
namespace {

class BridgeEndstop final : public klippy::McuEndstop {
 public:
  BridgeEndstop(BridgePrinter& printer, py::object endstop)
      : printer_(printer), endstop_(std::move(endstop)), link_(printer.link()) {}
  klippy::Mcu& get_mcu() override { return mcu_of(printer_, link_.invoke(endstop_, "get_mcu")); }
  void add_stepper(klippy::Stepper& stepper) override {
    auto* bridged = dynamic_cast<BridgeStepper*>(&stepper);
    if (bridged == nullptr) {
      throw klippy::ConfigError("Stepper '" + stepper.get_name() +
                                "' is not one of the host's and cannot stop at an endstop");
    }
    link_.invoke(endstop_, "add_stepper", bridged->host_stepper());
    steppers_.push_back(&stepper);
  }
  std::vector<klippy::Stepper*> get_steppers() const override { return steppers_; }
  klippy::CompletionPtr home_start(double print_time, double sample_time, int sample_count,
                                   double rest_time, bool triggered) override {
    py::object completion = link_.invoke(endstop_, "home_start", print_time, sample_time,
                                         sample_count, rest_time, py::arg("triggered") = triggered);
    return BridgeReactor::wrap_completion(std::move(completion), link_);
  }
  double home_wait(double home_end_time) override {
    return link_.invoke(endstop_, "home_wait", home_end_time).cast<double>();
  }
  bool query_endstop(double print_time) override {
    return link_.invoke(endstop_, "query_endstop", print_time).cast<bool>();
  }
  const py::object& host_endstop() const { return endstop_; }

 private:
  BridgePrinter& printer_;
  py::object endstop_;
  HostLink link_;
  std::vector<klippy::Stepper*> steppers_;
};

class BridgeDigitalOut final : public klippy::McuDigitalOut {
 public:
  BridgeDigitalOut(py::object out, HostLink link) : out_(std::move(out)), link_(std::move(link)) {}
  void setup_max_duration(double max_duration_s) override {
    link_.invoke(out_, "setup_max_duration", max_duration_s);
  }
  void setup_start_value(double start_value, double shutdown_value) override {
    link_.invoke(out_, "setup_start_value", start_value, shutdown_value);
  }
  void set_digital(double print_time, double value) override {
    link_.invoke(out_, "set_digital", print_time, value);
  }

 private:
  py::object out_;
  HostLink link_;
};

class BridgeQueryCommand final : public klippy::McuQueryCommand {
 public:
  BridgeQueryCommand(py::object command, HostLink link)
      : command_(std::move(command)), link_(std::move(link)) {}
  std::map<std::string, klippy::Value> send(const std::vector<klippy::Value>& args) override {
    py::list data;
    for (const klippy::Value& arg : args) data.append(to_python(arg));
    py::object reply = link_.invoke(command_, "send", data);
    std::map<std::string, klippy::Value> fields;
    for (auto [key, value] : reply.cast<py::dict>()) {
      fields.emplace(py::str(key).cast<std::string>(), from_python(value));
    }
    return fields;
  }

 private:
  py::object command_;
  HostLink link_;
};

class BridgeSpi final : public klippy::SpiDevice {
 public:
  BridgeSpi(BridgePrinter& printer, py::object spi)
      : spi_(std::move(spi)),
        mcu_(mcu_of(printer, printer.link().invoke(spi_, "get_mcu"))),
        oid_(printer.link().invoke(spi_, "get_oid").cast<int>()),
        queue_(mcu_.adopt_queue(printer.link().invoke(spi_, "get_command_queue"))) {}
  klippy::Mcu& get_mcu() override { return mcu_; }
  int get_oid() const override { return oid_; }
  klippy::CommandQueue* get_command_queue() override { return queue_; }

 private:
  py::object spi_;
  BridgeMcu& mcu_;
  int oid_;
  klippy::CommandQueue* queue_;
};

}  // namespace

BridgeMcu::BridgeMcu(BridgePrinter& printer, py::object mcu)
    : HostAdapter(std::move(mcu), printer.link()),
      printer_(printer),
      name_(link_.invoke(object_, "get_name").cast<std::string>()) {}

int BridgeMcu::create_oid() {
  return link_.invoke(object_, "create_oid").cast<int>();
}

void BridgeMcu::add_config_cmd(const std::string& cmd, bool on_restart) {
  link_.invoke(object_, "add_config_cmd", cmd, py::arg("on_restart") = on_restart);
}

void BridgeMcu::register_config_callback(std::function<void()> callback) {
  link_.invoke(
      object_, "register_config_callback",
      link_.callable("MCU config callback", [callback = std::move(callback)](const py::tuple&) {
        callback();
        return py::none();
      }));
}

bool BridgeMcu::knows_command(const std::string& msgformat) const {
  return !link_.invoke(object_, "try_lookup_command", msgformat).is_none();
}

std::unique_ptr<klippy::McuQueryCommand> BridgeMcu::lookup_query_command(
    const std::string& msgformat, const std::string& respformat, int oid,
    klippy::CommandQueue* cq) {
  py::object host_oid = oid < 0 ? py::object(py::none()) : py::object(py::int_(oid));
  auto* bridged = dynamic_cast<BridgeCommandQueue*>(cq);
  py::object host_cq = bridged ? bridged->queue : py::object(py::none());
  return std::make_unique<BridgeQueryCommand>(
      link_.invoke(object_, "lookup_query_command", msgformat, respformat,
                   py::arg("oid") = host_oid, py::arg("cq") = host_cq),
      link_);
}

klippy::CommandQueue* BridgeMcu::alloc_command_queue() {
  return adopt_queue(link_.invoke(object_, "alloc_command_queue"));
}

klippy::CommandQueue* BridgeMcu::adopt_queue(py::object queue) {
  queues_.push_back(std::make_unique<BridgeCommandQueue>(std::move(queue)));
  return queues_.back().get();
}

bool BridgeMcu::is_fileoutput() const {
  return link_.invoke(object_, "is_fileoutput").cast<bool>();
}

double BridgeMcu::estimated_print_time(double eventtime) const {
  return link_.invoke(object_, "estimated_print_time", eventtime).cast<double>();
}

double BridgeMcu::print_time_to_clock_time(double print_time) const {
  return link_.invoke(object_, "print_time_to_clock", print_time).cast<double>();
}

py::dict BridgeMcu::host_pin(const klippy::PinParams& pin) const {
  py::dict params;
  params["chip"] = object_;
  params["chip_name"] = pin.chip_name;
  params["pin"] = pin.pin;
  params["invert"] = pin.invert ? 1 : 0;
  params["pullup"] = pin.pullup;
  return params;
}

std::unique_ptr<klippy::McuEndstop> BridgeMcu::setup_endstop(const klippy::PinParams& pin) {
  return wrap_endstop(printer_, link_.invoke(object_, "setup_pin", "endstop", host_pin(pin)));
}

std::unique_ptr<klippy::McuDigitalOut> BridgeMcu::setup_digital_out(const klippy::PinParams& pin) {
  return wrap_digital_out(link_, link_.invoke(object_, "setup_pin", "digital_out", host_pin(pin)));
}

BridgeMcu& mcu_of(BridgePrinter& printer, py::handle host_mcu) {
  const auto name = printer.link().invoke(host_mcu, "get_name").cast<std::string>();
  // The host registers its main MCU as "mcu" and every other one as "mcu <name>".
  const std::string object_name = name == "mcu" ? name : "mcu " + name;
  auto* mcu = dynamic_cast<BridgeMcu*>(printer.find_object(object_name));
  if (mcu == nullptr) {
    throw klippy::ConfigError("MCU '" + name + "' is not registered with the host as '" +
                              object_name + "'; check its [mcu] section");
  }
  return *mcu;
}

std::unique_ptr<klippy::McuEndstop> wrap_endstop(BridgePrinter& printer, py::object endstop) {
  return std::make_unique<BridgeEndstop>(printer, std::move(endstop));
}

std::unique_ptr<klippy::McuDigitalOut> wrap_digital_out(const HostLink& link, py::object out) {
  return std::make_unique<BridgeDigitalOut>(std::move(out), link);
}

std::unique_ptr<klippy::SpiDevice> wrap_spi(BridgePrinter& printer, py::object spi) {
  return std::make_unique<BridgeSpi>(printer, std::move(spi));
}

py::object host_endstop_of(klippy::McuEndstop& endstop) {
  auto* bridged = dynamic_cast<BridgeEndstop*>(&endstop);
  if (bridged == nullptr) {
    throw klippy::ConfigError("An endstop not made by the host cannot be registered with it");
  }
  return bridged->host_endstop();
}

}  // namespace bridge
