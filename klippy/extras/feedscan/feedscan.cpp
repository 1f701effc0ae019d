#include "klippy/extras/feedscan/feedscan.h"

#include <regex>

#include "klippy/extras/feedhub/feedhub.h"
#include "klippy/extras/feedhub/gcode_lock.h"
#include "klippy/extras/feedhub/saved_values.h"
#include "klippy/extras/feedscan/box_numbering.h"
#include "klippy/extras/feedscan/box_slot_data.h"
#include "klippy/extras/feedscan/config_file.h"
#include "klippy/extras/feedscan/udev_system_services.h"
#include "klippy/host/atomic_file.h"
#include "klippy/host/file_writer.h"
#include "klippy/host/ini.h"
#include "klippy/host/toolhead.h"
#include "klippy/host/variables_file.h"

namespace feedscan {
namespace {

int count_includes_in(const std::string& text) {
  static const std::regex include_line(R"(\[include box(\d+)\.cfg\])");
  return static_cast<int>(
      std::distance(std::sregex_iterator(text.begin(), text.end(), include_line), {}));
}

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
      firmware_(env_, gcode_),
      serial_monitor_timer_(reactor_,
                            [this](double eventtime) { return monitor_serial_by_id(eventtime); }) {
  // With no box configured there is no [feedhub]: the host takes the base folder of the
  // box files (box.cfg, the templates) from here, and box detection must find them then.
  if (config.has_section("feedscan")) config.getsection("feedscan").get("base_folder", "/home/zur");
  // Box detection replaces the live box configuration; a host killed during that write
  // left the temporary file.
  klippy::remove_leftover_temporaries(env_.files.dst_box_cfg);
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

bool FeedScan::print_in_progress() const {
  const std::string state = print_stats_.state();
  return state == "printing" || state == "paused";
}

double FeedScan::monitor_serial_by_id(double eventtime) {
  try {
    if (print_in_progress()) return eventtime + kPollPeriodS;
    // A restart would cut a running command (a load, a homing) short: wait for it to end.
    const feedhub::GCodeLock lock(gcode_.get_mutex());
    // The wait may have been long, and a print may have started meanwhile.
    const double now = reactor_.monotonic();
    if (print_in_progress()) return now + kPollPeriodS;
    return poll(now);
  } catch (const std::exception& e) {
    const std::string message = std::string("Box detection failed: ") + e.what();
    // A lasting fault (a broken template, say) would otherwise fill the log every poll.
    if (message != last_error_) env_.log.error(message);
    last_error_ = message;
  }
  // Nothing else is caught: what is not a std::exception is the host unwinding this timer's
  // stack at shutdown (the wait for the G-code lock above), which must go on.
  return reactor_.monotonic() + kPollPeriodS;
}

double FeedScan::poll(double eventtime) {
  const auto devices = env_.system.list_tty_devices();
  const auto image = firmware_.find_image();
  DetectedDevices found;
  for (const auto& device : devices) {
    const auto& links = device.devlinks;
    // A controller in its bootloader is being flashed and will come back under its box
    // link; counting it as gone would drop a box from the configuration mid-update.
    const auto boot = first_link(links, kBootloaderMarker);
    const auto boot2 = first_link(links, kBootloaderMarker2);
    if (boot || boot2) {
      report_bootloader(boot ? *boot : *boot2);
      return eventtime + kPollPeriodS;
    }
    const auto v1_link = first_link(links, kBoxV1Marker);
    const auto v2_link = first_link(links, kBoxV2Marker);
    if (v2_link && image && firmware_.should_flash_v2(*image, *v2_link)) {
      return eventtime + (firmware_.flash(*image, *v2_link) ? kAfterFlashS : kPollPeriodS);
    }
    if (!v1_link) continue;
    if (image && firmware_.should_flash_v1(*image, *v1_link)) {
      if (firmware_.flash(*image, *v1_link)) return eventtime + kAfterFlashS;
      // The box still runs its old firmware and keeps its place.
    }
    found.add(device.devnode, *v1_link);
  }
  bootloader_reported_ = false;
  reconcile(found);
  last_error_.clear();
  return eventtime + kPollPeriodS;
}

void FeedScan::report_bootloader(const std::string& link) {
  if (bootloader_reported_) return;
  bootloader_reported_ = true;
  gcode_.respond_info(
      "Box detection is waiting: a box controller is in its bootloader (" + link +
      "). Boxes are detected again once it runs its firmware. If it stays in the bootloader, "
      "finish its firmware update (" +
      std::string(kUpdateScript) + ") or unplug it and plug it in again.");
}

void FeedScan::reconcile(const DetectedDevices& found) {
  const auto n = static_cast<int>(found.size());
  // More boxes than the box count can hold: the saved count stays a valid one.
  if (n > kMaxBoxes) return;
  const auto configured = configured_serials();
  const auto numbered = number_boxes(found, configured);
  const bool changed = n == 0 ? reconcile_no_box() : reconcile_boxes(numbered, configured);
  // A refused template leaves the configuration as it was, and with it the saved count:
  // a count above the configured boxes sends loads to slot feeders that do not exist.
  if (!refused_template_.empty()) return;
  sync_saved_box_count(n);
  if (!changed) return;
  forget_boxes(boxes_changed(configured, numbered), numbered);
  request_restart();
}

std::vector<std::optional<std::string>> FeedScan::configured_serials() {
  std::vector<std::optional<std::string>> serials;
  for (int i = 1; i <= kMaxBoxes; ++i)
    serials.push_back(get_check_serials_id(env_.files.dst_box_cfg, i));
  return serials;
}

bool FeedScan::reconcile_boxes(const DetectedDevices& boxes,
                               const std::vector<std::optional<std::string>>& configured) {
  const auto n = static_cast<int>(boxes.size());
  const bool includes_ok = count_box_includes(env_.files.dst_box_cfg) == n;
  bool sections_ok = true, serials_ok = true;
  for (int i = 1; i <= n; ++i) {
    const auto& serial = configured[static_cast<std::size_t>(i - 1)];
    sections_ok = sections_ok && serial.has_value();
    serials_ok = serials_ok && serial == boxes.link_of_box(i);
  }
  if (includes_ok && serials_ok) {
    refused_template_.clear();
    return false;
  }
  // A live file without a box's section cannot take its serial: start again from the
  // template, as for a wrong number of boxes.
  if (!includes_ok || !sections_ok) {
    if (!restore_template(n)) return false;
    for (int i = 1; i <= n; ++i) update_config_file(boxes, i);
    save_box_count_script(n);
  } else {
    for (int i = 1; i <= n; ++i) update_config_file(boxes, i);
  }
  return true;
}

bool FeedScan::reconcile_no_box() {
  const std::string& empty_template = env_.files.src_box_cfg_with[0];
  if (!env_.system.file_exists(empty_template))
    throw std::runtime_error("The template '" + empty_template +
                             "' for no box is missing; reinstall the box templates");
  if (env_.system.file_exists(env_.files.dst_box_cfg) &&
      env_.system.files_equal(empty_template, env_.files.dst_box_cfg)) {
    refused_template_.clear();
    return false;
  }
  if (!restore_template(0)) return false;
  save_box_count_script(0);
  return true;
}

bool FeedScan::restore_template(int boxes) {
  const std::string& source = env_.files.src_box_cfg_with[static_cast<std::size_t>(boxes)];
  const std::string text = klippy::read_text_file(source);
  std::string missing;
  if (count_includes_in(text) != boxes) {
    missing = "does not include " + std::to_string(boxes) + " box files";
  } else {
    const auto document =
        klippy::parse_ini(text, source, config_syntax(ConfigFileKind::box_config));
    for (int i = 1; i <= boxes && missing.empty(); ++i) {
      if (!document.find(box_mcu_section(i)))
        missing = "has no [" + box_mcu_section(i) + "] section";
    }
  }
  if (missing.empty()) {
    env_.system.copy_file(source, env_.files.dst_box_cfg);
    refused_template_.clear();
    return true;
  }
  // Said once until either file changes: it stays wrong on every poll until someone acts.
  std::string live;
  try {
    live = klippy::read_text_file(env_.files.dst_box_cfg);
  } catch (const std::exception&) {
  }
  const std::string key = source + '\n' + text + '\n' + live;
  if (key == refused_template_) return false;
  refused_template_ = key;
  const std::string message =
      "The template '" + source + "' " + missing +
      "; correct it (one [include boxN.cfg] line and one [mcu mcu_boxN] section per box). The "
      "box configuration is left as it is and the host is not restarted.";
  gcode_.respond_info(message, false);
  env_.log.error(message);
  return false;
}

void FeedScan::forget_boxes(const std::vector<int>& boxes, const DetectedDevices& numbered) {
  // Looked up now: a printer without saved variables has nothing to forget.
  auto* store = printer_.lookup_object_or_null<klippy::SaveVariables>("save_variables");
  for (int box : boxes) {
    const bool plugged = static_cast<std::size_t>(box) <= numbered.size();
    const std::string first = std::to_string((box - 1) * feedhub::kSlotsPerBox);
    const std::string last = std::to_string(box * feedhub::kSlotsPerBox - 1);
    gcode_.respond_info("Box " + std::to_string(box) + " now is " +
                        (plugged ? numbered.link_of_box(box) : std::string("unplugged")) +
                        ", not the box configured before: the saved states, tag data and tool "
                        "mappings of slots " +
                        first + " to " + last +
                        " are forgotten, so that the box reads its spools again.");
    if (!store) continue;
    try {
      const auto keys = saved_keys_of_box(store->all_variables(), box);
      if (!keys.empty()) remove_saved_variables(*store, keys);
    } catch (const std::exception& e) {
      // The configuration has changed already: the restart must still follow.
      env_.log.error("Forgetting the slot data of box " + std::to_string(box) +
                     " failed: " + e.what());
    }
  }
}

void FeedScan::remove_saved_variables(klippy::SaveVariables& store,
                                      const std::vector<std::string>& keys) {
  if (auto* hub = printer_.lookup_object_or_null<feedhub::FeedHub>(feedhub::FeedHub::kObjectName)) {
    hub->variables().remove_variables(keys);
    return;
  }
  // Without a box there is no controller; the host's own store is written the same way,
  // off the event loop.
  klippy::VariableMap updated = store.all_variables();
  for (const auto& key : keys) updated.erase(key);
  printer_.file_writer().write(store.filename(), klippy::format_variables(updated));
  store.load_variables();
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
  try {
    return count_includes_in(klippy::read_text_file(file_path));
  } catch (const std::exception&) {
    return 0;
  }
}

void FeedScan::save_box_count_script(int boxes) {
  // The poll holds the G-code lock already.
  gcode_.run_script_from_command("SAVE_VARIABLE VARIABLE=box_count VALUE=" + std::to_string(boxes));
}

void FeedScan::sync_saved_box_count(int boxes) {
  auto* hub = printer_.lookup_object_or_null<feedhub::FeedHub>(feedhub::FeedHub::kObjectName);
  if (!hub) return;
  try {
    if (!(hub->variables().get_value_by_key("box_count") == klippy::Value(boxes)))
      hub->variables().save_variable("box_count", boxes);
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
