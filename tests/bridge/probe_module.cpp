// A module that uses the bridge the way the product modules do, in small steps a test can
// drive: it waits inside G-code handlers while a C++ timer ticks, suspends handlers on
// completions that a later command releases, and fails in each way a module can.
#include <map>
#include <stdexcept>
#include <string>

#include "bridge/entry_points.h"
#include "klippy/host/devices.h"
#include "klippy/host/factory.h"
#include "klippy/host/gcode.h"
#include "klippy/host/printer.h"
#include "klippy/host/toolhead.h"

namespace {

class Probe final : public klippy::PrinterObject {
 public:
  explicit Probe(klippy::ConfigSection& config)
      : printer_(config.get_printer()),
        reactor_(printer_.get_reactor()),
        gcode_(printer_.lookup_object<klippy::GCodeDispatch>("gcode")),
        tick_s_(config.getfloat("tick", 0.1, {.above = 0.})) {
    timer_ = reactor_.register_timer(
        [this](double eventtime) {
          ++ticks_;
          return eventtime + tick_s_;
        },
        klippy::Reactor::NOW);
    printer_.register_event_handler("klippy:ready", [this] { ready_ = true; });
    add("PROBE_WAIT", [this](klippy::GCodeCommand& gcmd) { cmd_wait(gcmd); });
    add("PROBE_BLOCK", [this](klippy::GCodeCommand& gcmd) { cmd_block(gcmd); });
    add("PROBE_RELEASE", [this](klippy::GCodeCommand& gcmd) {
      blocks_.at(gcmd.get("ID"))->complete(gcmd.get("VALUE", "done"));
    });
    add("PROBE_FAIL", [](klippy::GCodeCommand& gcmd) -> void {
      throw gcmd.error("PROBE_FAIL refused: " + gcmd.get("WHY", "asked to"));
    });
    add("PROBE_CRASH",
        [](klippy::GCodeCommand&) -> void { throw std::logic_error("probe state broken"); });
    add("PROBE_NESTED", [this](klippy::GCodeCommand& gcmd) { cmd_nested(gcmd); });
    add("PROBE_TIMEOUT", [this](klippy::GCodeCommand& gcmd) {
      klippy::CompletionPtr never = reactor_.completion();
      klippy::Value got = never->wait(reactor_.monotonic() + gcmd.get_float("SECONDS"), "late");
      gcmd.respond_info("timeout gave " + got.str());
    });
    add("PROBE_CALLBACK", [this](klippy::GCodeCommand& gcmd) {
      klippy::CompletionPtr done = reactor_.register_callback([this](double eventtime) {
        reactor_.pause(eventtime + 0.5);
        return klippy::Value(ticks_);
      });
      gcmd.respond_info("callback gave " + done->wait().str());
    });
    add("PROBE_SENSOR", [this](klippy::GCodeCommand& gcmd) {
      auto& sensor = printer_.lookup_object<klippy::FilamentMotionSensor>(
          "filament_motion_sensor " + gcmd.get("NAME"));
      gcmd.respond_info("level " + std::to_string(sensor.button_state()) + " length " +
                        klippy::format_float(sensor.detection_length()));
    });
    add("PROBE_HEATER", [this](klippy::GCodeCommand& gcmd) {
      klippy::Heater& heater =
          printer_.lookup_object<klippy::Toolhead>("toolhead").get_extruder().get_heater();
      heater.set_can_wait(gcmd.get_int("CAN_WAIT") != 0);
    });
    add("PROBE_TOOLHEAD", [this](klippy::GCodeCommand& gcmd) {
      auto& toolhead = printer_.lookup_object<klippy::Toolhead>("toolhead");
      const double print_time = toolhead.get_last_move_time();
      toolhead.note_kinematic_activity(print_time + 1.0);
      gcmd.respond_info("move time " + klippy::format_float(print_time));
    });
    add("PROBE_QUERY", [this](klippy::GCodeCommand& gcmd) {
      auto& mcu = printer_.lookup_object<klippy::Mcu>("mcu " + gcmd.get("MCU"));
      auto query = mcu.lookup_query_command("probe_query oid=%c", "probe_answer oid=%c data=%*s", 7,
                                            mcu.alloc_command_queue());
      std::map<std::string, klippy::Value> answer = query->send({7});
      gcmd.respond_info("oid " + answer.at("oid").repr() + " data " + answer.at("data").repr());
    });
    add("PROBE_EVENT",
        [this](klippy::GCodeCommand& gcmd) { printer_.send_event(gcmd.get("NAME")); });
    add("PROBE_TRAPQ", [this](klippy::GCodeCommand& gcmd) {
      // One move of 10 mm: 1 s accelerating at 10 mm/s^2 to 10 mm/s, 0.5 s cruising.
      klippy::TrapqPtr trapq = printer_.factory().create_trapq();
      trapq->append(2.0, 1.0, 0.5, 0.0, {5., 0., 0.}, {1., 0., 0.}, 0.0, 10.0, 10.0);
      trapq->finalize_moves(2.5, 1.0);
      gcmd.respond_info("at 3.0 x " + klippy::format_float(trapq->position_at(3.0)[0]) +
                        ", at 2.5 x " + klippy::format_float(trapq->position_at(2.5)[0]));
    });
  }

