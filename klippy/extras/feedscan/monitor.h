// One-shot box detection: finds the box controllers among the serial devices and rewrites
// the live box configuration and the saved box count to match them.
#pragma once

#include <string>

#include "klippy/extras/feedscan/box_files.h"
#include "klippy/extras/feedscan/devices.h"

namespace feedscan {

// Copies the template for the detected number of boxes over the live file and writes each
// box's serial and the box count. Does nothing while a controller is in its bootloader or
// when more than four are found; file errors are logged, never thrown.
void monitor_serial_devices(const ScanEnv& env);

// Writes the serial of box `box_index` into the live box configuration and `box_index` as
// the saved box_count; `box_index` 0 writes box_count 0 only. Throws std::runtime_error
// (or klippy::IniError) when a file cannot be read, parsed or written.
void update_monitor_config_file(const ScanEnv& env, const DetectedDevices& current_devices,
                                int box_index = 1);

// True when the file is missing or, read as a box configuration, holds no section.
bool is_monitor_config_file_empty(const ScanEnv& env, const std::string& file_path);

}  // namespace feedscan
