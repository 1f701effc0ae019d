#include "bridge/bridge_config.h"

#include "bridge/bridge_printer.h"

namespace bridge {
namespace {

// Keyword arguments of the host's getters; a limit left out stays None.
template <class T>
void put(py::dict& kwargs, const char* key, const std::optional<T>& value) {
  if (value) kwargs[key] = *value;
}

}  // namespace

BridgeConfig::BridgeConfig(BridgePrinter& printer, py::object config)
    : printer_(printer),
      config_(std::move(config)),
      name_(printer.link().invoke(config_, "get_name").cast<std::string>()) {}

klippy::Printer& BridgeConfig::get_printer() {
  return printer_;
}

std::string BridgeConfig::get(const std::string& option) {
  return printer_.link().invoke(config_, "get", option).cast<std::string>();
}

std::string BridgeConfig::get(const std::string& option, const std::string& default_value) {
  return printer_.link().invoke(config_, "get", option, default_value).cast<std::string>();
}

std::optional<std::string> BridgeConfig::get_optional(const std::string& option) {
  py::object value = printer_.link().invoke(config_, "get", option, py::none());
  if (value.is_none()) return std::nullopt;
  return value.cast<std::string>();
}

long long BridgeConfig::getint(const std::string& option, std::optional<long long> default_value,
                               klippy::IntLimits limits) {
  py::dict kwargs;
  put(kwargs, "default", default_value);
  put(kwargs, "minval", limits.minval);
  put(kwargs, "maxval", limits.maxval);
  return printer_.link().invoke(config_, "getint", option, **kwargs).cast<long long>();
}

double BridgeConfig::getfloat(const std::string& option, std::optional<double> default_value,
                              klippy::FloatLimits limits) {
  py::dict kwargs;
  put(kwargs, "default", default_value);
  put(kwargs, "minval", limits.minval);
  put(kwargs, "maxval", limits.maxval);
  put(kwargs, "above", limits.above);
  put(kwargs, "below", limits.below);
  return printer_.link().invoke(config_, "getfloat", option, **kwargs).cast<double>();
}

bool BridgeConfig::getboolean(const std::string& option, std::optional<bool> default_value) {
  py::dict kwargs;
  put(kwargs, "default", default_value);
  return printer_.link().invoke(config_, "getboolean", option, **kwargs).cast<bool>();
}

std::string BridgeConfig::getchoice(const std::string& option,
                                    const std::vector<std::string>& choices,
                                    std::optional<std::string> default_value) {
  // Older hosts take only a mapping of accepted text to result.
  py::dict mapping;
  for (const std::string& choice : choices) mapping[py::str(choice)] = choice;
  py::dict kwargs;
  put(kwargs, "default", default_value);
  return printer_.link()
      .invoke(config_, "getchoice", option, mapping, **kwargs)
      .cast<std::string>();
}

std::vector<std::string> BridgeConfig::get_option_names() {
  std::vector<std::string> names;
  for (py::handle name : printer_.link().invoke(config_, "get_prefix_options", "")) {
    names.push_back(name.cast<std::string>());
  }
  return names;
}

bool BridgeConfig::has_section(const std::string& section) {
  return printer_.link().invoke(config_, "has_section", section).cast<bool>();
}

klippy::ConfigSection& BridgeConfig::getsection(const std::string& section) {
  return printer_.config_section(printer_.link().invoke(config_, "getsection", section));
}

std::vector<klippy::ConfigSection*> BridgeConfig::get_prefix_sections(const std::string& prefix) {
  std::vector<klippy::ConfigSection*> sections;
  for (py::handle section : printer_.link().invoke(config_, "get_prefix_sections", prefix)) {
    sections.push_back(&printer_.config_section(py::reinterpret_borrow<py::object>(section)));
  }
  return sections;
}

}  // namespace bridge
