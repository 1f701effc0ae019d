#include "sim/host/config.h"

#include <glob.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <utility>

#include "klippy/host/ini.h"
#include "klippy/host/value.h"

namespace sim {
namespace {

constexpr int kMaxIncludeDepth = 16;

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

std::string parent_dir(const std::string& path) {
  auto parent = std::filesystem::path(path).parent_path();
  return parent.empty() ? std::string(".") : parent.string();
}

std::vector<std::string> expand_glob(const std::string& pattern) {
  glob_t matches{};
  std::vector<std::string> paths;
  if (::glob(pattern.c_str(), 0, nullptr, &matches) == 0) {
    for (size_t i = 0; i < matches.gl_pathc; ++i) paths.emplace_back(matches.gl_pathv[i]);
  }
  ::globfree(&matches);
  std::sort(paths.begin(), paths.end());
  return paths;
}

bool has_glob_chars(const std::string& s) {
  return s.find_first_of("*?[") != std::string::npos;
}

}  // namespace

ConfigText ConfigText::from_file(const std::string& path) {
  ConfigText config;
  config.add_text(klippy::read_text_file(path), path, parent_dir(path), 0);
  return config;
}

ConfigText ConfigText::from_text(const std::string& text, const std::string& source_name,
                                 const std::string& base_dir) {
  ConfigText config;
  config.add_text(text, source_name, base_dir, 0);
  return config;
}

void ConfigText::add_text(const std::string& text, const std::string& source_name,
                          const std::string& base_dir, int depth) {
  if (depth > kMaxIncludeDepth) {
    throw klippy::ConfigError("Recursive include of config file '" + source_name + "'");
  }
  klippy::IniDocument doc;
  try {
    doc = klippy::parse_ini(text, source_name, {.hash_ends_line = true});
  } catch (const std::exception& e) {
    throw klippy::ConfigError(std::string("Unable to parse config file: ") + e.what());
  }
  for (const auto& section : doc.sections) {
    if (section.name.rfind("include ", 0) == 0) {
      std::string pattern = section.name.substr(8);
      pattern.erase(0, pattern.find_first_not_of(" \t"));
      std::filesystem::path target(pattern);
      if (target.is_relative()) target = std::filesystem::path(base_dir) / target;
      auto paths = expand_glob(target.string());
      if (paths.empty() && !has_glob_chars(pattern)) {
        throw klippy::ConfigError("Include file '" + target.string() + "' does not exist");
      }
      for (const auto& path : paths) {
        add_text(klippy::read_text_file(path), path, parent_dir(path), depth + 1);
      }
      continue;
    }
    ConfigSectionData data;
    data.name = section.name;
    data.source = source_name + ":" + std::to_string(section.line);
    for (const auto& option : section.options) {
      data.options.push_back({lower(option.key), option.value});
    }
    merge(std::move(data));
  }
}

void ConfigText::merge(ConfigSectionData section) {
  for (auto& existing : sections_) {
    if (existing.name != section.name) continue;
    for (auto& option : section.options) {
      auto it = std::find_if(existing.options.begin(), existing.options.end(),
                             [&](const ConfigOption& o) { return o.key == option.key; });
      if (it != existing.options.end()) {
        it->value = option.value;
      } else {
        existing.options.push_back(option);
      }
    }
    return;
  }
  sections_.push_back(std::move(section));
}

SimConfigSection::SimConfigSection(SimConfig& owner, const ConfigSectionData& data)
    : owner_(owner), data_(data) {}

klippy::Printer& SimConfigSection::get_printer() {
  return owner_.printer();
}

klippy::Printer& SimConfig::printer() {
  if (!printer_) throw std::logic_error("a configuration read outside a printer has no printer");
  return *printer_;
}

const std::string* SimConfigSection::find(const std::string& option) {
  std::string key = lower(option);
  for (const auto& o : data_.options) {
    if (o.key == key) {
      accessed_.insert(key);
      return &o.value;
    }
  }
  return nullptr;
}

std::string SimConfigSection::required(const std::string& option) {
  if (const std::string* value = find(option)) return *value;
  throw klippy::ConfigError("Option '" + option + "' in section '" + data_.name +
                            "' must be specified");
}

std::string SimConfigSection::get(const std::string& option) {
  return required(option);
}

std::string SimConfigSection::get(const std::string& option, const std::string& default_value) {
  const std::string* value = find(option);
  return value ? *value : default_value;
}

std::optional<std::string> SimConfigSection::get_optional(const std::string& option) {
  const std::string* value = find(option);
  if (!value) return std::nullopt;
  return *value;
}

namespace {

std::string number_text(double v) {
  return klippy::format_float(v);
}

}  // namespace

long long SimConfigSection::getint(const std::string& option,
                                   std::optional<long long> default_value,
                                   klippy::IntLimits limits) {
  const std::string* text = find(option);
  if (!text) {
    if (!default_value) required(option);  // throws the "must be specified" error
    return *default_value;
  }
  long long value = 0;
  try {
    size_t used = 0;
    value = std::stoll(*text, &used, 10);
    if (used != text->size()) throw std::invalid_argument("trailing text");
  } catch (const std::exception&) {
    throw klippy::ConfigError("Unable to parse option '" + option + "' in section '" + data_.name +
                              "'");
  }
  if (limits.minval && value < *limits.minval) {
    throw klippy::ConfigError("Option '" + option + "' in section '" + data_.name +
                              "' must have minimum of " + std::to_string(*limits.minval));
  }
  if (limits.maxval && value > *limits.maxval) {
    throw klippy::ConfigError("Option '" + option + "' in section '" + data_.name +
                              "' must have maximum of " + std::to_string(*limits.maxval));
  }
  return value;
}

double SimConfigSection::getfloat(const std::string& option, std::optional<double> default_value,
                                  klippy::FloatLimits limits) {
  const std::string* text = find(option);
  if (!text) {
    if (!default_value) required(option);
    return *default_value;
  }
  double value = 0.0;
  try {
    size_t used = 0;
    value = std::stod(*text, &used);
    if (used != text->size() || !std::isfinite(value)) throw std::invalid_argument("bad");
  } catch (const std::exception&) {
    throw klippy::ConfigError("Unable to parse option '" + option + "' in section '" + data_.name +
                              "'");
  }
  auto fail = [&](const std::string& what, double bound) {
    throw klippy::ConfigError("Option '" + option + "' in section '" + data_.name + "' must " +
                              what + " " + number_text(bound));
  };
  if (limits.minval && value < *limits.minval) fail("have minimum of", *limits.minval);
  if (limits.maxval && value > *limits.maxval) fail("have maximum of", *limits.maxval);
  if (limits.above && value <= *limits.above) fail("be above", *limits.above);
  if (limits.below && value >= *limits.below) fail("be below", *limits.below);
  return value;
}

bool SimConfigSection::getboolean(const std::string& option, std::optional<bool> default_value) {
  const std::string* text = find(option);
  if (!text) {
    if (!default_value) required(option);
    return *default_value;
  }
  std::string v = lower(*text);
  if (v == "1" || v == "true" || v == "yes" || v == "on") return true;
  if (v == "0" || v == "false" || v == "no" || v == "off") return false;
  throw klippy::ConfigError("Unable to parse option '" + option + "' in section '" + data_.name +
                            "' (use True or False)");
}

std::string SimConfigSection::getchoice(const std::string& option,
                                        const std::vector<std::string>& choices,
                                        std::optional<std::string> default_value) {
  const std::string* text = find(option);
  std::string value;
  if (text) {
    value = *text;
  } else if (default_value) {
    value = *default_value;
  } else {
    value = required(option);
  }
  if (std::find(choices.begin(), choices.end(), value) == choices.end()) {
    std::string list;
    for (const auto& c : choices) list += (list.empty() ? "" : ", ") + c;
    throw klippy::ConfigError("Choice '" + value + "' for option '" + option + "' in section '" +
                              data_.name + "' is not a valid choice (use one of: " + list + ")");
  }
  return value;
}

std::vector<std::string> SimConfigSection::get_option_names() {
  std::vector<std::string> names;
  for (const auto& o : data_.options) names.push_back(o.key);
  return names;
}

bool SimConfigSection::has_section(const std::string& section) {
  return owner_.find(section) != nullptr;
}

klippy::ConfigSection& SimConfigSection::getsection(const std::string& section) {
  return owner_.get_or_create(section);
}

std::vector<klippy::ConfigSection*> SimConfigSection::get_prefix_sections(
    const std::string& prefix) {
  std::vector<klippy::ConfigSection*> result;
  for (SimConfigSection* s : owner_.sections()) {
    if (s->get_name().rfind(prefix, 0) == 0) result.push_back(s);
  }
  return result;
}

SimConfig::SimConfig(klippy::Printer& printer, ConfigText text) : SimConfig(std::move(text)) {
  printer_ = &printer;
}

SimConfig::SimConfig(ConfigText text)
    : printer_(nullptr),
      root_(std::make_unique<SimConfigSection>(*this, ConfigSectionData{"", {}, "root"})) {
  for (const auto& data : text.sections()) {
    sections_.push_back(std::make_unique<SimConfigSection>(*this, data));
  }
}

SimConfigSection& SimConfig::get_or_create(const std::string& name) {
  if (SimConfigSection* found = find(name)) return *found;
  for (auto& s : implicit_sections_) {
    if (s->get_name() == name) return *s;
  }
  implicit_sections_.push_back(
      std::make_unique<SimConfigSection>(*this, ConfigSectionData{name, {}, "default"}));
  return *implicit_sections_.back();
}

std::vector<SimConfigSection*> SimConfig::sections() {
  std::vector<SimConfigSection*> result;
  for (auto& s : sections_) result.push_back(s.get());
  return result;
}

SimConfigSection* SimConfig::find(const std::string& name) {
  for (auto& s : sections_) {
    if (s->get_name() == name) return s.get();
  }
  return nullptr;
}

void SimConfig::check_unused_options(const std::set<std::string>& implemented_sections) const {
  for (const auto& section : sections_) {
    // A section read by another component (the rails of [printer]) is as checked as one
    // that builds an object of its own.
    if (!implemented_sections.count(section->get_name()) && section->accessed().empty()) continue;
    for (const auto& option : section->data().options) {
      if (!section->accessed().count(option.key)) {
        throw klippy::ConfigError("Option '" + option.key + "' is not valid in section '" +
                                  section->get_name() + "'");
      }
    }
  }
}

}  // namespace sim
