#include "bridge/bridge_printer.h"

#include <chrono>
#include <cstdlib>
#include <thread>

#include "bridge/adapters.h"
#include "bridge/box_log.h"
#include "bridge/bridge_config.h"
#include "bridge/bridge_factory.h"
#include "bridge/bridge_reactor.h"
#include "bridge/object_handle.h"
#include "klippy/host/errors.h"

namespace bridge {
namespace {

constexpr const char* kBridgeAttribute = "_feedbox_bridge";
constexpr const char* kBridgeCapsule = "feedbox.bridge";
// Where the product's files live unless [feedhub] base_folder says otherwise.
constexpr const char* kDefaultBaseFolder = "/home/zur";
constexpr const char* kBoxLogPath = "/home/zur/printer_data/logs/box.log";
// Test hook of the real-host suite: every durable write waits this many milliseconds after
// its fsync, as on a slow SD card.
constexpr const char* kFsyncDelayVariable = "FEEDBOX_TEST_FSYNC_DELAY_MS";

std::shared_ptr<const HostErrors> host_errors(py::handle printer) {
  auto errors = std::make_shared<HostErrors>();
  errors->command_error = py::getattr(printer, "command_error", py::none());
  errors->config_error = py::getattr(printer, "config_error", py::none());
  return errors;
}

void free_bridge(PyObject* capsule) {
  delete static_cast<BridgePrinter*>(PyCapsule_GetPointer(capsule, kBridgeCapsule));
}

}  // namespace

void PythonLogger::log(klippy::LogLevel level, const std::string& message) {
  const char* method = "info";
  switch (level) {
    case klippy::LogLevel::Debug:
      method = "debug";
      break;
    case klippy::LogLevel::Info:
      method = "info";
      break;
    case klippy::LogLevel::Warning:
      method = "warning";
      break;
    case klippy::LogLevel::Error:
      method = "error";
      break;
  }
  box_logger().attr(method)(message);
}

BridgePrinter& BridgePrinter::attach(py::handle printer) {
  if (py::hasattr(printer, kBridgeAttribute)) {
    py::object capsule = printer.attr(kBridgeAttribute);
    void* existing = PyCapsule_GetPointer(capsule.ptr(), kBridgeCapsule);
    if (existing == nullptr) throw py::error_already_set();
    return *static_cast<BridgePrinter*>(existing);
  }
  std::unique_ptr<BridgePrinter> bridge(new BridgePrinter(printer));
  py::object capsule =
      py::reinterpret_steal<py::object>(PyCapsule_New(bridge.get(), kBridgeCapsule, free_bridge));
  if (!capsule) throw py::error_already_set();
  BridgePrinter& attached = *bridge.release();  // owned by the capsule from here on
  printer.attr(kBridgeAttribute) = capsule;
  return attached;
}

BridgePrinter::BridgePrinter(py::handle printer)
    : printer_(printer),
      alive_(std::make_shared<int>(0)),
      callables_(std::make_shared<CallableRegistry>()),
      link_(host_errors(printer), alive_, callables_) {
  // Not one of the registry's callables: it must survive its own release_all().
  link_.invoke(printer_, "register_event_handler", "klippy:disconnect",
               make_callable(
                   "bridge teardown",
                   [this](const py::tuple&) {
                     teardown();
                     return py::none();
                   },
                   link_.errors()));
  for (auto [key, value] : link_.invoke(printer_, "get_start_args").cast<py::dict>()) {
    start_args_.emplace(py::str(key).cast<std::string>(), py::str(value).cast<std::string>());
  }
  reactor_ = std::make_unique<BridgeReactor>(link_.invoke(printer_, "get_reactor"), link_);
  file_writer_ = std::make_unique<klippy::FileWriter>(*reactor_);
  if (const char* delay_ms = std::getenv(kFsyncDelayVariable)) {
    const auto delay = std::chrono::milliseconds(std::atoi(delay_ms));
    file_writer_->set_fsync_hook([delay] { std::this_thread::sleep_for(delay); });
  }
  factory_ = make_bridge_factory(*this);
}

BridgePrinter::~BridgePrinter() {
  stop_file_writer();
  // From here on the host's calls into this bridge fail instead of reaching freed objects.
  alive_.reset();
  while (!owned_.empty()) owned_.pop_back();
}

void BridgePrinter::stop_file_writer() {
  if (!file_writer_) return;
  const py::gil_scoped_release unlocked;
  file_writer_->stop();
}

void BridgePrinter::teardown() {
  // Saves still queued reach the disk before anything goes.
  stop_file_writer();
  close_box_log();
  // A task of ours that was suspended in a wait when the host stopped (a save, a move) is
  // unwound only when the host ends its greenlets, after this event; its frames still use
  // the module objects. They stay, then, until the bridge itself goes: a restart in the
  // middle of a wait must not free what the unwinding touches.
  if (callables_->any_active()) return;
  // Module objects first, while the adapters and the reactor they use still exist.
  while (!owned_.empty()) owned_.pop_back();
  adapters_.clear();
  configs_.clear();
  callables_->release_all();
  factory_.reset();
  reactor_.reset();
  alive_.reset();
}

std::string BridgePrinter::resolve_path(const std::string& path) const {
  const std::string& base = base_folder_ ? *base_folder_ : std::string(kDefaultBaseFolder);
  const std::string prefix = kDefaultBaseFolder;
  if (path.compare(0, prefix.size(), prefix) != 0) return path;
  if (path.size() > prefix.size() && path[prefix.size()] != '/') return path;
  return base + path.substr(prefix.size());
}

namespace {

// [section] base_folder without its trailing slashes, empty when the option is absent.
std::string base_folder_option(const HostLink& link, py::handle config, const char* section) {
  if (!link.invoke(config, "has_section", section).cast<bool>()) return {};
  py::object options = link.invoke(config, "getsection", section);
  py::object value = link.invoke(options, "get", "base_folder", py::none());
  if (value.is_none()) return {};
  auto folder = value.cast<std::string>();
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  if (folder.empty() || folder.front() != '/') {
    throw klippy::ConfigError("Option 'base_folder' in section '" + std::string(section) +
                              "' must be an absolute path (the folder that holds "
                              "printer_data), not '" +
                              folder + "'");
  }
  return folder;
}

}  // namespace

// [feedscan] names it too, for a printer with no box configured (no [feedhub]), whose box
// detection must still find the box files when a box is plugged in.
void BridgePrinter::read_base_folder(py::handle config) {
  if (base_folder_) return;
  const std::string hub = base_folder_option(link_, config, "feedhub");
  const std::string scan = base_folder_option(link_, config, "feedscan");
  if (!hub.empty() && !scan.empty() && hub != scan) {
    throw klippy::ConfigError("Option 'base_folder' is '" + hub + "' in section 'feedhub' but '" +
                              scan + "' in section 'feedscan': name the same folder (the one " +
                              "that holds printer_data) in both");
  }
  base_folder_ = !hub.empty() ? hub : !scan.empty() ? scan : std::string(kDefaultBaseFolder);
  open_box_log(resolve_path(kBoxLogPath));
}

klippy::Reactor& BridgePrinter::get_reactor() {
  return *reactor_;
}

klippy::PrinterObject* BridgePrinter::find_object(const std::string& name) {
  if (auto it = adapters_.find(name); it != adapters_.end()) return it->second.get();
  py::object found = link_.invoke(printer_, "lookup_object", name, py::none());
  if (found.is_none()) return nullptr;
  if (klippy::PrinterObject* own = handled_object(found)) return own;
  std::shared_ptr<klippy::PrinterObject> adapter = make_adapter(*this, name, found);
  klippy::PrinterObject* raw = adapter.get();
  adapters_.emplace(name, std::move(adapter));
  return raw;
}

void BridgePrinter::add_object(const std::string& name,
                               std::shared_ptr<klippy::PrinterObject> object) {
  link_.invoke(printer_, "add_object", name, adopt(std::move(object)));
}

klippy::PrinterObject& BridgePrinter::load_object_any(klippy::ConfigSection& config,
                                                      const std::string& section) {
  link_.invoke(printer_, "load_object", host_config(config), section);
  if (klippy::PrinterObject* found = find_object(section)) return *found;
  throw klippy::ConfigError("Printer object '" + section +
                            "' could not be loaded: the host created nothing under that name");
}

std::vector<std::pair<std::string, klippy::PrinterObject*>> BridgePrinter::lookup_objects(
    const std::string& prefix) {
  std::vector<std::string> names;
  for (py::handle pair : link_.invoke(printer_, "lookup_objects")) {
    auto name = py::reinterpret_borrow<py::tuple>(pair)[0].cast<std::string>();
    if (name.rfind(prefix, 0) == 0) names.push_back(std::move(name));
  }
  std::vector<std::pair<std::string, klippy::PrinterObject*>> objects;
  for (const std::string& name : names) {
    if (klippy::PrinterObject* object = find_object(name)) objects.emplace_back(name, object);
  }
  return objects;
}

void BridgePrinter::register_event_handler(const std::string& event,
                                           std::function<void()> handler) {
  py::object fn =
      link_.callable("event handler " + event, [handler = std::move(handler)](const py::tuple&) {
        handler();
        return py::none();
      });
  link_.invoke(printer_, "register_event_handler", event, fn);
}

void BridgePrinter::send_event(const std::string& event) {
  // The host's handlers of a restart request take the print time it happens at, which
  // the host passes along with the event.
  if (event == "gcode:request_restart") {
    py::object toolhead = link_.invoke(printer_, "lookup_object", "toolhead", py::none());
    if (!toolhead.is_none()) {
      link_.invoke(printer_, "send_event", event, link_.invoke(toolhead, "get_last_move_time"));
      return;
    }
  }
  link_.invoke(printer_, "send_event", event);
}

void BridgePrinter::request_exit(const std::string& result) {
  link_.invoke(printer_, "request_exit", result);
}

BridgeConfig& BridgePrinter::config_section(py::object config) {
  const auto name = link_.invoke(config, "get_name").cast<std::string>();
  auto& slot = configs_[name];
  if (!slot) slot = std::make_unique<BridgeConfig>(*this, std::move(config));
  return *slot;
}

py::object BridgePrinter::host_config(klippy::ConfigSection& config) {
  auto* bridged = dynamic_cast<BridgeConfig*>(&config);
  if (bridged == nullptr)
    throw klippy::ConfigError("Section '" + config.get_name() + "' does not come from the host");
  return bridged->host_config();
}

py::object BridgePrinter::adopt(std::shared_ptr<klippy::PrinterObject> object) {
  py::object handle = make_object_handle(*this, object);
  owned_.push_back(std::move(object));
  return handle;
}

}  // namespace bridge
