#include "apps/feedbox/box_install.h"

#include <sys/stat.h>

#include <filesystem>

#include "apps/feedbox/box_config.h"
#include "apps/feedbox/box_templates.h"
#include "klippy/host/atomic_file.h"
#include "klippy/host/errors.h"

namespace feedbox {
namespace {

constexpr const char* kUpdateScript = "/home/zur/mcu_update_BOX_to_v1.sh";
constexpr const char* kFlashScript =
    "#!/bin/sh\n"
    "# Simulated flashing of a box controller: records its arguments (image, by-id link).\n"
    "echo \"$@\" >> \"$(dirname \"$0\")/mcu_update.log\"\n";

void write_file(const std::filesystem::path& target, const std::string& content) {
  std::error_code ec;
  std::filesystem::create_directories(target.parent_path(), ec);
  try {
    klippy::write_file_atomically(target.string(), content);
  } catch (const std::exception& e) {
    throw klippy::ConfigError(std::string("Unable to write the box files: ") + e.what());
  }
}

void write_missing(const std::filesystem::path& target, const std::string& content) {
  std::error_code ec;
  if (!std::filesystem::exists(target, ec)) write_file(target, content);
}

}  // namespace

void install_box_files(const sim::SimPrinter& printer, int boxes) {
  for (int n = 0; n <= kMaxBoxes; ++n)
    write_missing(printer.resolve_path("/home/zur/cfg_with_" + std::to_string(n)), box_template(n));
  const std::string config_dir = printer.resolve_path(kPrinterConfigDir);
  for (int box = 1; box <= kMaxBoxes; ++box) {
    write_missing(std::filesystem::path(config_dir) / ("box" + std::to_string(box) + ".cfg"),
                  per_box_file(box));
    write_missing(std::filesystem::path(config_dir) / per_box_world_name(box),
                  per_box_world_file(box));
  }
  const std::string script = printer.resolve_path(kUpdateScript);
  write_missing(script, kFlashScript);
  ::chmod(script.c_str(), 0755);
  write_file(printer.resolve_path(kLiveBoxCfg), box_template(boxes));
}

}  // namespace feedbox
