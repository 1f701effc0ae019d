// klippy::ConfigSection over one of the host's config wrappers. Options are read through
// the host, so its access tracking still finds options that nobody reads.
#pragma once

#include <pybind11/pybind11.h>

#include "klippy/host/config.h"

namespace bridge {

namespace py = pybind11;

class BridgePrinter;

class BridgeConfig final : public klippy::ConfigSection {
 public:
  BridgeConfig(BridgePrinter& printer, py::object config);

  klippy::Printer& get_printer() override;
  const std::string& get_name() const override { return name_; }
  std::string get(const std::string& option) override;
  std::string get(const std::string& option, const std::string& default_value) override;
  std::optional<std::string> get_optional(const std::string& option) override;
  long long getint(const std::string& option, std::optional<long long> default_value,
                   klippy::IntLimits limits) override;
  double getfloat(const std::string& option, std::optional<double> default_value,
                  klippy::FloatLimits limits) override;
  bool getboolean(const std::string& option, std::optional<bool> default_value) override;
  std::string getchoice(const std::string& option, const std::vector<std::string>& choices,
                        std::optional<std::string> default_value) override;
  std::vector<std::string> get_option_names() override;
  bool has_section(const std::string& section) override;
  klippy::ConfigSection& getsection(const std::string& section) override;
  std::vector<klippy::ConfigSection*> get_prefix_sections(const std::string& prefix) override;

  const py::object& host_config() const { return config_; }

 private:
  BridgePrinter& printer_;
  py::object config_;
  std::string name_;
};

}  // namespace bridge
