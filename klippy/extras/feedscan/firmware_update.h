// Bringing box controllers up to the firmware image in the home folder: which image, which
// controllers it may go on, and running the flashing script. A failed flash is said once
// and not tried again on the same box with the same image: every try blocks the host.
#pragma once

#include <optional>
#include <set>
#include <string>

#include "klippy/extras/feedscan/box_files.h"
#include "klippy/extras/feedscan/devices.h"
#include "klippy/host/gcode.h"

namespace feedscan {

struct FirmwareImage {
  std::string name;  // file name in the home folder
  std::optional<FirmwareVersion> version;
  std::string fingerprint;  // changes when the file's bytes do
};

class FirmwareUpdates {
 public:
  FirmwareUpdates(ScanEnv& env, klippy::GCodeDispatch& gcode) : env_(env), gcode_(gcode) {}

  // The first image the folder lists, or nullopt.
  std::optional<FirmwareImage> find_image();
  // A second-generation controller takes any image we can read a version from.
  bool should_flash_v2(const FirmwareImage& image, const std::string& link) const;
  // A first-generation controller only a newer one; a controller whose version cannot be
  // read is left as it is.
  bool should_flash_v1(const FirmwareImage& image, const std::string& link) const;
  // Runs the flashing script; false (said on the console and in the log) when it failed.
  bool flash(const FirmwareImage& image, const std::string& link);

 private:
  bool failed_before(const FirmwareImage& image, const std::string& link) const;

  ScanEnv& env_;
  klippy::GCodeDispatch& gcode_;
  std::set<std::string> failed_;  // image name, fingerprint and link of failed flashes
};

}  // namespace feedscan
