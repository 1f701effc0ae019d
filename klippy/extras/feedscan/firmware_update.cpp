#include "klippy/extras/feedscan/firmware_update.h"

#include <functional>

#include "klippy/host/ini.h"

namespace feedscan {
namespace {

// Log lines stay readable even when a script prints a whole build log.
constexpr std::size_t kMaxLoggedOutput = 4000;

std::string failure_key(const FirmwareImage& image, const std::string& link) {
  return image.name + '\n' + image.fingerprint + '\n' + link;
}

}  // namespace

std::optional<FirmwareImage> FirmwareUpdates::find_image() {
  for (const auto& name : env_.system.list_directory(env_.files.home_folder)) {
    if (name.rfind(kImagePrefix, 0) != 0) continue;
    std::string fingerprint;
    try {
      const std::string bytes = klippy::read_text_file(env_.files.home_folder + name);
      fingerprint =
          std::to_string(bytes.size()) + ':' + std::to_string(std::hash<std::string>{}(bytes));
    } catch (const std::exception&) {
      // Unreadable now; the script reports it if it cannot read it either.
    }
    return FirmwareImage{name, image_version(name), fingerprint};
  }
  return std::nullopt;
}

bool FirmwareUpdates::should_flash_v2(const FirmwareImage& image, const std::string& link) const {
  return image.version && !failed_before(image, link);
}

bool FirmwareUpdates::should_flash_v1(const FirmwareImage& image, const std::string& link) const {
  const auto version = controller_version(link);
  return image.version && version && image.version->newer_than(*version) &&
         !failed_before(image, link);
}

bool FirmwareUpdates::failed_before(const FirmwareImage& image, const std::string& link) const {
  return failed_.count(failure_key(image, link)) != 0;
}

bool FirmwareUpdates::flash(const FirmwareImage& image, const std::string& link) {
  env_.log.info("Start updated box mcu");
  const std::string command = shell_word(env_.files.update_script) + " " +
                              shell_word(env_.files.home_folder + image.name) + " " +
                              shell_word(link);
  const auto result = env_.system.run_shell(command);
  if (result.status == 0) return true;
  failed_.insert(failure_key(image, link));
  std::string output = result.output.substr(0, kMaxLoggedOutput);
  if (result.output.size() > kMaxLoggedOutput) output += "\n[output cut]";
  env_.log.error("Box firmware update failed: '" + command + "' ended with exit status " +
                 std::to_string(result.status) + ". Output:\n" + output);
  gcode_.respond_info("Box firmware update of " + link + " with " + image.name +
                          " failed (exit status " + std::to_string(result.status) +
                          "; its output is in the log). It is not tried again until the image "
                          "or the box changes.",
                      false);
  return false;
}

}  // namespace feedscan
