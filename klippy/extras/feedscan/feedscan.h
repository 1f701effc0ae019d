// The box detection object "feedscan": while no print is running or paused it polls the
// serial devices every few seconds, flashes box controllers whose firmware is older than
// the image in the home folder, and keeps the live box configuration and the saved box
// count in step with the controllers plugged in, restarting the host when the
// configuration changed.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "klippy/extras/feedhub/scoped_timer.h"
#include "klippy/extras/feedscan/box_files.h"
#include "klippy/extras/feedscan/devices.h"
#include "klippy/extras/feedscan/firmware_update.h"
#include "klippy/host/components.h"
#include "klippy/host/config.h"
#include "klippy/host/gcode.h"
#include "klippy/host/object.h"
#include "klippy/host/printer.h"
#include "klippy/host/system_services.h"

namespace feedscan {

class FeedScan final : public klippy::PrinterObject {
 public:
  static constexpr const char* kObjectName = "feedscan";
  static constexpr double kPollPeriodS = 5.0;
  static constexpr double kAfterFlashS = 30.0;

  // Uses the host's "system_services" object when it has one, else the production
  // services (libudev and the real file system).
  explicit FeedScan(klippy::ConfigSection& config);

  void handle_ready();
  // Refreshes config_mcu_serial() from the per-box files.
  void get_config_mcu_serials();
  // The poll timer's callback; never throws. Waits for a running command to end.
  double monitor_serial_by_id(double eventtime);
  // Writes the serial of box `box_index` into the live box configuration.
  void update_config_file(const DetectedDevices& current_devices, int box_index = 1);
  // The serial configured for box `box_index` in `config_path`, or nullopt.
  std::optional<std::string> get_check_serials_id(const std::string& config_path, int box_index);
  // Box include lines in the file; 0 when it cannot be read.
  int count_box_includes(const std::string& file_path);

  const std::map<std::string, std::string>& config_mcu_serial() const { return config_mcu_serial_; }
  const BoxFiles& files() const { return env_.files; }
  const klippy::TimerHandle& serial_monitor_timer() const { return serial_monitor_timer_.handle(); }

 private:
  // A print that runs or waits paused to resume would be ended by a restart or a flash.
  bool print_in_progress() const;
  // What one poll does once no print is in progress; returns the next wake time.
  double poll(double eventtime);
  // Says once, until no controller is in its bootloader any more, why detection waits.
  void report_bootloader(const std::string& link);
  void reconcile(const DetectedDevices& found);
  // Whether the live configuration was changed.
  bool reconcile_boxes(const DetectedDevices& boxes,
                       const std::vector<std::optional<std::string>>& configured);
  bool reconcile_no_box();
  // The serial of each box 1 to 4 in the live configuration.
  std::vector<std::optional<std::string>> configured_serials();
  // Copies the template for `boxes` boxes over the live file, unless the template lacks
  // an include line or section for a box (or has too many): then no file changes.
  bool restore_template(int boxes);
  // Another box now has the number: the slot data saved for the old one is dropped.
  void forget_boxes(const std::vector<int>& boxes, const DetectedDevices& numbered);
  void remove_saved_variables(klippy::SaveVariables& store, const std::vector<std::string>& keys);
  void save_box_count_script(int boxes);
  void sync_saved_box_count(int boxes);
  void request_restart();

  klippy::Printer& printer_;
  klippy::Reactor& reactor_;
  klippy::GCodeDispatch& gcode_;
  klippy::PrintStats& print_stats_;
  std::shared_ptr<klippy::SystemServices> own_services_;
  ScanEnv env_;
  FirmwareUpdates firmware_;
  std::map<std::string, std::string> config_mcu_serial_;
  std::string last_error_;
  std::string refused_template_;  // template and live file of the last refusal said
  bool bootloader_reported_ = false;
  feedhub::ScopedTimer serial_monitor_timer_;
};

}  // namespace feedscan
