// The box detection object "feedscan": while the printer is idle it polls the serial
// devices every few seconds, flashes box controllers whose firmware is older than the image
// in the home folder, and keeps the live box configuration and the saved box count in step
// with the controllers plugged in, restarting the host when the configuration changed.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "klippy/extras/feedhub/scoped_timer.h"
#include "klippy/extras/feedscan/box_files.h"
#include "klippy/extras/feedscan/devices.h"
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
  // The poll timer's callback; never throws.
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
  struct Image {
    std::string name;
    std::optional<long long> version;
  };
  // What one poll does after the idle checks; returns the next wake time.
  double poll(double eventtime);
  std::optional<Image> firmware_image();
  void flash(const Image& image, const std::string& link);
  void reconcile(const DetectedDevices& devices);
  void reconcile_boxes(const DetectedDevices& devices);
  void reconcile_no_box();
  // Copies the template for `boxes` boxes over the live file and checks what it got.
  bool restore_template(int boxes);
  void save_box_count_script(int boxes);
  void sync_saved_box_count(int boxes);
  void request_restart();

  klippy::Printer& printer_;
  klippy::Reactor& reactor_;
  klippy::GCodeDispatch& gcode_;
  klippy::PrintStats& print_stats_;
  std::shared_ptr<klippy::SystemServices> own_services_;
  ScanEnv env_;
  std::map<std::string, std::string> config_mcu_serial_;
  std::string last_error_;
  feedhub::ScopedTimer serial_monitor_timer_;
};

}  // namespace feedscan
