#include "klippy/extras/feedscan/feedscan.h"

#include <regex>

#include "klippy/extras/feedhub/feedhub.h"
#include "klippy/extras/feedscan/config_file.h"
#include "klippy/extras/feedscan/udev_system_services.h"
#include "klippy/host/toolhead.h"

namespace feedscan {
namespace {

klippy::SystemServices& services_for(klippy::Printer& printer,
                                     std::shared_ptr<klippy::SystemServices>& own) {
  if (auto* host = printer.lookup_object_or_null<klippy::SystemServices>(
          klippy::SystemServices::kObjectName))
    return *host;
  own = make_udev_system_services();
  return *own;
}

}  // namespace

FeedScan::FeedScan(klippy::ConfigSection& config)
    : printer_(config.get_printer()),
      reactor_(printer_.get_reactor()),
      gcode_(printer_.lookup_object<klippy::GCodeDispatch>("gcode")),
      // Loaded, not looked up: the section may come before anything that loads it.
      print_stats_(printer_.load_object<klippy::PrintStats>(config, "print_stats")),
      env_{services_for(printer_, own_services_), printer_.log(), BoxFiles::resolve(printer_)},
      serial_monitor_timer_(reactor_,
                            [this](double eventtime) { return monitor_serial_by_id(eventtime); }) {
  printer_.register_event_handler("klippy:ready", [this] { handle_ready(); });
}

void FeedScan::handle_ready() {
  get_config_mcu_serials();
  // Batch runs that only write output files have no boxes to look after.
  if (printer_.get_start_args().count("debugoutput")) return;
  reactor_.update_timer(serial_monitor_timer_.handle(), klippy::Reactor::NOW);
}

void FeedScan::get_config_mcu_serials() {
  for (const auto& path : env_.files.per_box) {
    if (!env_.system.file_exists(path)) continue;
    const std::string base = path.substr(path.find_last_of('/') + 1);
    const std::string name = base.substr(0, base.find('.'));
    try {
      const auto document = read_config_file(path, ConfigFileKind::box_config);
      if (const auto* section = document.find("mcu " + name)) {
        if (const auto* serial = section->find("serial")) config_mcu_serial_[name] = serial->value;
      }
    } catch (const std::exception& e) {
      env_.log.warning("Box file '" + path +
                       "' is not readable, its serial is ignored: " + e.what());
    }
  }
}

double FeedScan::monitor_serial_by_id(double eventtime) {
  try {
    auto* idle = printer_.find_object("idle_timeout");
    const auto idle_status = idle ? idle->get_status(eventtime) : std::nullopt;
    const klippy::Value* state = idle_status ? idle_status->find("state") : nullptr;
    if (!state || !state->is_string() || state->as_string() != "Ready")
      return eventtime + kPollPeriodS;
    if (print_stats_.state() == "printing") return eventtime + kPollPeriodS;
    return poll(eventtime);
  } catch (const std::exception& e) {
    const std::string message = std::string("Box detection failed: ") + e.what();
    // A lasting fault (a broken template, say) would otherwise fill the log every poll.
    if (message != last_error_) env_.log.error(message);
    last_error_ = message;
  }
  return eventtime + kPollPeriodS;
}

double FeedScan::poll(double eventtime) {
  const auto devices = env_.system.list_tty_devices();
  const auto image = firmware_image();
  DetectedDevices detected;
  for (auto it = devices.rbegin(); it != devices.rend(); ++it) {
    const auto& links = it->devlinks;
    // A controller in its bootloader is being flashed and will come back under its box
    // link; counting it as gone would drop a box from the configuration mid-update.
    if (has_bootloader_link(links)) return eventtime + kPollPeriodS;
    const auto v1_links = all_links(links, kBoxV1Marker);
    const auto v2_links = all_links(links, kBoxV2Marker);
    if (!v2_links.empty() && image) {
      flash(*image, v2_links.front());
      return eventtime + kAfterFlashS;
    }
    if (v1_links.empty()) continue;
    if (image && image->version) {
      const auto version = controller_version(v1_links.front());
      if (!version) {
        env_.log.warning("Box link '" + v1_links.front() +
                         "' carries no firmware version; skipped");
        continue;
      }
      if (*image->version > *version) {
        flash(*image, v1_links.front());
        return eventtime + kAfterFlashS;
      }
    }
    detected.add(it->devnode, v1_links.front());
  }
  reconcile(detected);
  last_error_.clear();
  return eventtime + kPollPeriodS;
}

std::optional<FeedScan::Image> FeedScan::firmware_image() {
  for (const auto& name : env_.system.list_directory(env_.files.home_folder)) {
    if (name.rfind(kImagePrefix, 0) == 0) return Image{name, image_version(name)};
  }
  return std::nullopt;
}

void FeedScan::flash(const Image& image, const std::string& link) {
  env_.log.info("Start updated box mcu");
  env_.system.run_shell(shell_word(env_.files.update_script) + " " +
                        shell_word(env_.files.home_folder + image.name) + " " + shell_word(link));
}

void FeedScan::reconcile(const DetectedDevices& devices) {
  const auto n = static_cast<int>(devices.size());
  if (n > kMaxBoxes) return;
  if (n == 0) {
    reconcile_no_box();
  } else {
    reconcile_boxes(devices);
  }
  sync_saved_box_count(n);
}

void FeedScan::reconcile_boxes(const DetectedDevices& devices) {
  const auto n = static_cast<int>(devices.size());
  const bool includes_ok = count_box_includes(env_.files.dst_box_cfg) == n;
  bool sections_ok = true, serials_ok = true;
  for (int i = 1; i <= n; ++i) {
    const auto configured = get_check_serials_id(env_.files.dst_box_cfg, i);
    sections_ok = sections_ok && configured.has_value();
    serials_ok = serials_ok && configured == devices.link_of_box(i);
  }
  if (includes_ok && serials_ok) return;
  // A live file without a box's section cannot take its serial: start again from the
  // template, as for a wrong number of boxes.
  if (!includes_ok || !sections_ok) {
    if (!restore_template(n)) return;
    for (int i = 1; i <= n; ++i) update_config_file(devices, i);
    save_box_count_script(n);
  } else {
    for (int i = 1; i <= n; ++i) update_config_file(devices, i);
  }
  request_restart();
}

void FeedScan::reconcile_no_box() {
  const std::string& empty_template = env_.files.src_box_cfg_with[0];
  if (!env_.system.file_exists(empty_template))
    throw std::runtime_error("The template '" + empty_template +
                             "' for no box is missing; reinstall the box templates");
  if (env_.system.file_exists(env_.files.dst_box_cfg) &&
      env_.system.files_equal(empty_template, env_.files.dst_box_cfg))
    return;
  save_box_count_script(0);
  if (!restore_template(0)) return;
  request_restart();
}

bool FeedScan::restore_template(int boxes) {
  const std::string& source = env_.files.src_box_cfg_with[static_cast<std::size_t>(boxes)];
  env_.system.copy_file(source, env_.files.dst_box_cfg);
  // A template with the wrong number of boxes would make every poll rewrite and restart.
  if (count_box_includes(env_.files.dst_box_cfg) == boxes) return true;
  env_.log.error("The template '" + source + "' does not include " + std::to_string(boxes) +
                 " box files; correct it (one [include boxN.cfg] line per box). The host is "
                 "not restarted.");
  return false;
}

void FeedScan::update_config_file(const DetectedDevices& current_devices, int box_index) {
  const std::string& path = current_devices.link_of_box(box_index);
  rewrite_option(env_.files.dst_box_cfg, ConfigFileKind::box_config, box_mcu_section(box_index),
                 "serial", path);
  env_.log.info("Updated new device path: " + path);
  get_config_mcu_serials();
}

std::optional<std::string> FeedScan::get_check_serials_id(const std::string& config_path,
                                                          int box_index) {
  if (!env_.system.file_exists(config_path)) return std::nullopt;
  try {
    const auto document = read_config_file(env_.files.dst_box_cfg, ConfigFileKind::box_config);
    if (const auto* section = document.find(box_mcu_section(box_index))) {
      if (const auto* serial = section->find("serial")) return serial->value;
    }
  } catch (const std::exception& e) {
    env_.log.warning("Live box configuration unreadable: " + std::string(e.what()));
  }
  return std::nullopt;
}

int FeedScan::count_box_includes(const std::string& file_path) {
  static const std::regex include_line(R"(\[include box(\d+)\.cfg\])");
  std::string text;
  try {
    text = klippy::read_text_file(file_path);
  } catch (const std::exception&) {
    return 0;
  }
  return static_cast<int>(
      std::distance(std::sregex_iterator(text.begin(), text.end(), include_line), {}));
}

void FeedScan::save_box_count_script(int boxes) {
  gcode_.run_script("SAVE_VARIABLE VARIABLE=box_count VALUE=" + std::to_string(boxes));
}

void FeedScan::sync_saved_box_count(int boxes) {
  auto* hub = printer_.lookup_object_or_null<feedhub::FeedHub>(feedhub::FeedHub::kObjectName);
  if (!hub) return;
  try {
    if (!(hub->get_value_by_key("box_count") == klippy::Value(boxes)))
      hub->save_variable("box_count", boxes);
  } catch (const std::exception& e) {
    env_.log.warning(std::string("Saving box_count failed: ") + e.what());
  }
}

void FeedScan::request_restart() {
  try {
    auto& toolhead = printer_.lookup_object<klippy::Toolhead>("toolhead");
    toolhead.get_last_move_time();
    printer_.send_event("gcode:request_restart");
    toolhead.dwell(0.5);
    toolhead.wait_moves();
  } catch (const std::exception& e) {
    env_.log.warning(std::string("Restart without waiting for the toolhead: ") + e.what());
  }
  printer_.request_exit("error_exit");
}

}  // namespace feedscan
