#include "sim/host/printer.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <sstream>

namespace sim {
namespace {

// The words of a section name as the host splits it: " feedlane  slot1 " is the object
// "slot1" of module "feedlane".
std::vector<std::string> section_words(const std::string& section) {
  std::istringstream stream(section);
  std::vector<std::string> words;
  for (std::string word; stream >> word;) words.push_back(word);
  return words;
}

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

}  // namespace

SimPrinter::SimPrinter(klippy::Reactor& reactor, klippy::Logger& log, std::string data_dir,
                       std::map<std::string, std::string> start_args)
    : reactor_(reactor),
      log_(log),
      data_dir_(std::move(data_dir)),
      args_(std::move(start_args)),
      file_writer_(reactor) {}

SimPrinter::~SimPrinter() {
  // Objects go in reverse order of creation: later objects may refer to earlier ones.
  while (!objects_.empty()) objects_.pop_back();
}

klippy::HostFactory& SimPrinter::factory() {
  if (!factory_) throw klippy::ConfigError("This host has no hardware components to build");
  return *factory_;
}

klippy::PrinterObject* SimPrinter::find_object(const std::string& name) {
  auto it = index_.find(name);
  return it == index_.end() ? nullptr : it->second;
}

void SimPrinter::add_object(const std::string& name,
                            std::shared_ptr<klippy::PrinterObject> object) {
  if (index_.count(name))
    throw klippy::ConfigError("Printer object '" + name + "' already created");
  index_[name] = object.get();
  objects_.emplace_back(name, std::move(object));
}

const klippy::ExtraModule* SimPrinter::module_for(const std::string& section) const {
  const std::vector<std::string> words = section_words(section);
  if (words.empty()) return nullptr;
  const bool prefixed = words.size() > 1;
  for (const auto& m : modules_) {
    if (m.name != words.front()) continue;
    if (prefixed ? bool(m.load_config_prefix) : bool(m.load_config)) return &m;
  }
  return nullptr;
}

klippy::PrinterObject& SimPrinter::load_object_any(klippy::ConfigSection& /*config*/,
                                                   const std::string& section) {
  if (klippy::PrinterObject* existing = find_object(section)) return *existing;
  const klippy::ExtraModule* module = module_for(section);
  if (!module) throw klippy::ConfigError("Unable to load module '" + section + "'");
  if (!loading_.insert(section).second) {
    throw klippy::ConfigError("Section '" + section + "' depends on itself while loading");
  }
  SimConfigSection& sconfig = config_->get_or_create(section);
  const bool prefixed = section_words(section).size() > 1;
  std::shared_ptr<klippy::PrinterObject> object;
  try {
    object = prefixed ? module->load_config_prefix(sconfig) : module->load_config(sconfig);
  } catch (...) {
    loading_.erase(section);
    throw;
  }
  loading_.erase(section);
  implemented_.insert(section);
  if (!object) throw klippy::ConfigError("Module for section '" + section + "' built nothing");
  if (klippy::PrinterObject* added = find_object(section)) return *added;
  add_object(section, std::move(object));
  return *index_.at(section);
}

std::vector<std::pair<std::string, klippy::PrinterObject*>> SimPrinter::lookup_objects(
    const std::string& prefix) {
  std::vector<std::pair<std::string, klippy::PrinterObject*>> result;
  for (auto& [name, object] : objects_) {
    if (name.rfind(prefix, 0) == 0) result.emplace_back(name, object.get());
  }
  return result;
}

void SimPrinter::register_event_handler(const std::string& event, std::function<void()> handler) {
  handlers_[event].push_back(std::move(handler));
}

void SimPrinter::send_event(const std::string& event) {
  auto it = handlers_.find(event);
  if (it == handlers_.end()) return;
  // Handlers may register further handlers; run the ones present now.
  auto handlers = it->second;
  for (auto& handler : handlers) handler();
}

void SimPrinter::request_exit(const std::string& result) {
  if (!exit_result_.empty() || result.empty()) return;
  exit_result_ = result;
  log_.info("Exit requested: " + result);
  if (exit_listener_) exit_listener_();
}

std::string SimPrinter::resolve_path(const std::string& path) const {
  if (data_dir_.empty() || path.empty() || path[0] != '/') return path;
  return (std::filesystem::path(data_dir_) / path.substr(1)).string();
}

void SimPrinter::add_module(klippy::ExtraModule module) {
  modules_.push_back(std::move(module));
}

void SimPrinter::load_config(std::unique_ptr<SimConfig> config) {
  config_ = std::move(config);
  for (const auto& m : modules_) {
    if (m.add_printer_objects) m.add_printer_objects(config_->root());
  }
  for (SimConfigSection* section : config_->sections()) {
    const std::string& name = section->get_name();
    if (module_for(name)) load_object_any(*section, name);
  }
  // Sections read by another component (the rails of [printer]) are not ignored.
  for (SimConfigSection* section : config_->sections()) {
    const std::string& name = section->get_name();
    if (module_for(name) || !section->accessed().empty() || find_object(lower(name))) continue;
    // A module of this host that builds nothing from the section and no object of its
    // name: the real host refuses it. Only sections of modules this host lacks are left to
    // the real one.
    const std::vector<std::string> words = section_words(name);
    const bool known =
        !words.empty() && std::any_of(modules_.begin(), modules_.end(),
                                      [&](const auto& m) { return m.name == words.front(); });
    if (known) {
      const bool takes_a_name = words.size() == 1;
      throw klippy::ConfigError(
          "Section '" + lower(name) + "' is not a valid config section; " +
          (takes_a_name ? "name the object it configures, as [" + words.front() + " NAME]"
                        : "write it as [" + words.front() + "], without a name"));
    }
    ignored_.push_back(name);
  }
  if (!ignored_.empty()) {
    std::string list;
    for (const auto& name : ignored_) list += (list.empty() ? "" : ", ") + name;
    log_.warning("Config sections not implemented by this host (ignored): " + list);
  }
  config_->check_unused_options(implemented_);
}

void SimPrinter::start() {
  send_event("klippy:mcu_identify");
  send_event("klippy:connect");
  try {
    const klippy::NoPauseScope no_waits(reactor_);
    send_event("klippy:ready");
  } catch (const std::exception& e) {
    // The handlers after the failing one do not run, as in the real host.
    log_.error(std::string("Unhandled exception during ready callback: ") + e.what());
    invoke_shutdown(std::string("Internal error during ready callback: ") + e.what());
  }
}

void SimPrinter::invoke_shutdown(const std::string& message) {
  if (!shutdown_message_.empty()) return;
  log_.error("Transition to shutdown state: " + message);
  shutdown_message_ = message.empty() ? "Shutdown" : message;
  auto it = handlers_.find("klippy:shutdown");
  if (it == handlers_.end()) return;
  auto handlers = it->second;
  const klippy::NoPauseScope no_waits(reactor_);
  for (auto& handler : handlers) {
    try {
      handler();
    } catch (const std::exception& e) {
      log_.error(std::string("Exception during shutdown handler: ") + e.what());
    }
  }
}

}  // namespace sim