  std::optional<klippy::Value> get_status(double) override {
    return klippy::Value(klippy::Value::Dict{
        {"ticks", ticks_}, {"suspended", suspended_}, {"unwound", unwound_}, {"ready", ready_}});
  }

 private:
  // Counts the handler frames that are suspended, and those whose destructors ran.
  struct Frame {
    explicit Frame(Probe& probe) : probe(probe) { ++probe.suspended_; }
    ~Frame() {
      --probe.suspended_;
      ++probe.unwound_;
    }
    Probe& probe;
  };

  void add(const std::string& name, klippy::CommandHandler handler) {
    gcode_.register_command(name, std::move(handler));
  }

  void cmd_wait(klippy::GCodeCommand& gcmd) {
    const long long before = ticks_;
    const double start = reactor_.monotonic();
    const double resumed = reactor_.pause(start + gcmd.get_float("SECONDS", {}, {.above = 0.}));
    gcmd.respond_info("waited " + klippy::format_float(resumed - start) + " s, ticks " +
                      std::to_string(ticks_ - before));
  }

  void cmd_block(klippy::GCodeCommand& gcmd) {
    Frame frame(*this);
    const std::string id = gcmd.get("ID");
    const long long phases = gcmd.get_int("PHASES", 1, {.minval = 1});
    for (long long phase = 1; phase <= phases; ++phase) {
      klippy::CompletionPtr completion = reactor_.completion();
      blocks_[id] = completion;
      klippy::Value value = completion->wait();
      gcmd.respond_info("block " + id + " phase " + std::to_string(phase) + " got " + value.str());
    }
  }

  void cmd_nested(klippy::GCodeCommand& gcmd) {
    std::string caught;
    try {
      gcode_.run_script_from_command(gcmd.get("SCRIPT"));
    } catch (const klippy::CommandError& error) {
      caught = error.what();
    }
    gcmd.respond_info(caught.empty() ? "nested ran" : "nested failed: " + caught);
  }

  klippy::Printer& printer_;
  klippy::Reactor& reactor_;
  klippy::GCodeDispatch& gcode_;
  double tick_s_;
  klippy::TimerHandle timer_;
  long long ticks_ = 0;
  long long suspended_ = 0;
  long long unwound_ = 0;
  bool ready_ = false;
  std::map<std::string, klippy::CompletionPtr> blocks_;
};

PyModuleDef definition = {PyModuleDef_HEAD_INIT, "_bridge_probe", nullptr, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__bridge_probe() {
  klippy::ExtraModule module;
  module.name = "bridge_probe";
  module.load_config = [](klippy::ConfigSection& config) -> std::shared_ptr<klippy::PrinterObject> {
    return std::make_shared<Probe>(config);
  };
  return bridge::create_extension(definition, std::move(module));
}
