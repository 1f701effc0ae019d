// One section of the printer configuration, as the host hands it to a module.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "klippy/host/errors.h"

namespace klippy {

class Printer;

struct IntLimits {
  std::optional<long long> minval, maxval;
};
struct FloatLimits {
  std::optional<double> minval, maxval, above, below;
};

class ConfigSection {
 public:
  virtual ~ConfigSection() = default;
  virtual Printer& get_printer() = 0;
  virtual const std::string& get_name() const = 0;

  // Every getter without a default fails with "Option 'x' in section 'y' must be specified".
  virtual std::string get(const std::string& option) = 0;
  virtual std::string get(const std::string& option, const std::string& default_value) = 0;
  virtual std::optional<std::string> get_optional(const std::string& option) = 0;
  virtual long long getint(const std::string& option, std::optional<long long> default_value = {},
                           IntLimits limits = {}) = 0;
  virtual double getfloat(const std::string& option, std::optional<double> default_value = {},
                          FloatLimits limits = {}) = 0;
  virtual bool getboolean(const std::string& option, std::optional<bool> default_value = {}) = 0;
  virtual std::string getchoice(const std::string& option, const std::vector<std::string>& choices,
                                std::optional<std::string> default_value = {}) = 0;
  virtual std::vector<std::string> get_option_names() = 0;

  virtual bool has_section(const std::string& section) = 0;
  virtual ConfigSection& getsection(const std::string& section) = 0;
  virtual std::vector<ConfigSection*> get_prefix_sections(const std::string& prefix) = 0;

  ConfigError error(const std::string& message) const { return ConfigError(message); }
};

}  // namespace klippy
