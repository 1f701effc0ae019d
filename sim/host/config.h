// The printer configuration: files with [include] resolved, one object per section, and
// tracking of which options were read so that unknown options fail the start.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "klippy/host/config.h"

namespace sim {

struct ConfigOption {
  std::string key;
  std::string value;
};

struct ConfigSectionData {
  std::string name;
  std::vector<ConfigOption> options;
  std::string source;  // "file:line" of the header, for error messages
};

// The merged, ordered content of a configuration and its includes.
class ConfigText {
 public:
  static ConfigText from_file(const std::string& path);
  static ConfigText from_text(const std::string& text, const std::string& source_name,
                              const std::string& base_dir);

  const std::vector<ConfigSectionData>& sections() const { return sections_; }

 private:
  void add_text(const std::string& text, const std::string& source_name,
                const std::string& base_dir, int depth);
  void merge(ConfigSectionData section);

  std::vector<ConfigSectionData> sections_;
};

class SimConfig;

class SimConfigSection final : public klippy::ConfigSection {
 public:
  SimConfigSection(SimConfig& owner, const ConfigSectionData& data);

  klippy::Printer& get_printer() override;
  const std::string& get_name() const override { return data_.name; }
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

  const std::set<std::string>& accessed() const { return accessed_; }
  const ConfigSectionData& data() const { return data_; }

 private:
  const std::string* find(const std::string& option);
  std::string required(const std::string& option);

  SimConfig& owner_;
  ConfigSectionData data_;
  std::set<std::string> accessed_;
};

class SimConfig {
 public:
  SimConfig(klippy::Printer& printer, ConfigText text);
  // Sections read outside a printer (by a tool that only needs their options): asking a
  // section for its printer is then a logic error.
  explicit SimConfig(ConfigText text);

  klippy::Printer& printer();
  // Sections of the configuration files, in file order.
  std::vector<SimConfigSection*> sections();
  SimConfigSection* find(const std::string& name);
  // As the host does, a section that is not in the files reads as empty.
  SimConfigSection& get_or_create(const std::string& name);
  // The root of the configuration, handed to add_printer_objects.
  SimConfigSection& root() { return *root_; }
  // Fails with "Option 'x' is not valid in section 'y'" for options nobody read in a section
  // that some component implements or reads.
  void check_unused_options(const std::set<std::string>& implemented_sections) const;

 private:
  klippy::Printer* printer_;
  std::vector<std::unique_ptr<SimConfigSection>> sections_;
  std::vector<std::unique_ptr<SimConfigSection>> implicit_sections_;
  std::unique_ptr<SimConfigSection> root_;
};

}  // namespace sim
