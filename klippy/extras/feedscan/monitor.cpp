#include "klippy/extras/feedscan/monitor.h"

#include "klippy/extras/feedscan/config_file.h"

namespace feedscan {

void monitor_serial_devices(const ScanEnv& env) {
  DetectedDevices devices;
  try {
    for (const auto& device : env.system.list_tty_devices()) {
      // A controller being flashed comes back under another name: wait until it has.
      if (has_bootloader_link(device.devlinks)) return;
      if (auto link = first_link(device.devlinks, kBoxV1Marker)) devices.add(device.devnode, *link);
    }
    devices.reverse();
    const auto n = static_cast<int>(devices.size());
    env.log.info("Detected " + std::to_string(n) + " devices: " + devices.describe());
    if (n > kMaxBoxes) {
      env.log.warning("Unexpected device count or mismatch detected.");
      return;
    }
    env.system.copy_file(env.files.src_box_cfg_with[static_cast<std::size_t>(n)],
                         env.files.dst_box_cfg);
    if (n == 0) update_monitor_config_file(env, devices, 0);
    for (int i = 1; i <= n; ++i) update_monitor_config_file(env, devices, i);
  } catch (const std::exception& e) {
    env.log.error(std::string("Error monitoring serial devices: ") + e.what());
  }
}

void update_monitor_config_file(const ScanEnv& env, const DetectedDevices& current_devices,
                                int box_index) {
  if (box_index != 0) {
    const std::string& path = current_devices.link_of_box(box_index);
    rewrite_option(env.files.dst_box_cfg, ConfigFileKind::box_config, box_mcu_section(box_index),
                   "serial", path);
    env.log.info("Updated new device path: " + path);
  }
  rewrite_option(env.files.saved_variables, ConfigFileKind::saved_variables, "Variables",
                 "box_count", std::to_string(box_index));
}

bool is_monitor_config_file_empty(const ScanEnv& env, const std::string& file_path) {
  if (!env.system.file_exists(file_path)) return true;
  return read_config_file(file_path, ConfigFileKind::box_config).sections.empty();
}

}  // namespace feedscan
