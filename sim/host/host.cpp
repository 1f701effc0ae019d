#include "sim/host/host.h"

#include <filesystem>

#include "sim/host/core_modules.h"
#include "sim/host/environment.h"
#include "sim/host/factory.h"
#include "sim/host/jinja_templates.h"
#include "sim/host/mcu_modules.h"
#include "sim/host/motion_modules.h"
#include "sim/host/restart_commands.h"
#include "sim/host/usb_boxes.h"
#include "sim/host/world_module.h"

namespace sim {

SimHost::SimHost(HostOptions options)
    : python_(options.python ? std::move(options.python) : std::make_shared<PythonInterpreter>()) {
  reactor_ = std::make_unique<SimReactor>(options.clock);
  // The box's own log, where a printer has it, under the data directory.
  const std::string box_log =
      options.data_dir.empty()
          ? std::string()
          : (std::filesystem::path(options.data_dir) / "home/zur/printer_data/logs/box.log")
                .string();
  logger_ = std::make_unique<SimLogger>(
      options.log_path, [this] { return reactor_->monotonic(); }, box_log);
  reactor_->set_error_reporter([this](const std::string& message) {
    logger_->error(message);
    if (gcode_) gcode_->respond_raw("!! " + message);
  });
  printer_ = std::make_unique<SimPrinter>(*reactor_, *logger_, options.data_dir,
                                          std::move(options.start_args));
  gcode_ = std::make_shared<SimGCode>(*reactor_, *logger_, std::move(options.output));
  printer_->add_object("gcode", gcode_);
  printer_->add_object(SimEnvironment::kName,
                       std::make_shared<SimEnvironment>(reactor_->monotonic()));
  printer_->add_object(TemplateEnvironment::kName,
                       std::make_shared<TemplateEnvironment>(*printer_, *python_));
  printer_->set_factory(std::make_unique<SimFactory>(*printer_));
  for (auto& module : core_modules()) printer_->add_module(std::move(module));
  for (auto& module : mcu_modules()) printer_->add_module(std::move(module));
  for (auto& module : motion_modules()) printer_->add_module(std::move(module));
  printer_->add_module(sim_usb_module());
  if (options.carried) {
    printer_->add_object(SimCarriedHardware::kName,
                         std::make_shared<SimCarriedHardware>(*options.carried));
  }
  // The console's loop stops when the host asks to end its run.
  printer_->on_exit_request([this] { reactor_->end(); });
  register_restart_commands(*printer_, *gcode_);
  printer_->register_event_handler(
      "klippy:shutdown", [this] { gcode_->handle_shutdown(printer_->shutdown_message()); });
}

SimHost::~SimHost() {
  // Suspended tasks (a script waiting for the G-code lock, say) unwind while the objects
  // they use still exist; then the printer's objects, which hold timers of the reactor.
  reactor_->shutdown_tasks();
  printer_.reset();
  gcode_.reset();
}

void SimHost::add_module(klippy::ExtraModule module) {
  printer_->add_module(std::move(module));
}

void SimHost::start(const ConfigText& config) {
  printer_->load_config(std::make_unique<SimConfig>(*printer_, config));
  printer_->start();
}

SimHost::LineOutcome SimHost::run_command(const std::string& line) {
  // Shared, so that a command still suspended when the run ends does not outlive its flags.
  auto done = std::make_shared<bool>(false);
  auto started = std::make_shared<bool>(false);
  reactor_->register_callback([this, line, done, started](double) {
    gcode_->run_console_line(line, [started] { *started = true; });
    *done = true;
    return klippy::Value();
  });
  reactor_->run_until([this, done] { return *done || exit_requested(); }, kCommandTimeoutS);
  if (*done) return LineOutcome::finished;
  return *started ? LineOutcome::cut_off : LineOutcome::not_started;
}

void SimHost::advance(double seconds) {
  reactor_->run_until([this] { return exit_requested(); }, seconds);
}

bool SimHost::run_until(const std::function<bool()>& predicate, double timeout_s) {
  reactor_->run_until([&] { return exit_requested() || predicate(); }, timeout_s);
  return predicate();
}

CarriedHardware SimHost::carry_hardware() {
  CarriedHardware carried;
  // A host that could not build its printer passes on what it was given.
  if (auto* given = printer_->lookup_object_or_null<SimCarriedHardware>(SimCarriedHardware::kName))
    carried = given->state();
  if (auto* world = printer_->lookup_object_or_null<SimFilamentWorld>(SimFilamentWorld::kName)) {
    carried.world = world->world().snapshot(world->print_time_now());
    carried.world_boxes = world->physical_boxes();
  }
  if (auto* usb = printer_->lookup_object_or_null<SimUsbBoxes>(klippy::SystemServices::kObjectName))
    carried.usb_boxes = usb->boxes();
  return carried;
}

klippy::Value::Dict SimHost::collect_status() {
  double now = reactor_->monotonic();
  // A front end's status query: the host allows no wait in it.
  const klippy::NoPauseScope no_waits(*reactor_);
  klippy::Value::Dict status;
  for (auto& [name, object] : printer_->lookup_objects("")) {
    if (auto s = object->get_status(now)) status.emplace_back(name, *s);
  }
  return status;
}

}  // namespace sim
