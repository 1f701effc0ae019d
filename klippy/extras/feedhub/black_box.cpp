#include "klippy/extras/feedhub/black_box.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <stdexcept>

#include "klippy/extras/feedhub/box_commands.h"
#include "klippy/extras/feedhub/record_dump.h"
#include "klippy/host/atomic_file.h"
#include "klippy/host/file_writer.h"
#include "klippy/host/log.h"

namespace feedhub {
namespace {

namespace fs = std::filesystem;

// The number of a dump file name, or 0 for any other file.
long dump_number(const std::string& name) {
  const std::string prefix = kRecordDumpPrefix, suffix = kRecordDumpSuffix;
  if (name.size() <= prefix.size() + suffix.size() || name.rfind(prefix, 0) != 0 ||
      name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
    return 0;
  const std::string digits =
      name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
  if (digits.empty() || digits.size() > 9 ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return 0;
  return std::stol(digits);
}

// Dumps in the folders, oldest first.
std::vector<std::pair<long, fs::path>> existing_dumps(const std::vector<std::string>& folders) {
  std::vector<std::pair<long, fs::path>> dumps;
  for (const std::string& folder : folders) {
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
      if (const long number = dump_number(it->path().filename().string()); number > 0)
        dumps.emplace_back(number, it->path());
    }
  }
  std::sort(dumps.begin(), dumps.end());
  return dumps;
}

}  // namespace

BlackBox::BlackBox(klippy::ConfigSection& config, klippy::SaveVariables& save_variables)
    : printer_(config.get_printer()),
      reactor_(printer_.get_reactor()),
      mcu_(printer_.lookup_object<klippy::Mcu>("mcu")),
      save_variables_(save_variables) {
  for (const char* option : {"b_button_pin", "b_endstop_pin", "e_endstop_pin"})
    wiring_.emplace_back(option, config.get(option));
  wiring_.emplace_back("base_folder", config.get("base_folder", "/home/zur"));
  // A host killed while it wrote a record left the temporary file, up to the ring's size.
  for (const std::string& folder : dump_folders())
    klippy::remove_leftover_temporaries_in(
        folder, [](std::string_view name) { return dump_number(std::string(name)) > 0; });
}

double BlackBox::print_time_of(double eventtime) const noexcept {
  try {
    return mcu_.estimated_print_time(eventtime);
  } catch (...) {
    return NAN;
  }
}

double BlackBox::extruder_position() const noexcept {
  if (!toolhead_) return NAN;
  try {
    return toolhead_->get_position()[3];
  } catch (...) {
    return NAN;
  }
}

void BlackBox::sensor_report(RecordedSensor sensor, int slot, bool filament,
                             double eventtime) noexcept {
  const int index = sensor_index(sensor, slot);
  if (index < 0 || ring_.sensor_level(index) == filament) return;
  ring_.note_sensor_level(index, filament);
  RecordEntry& entry = ring_.next(RecordKind::Sensor, eventtime);
  entry.print_time = print_time_of(eventtime);
  entry.detail = static_cast<std::uint8_t>(index);
  entry.slot = static_cast<std::int8_t>(sensor == RecordedSensor::Runout ? slot : -1);
  entry.flag = filament ? 1 : 0;
}

void BlackBox::feed_move(int slot, double distance_mm, double speed_mm_s, double accel_mm_s2,
                         double start_time, double end_time) noexcept {
  if (slot < 0 || slot >= kMaxSlots) return;
  RecordEntry& entry = ring_.next(RecordKind::Move, reactor_.monotonic());
  entry.slot = static_cast<std::int8_t>(slot);
  entry.print_time = start_time;
  entry.values = {distance_mm, speed_mm_s, accel_mm_s2, end_time};
  last_move_[static_cast<std::size_t>(slot)] = entry.seq;
}

void BlackBox::move_stopped(int slot, double print_time) noexcept {
  if (slot < 0 || slot >= kMaxSlots) return;
  RecordEntry* move = ring_.find(last_move_[static_cast<std::size_t>(slot)]);
  if (!move || print_time >= move->values[3] || print_time < move->print_time) return;
  // Where the trapezoid stands at the trip: accelerating, cruising or braking.
  const double distance = std::abs(move->values[0]), speed = move->values[1],
               accel = move->values[2];
  const double total_t = move->values[3] - move->print_time;
  const double accel_t = accel > 0. ? std::min(speed / accel, total_t / 2.) : 0.;
  const double cruise_v = accel > 0. ? accel * accel_t : speed;
  const double t = print_time - move->print_time;
  double covered;
  if (t <= accel_t) {
    covered = 0.5 * accel * t * t;
  } else if (t <= total_t - accel_t) {
    covered = 0.5 * accel * accel_t * accel_t + cruise_v * (t - accel_t);
  } else {
    const double left = total_t - t;
    covered = distance - 0.5 * accel * left * left;
  }
  move->values[0] = std::copysign(std::min(covered, distance), move->values[0]);
  move->values[3] = print_time;
  move->flag = 1;
}

void BlackBox::error_reported(const ErrorReport& report, std::optional<int> slot,
                              std::string_view text) noexcept {
  RecordEntry& entry = ring_.next(RecordKind::Error, reactor_.monotonic());
  entry.values[0] = report.code;
  entry.slot = static_cast<std::int8_t>(slot.value_or(-1));
  RecordRing::set_text(entry, text);
}

void BlackBox::variable_written(std::string_view name, std::optional<std::string_view> value_repr,
                                std::optional<std::string_view> old_repr) noexcept {
  RecordEntry& entry = ring_.next(RecordKind::Variable, reactor_.monotonic());
  RecordRing::set_text(entry, name);
  RecordRing::append_text(entry, value_repr.value_or(""), kVariableSeparator);
  if (old_repr) RecordRing::append_text(entry, *old_repr, kVariableSeparator);
  entry.flag = value_repr ? 1 : 0;
}

void BlackBox::host_ready() noexcept {
  try {
    toolhead_ = printer_.lookup_object_or_null<klippy::Toolhead>("toolhead");
  } catch (...) {
    toolhead_ = nullptr;
  }
  RecordEntry& entry = ring_.next(RecordKind::Ready, reactor_.monotonic());
  entry.print_time = print_time_of(entry.time);
  entry.values[1] = extruder_position();
}

std::uint64_t BlackBox::command_started(std::string_view line) noexcept {
  RecordEntry& entry = ring_.next(RecordKind::CommandStart, reactor_.monotonic());
  RecordRing::set_text(entry, line);
  entry.detail = static_cast<std::uint8_t>(std::clamp(command_depth_, 0, 255));
  entry.flag = own_commands_ > 0 ? 1 : 0;
  entry.values[1] = extruder_position();
  ++command_depth_;
  return entry.seq;
}

void BlackBox::command_ended(std::uint64_t start_seq, bool ok, std::string_view error) noexcept {
  command_depth_ = std::max(0, command_depth_ - 1);
  RecordEntry& entry = ring_.next(RecordKind::CommandEnd, reactor_.monotonic());
  entry.values[0] = static_cast<double>(start_seq);
  entry.values[1] = extruder_position();
  entry.flag = ok ? 1 : 0;
  RecordRing::set_text(entry, error);
}

std::string BlackBox::dump_folder() const {
  return printer_.resolve_path(kRecordFolder);
}

std::vector<std::string> BlackBox::dump_folders() const {
  const fs::path legacy = fs::path(save_variables_.filename()).parent_path();
  std::vector<std::string> folders{dump_folder()};
  const std::string old = legacy.empty() ? std::string(".") : legacy.string();
  if (fs::path(old).lexically_normal() != fs::path(folders.front()).lexically_normal())
    folders.push_back(old);
  return folders;
}

std::string BlackBox::format_dump(const std::string& reason) {
  DumpContext context;
  context.reason = reason;
  context.time = reactor_.monotonic();
  context.print_time = print_time_of(context.time);
  context.capacity = ring_.capacity();
  context.wiring = wiring_;
  for (const auto& [name, object] : printer_.lookup_objects("feedlane "))
    context.slots.push_back(name.substr(std::string("feedlane ").size()));
  context.variables = save_variables_.all_variables();
  return format_record_dump(ring_.snapshot(), context);
}

std::string BlackBox::next_dump_path() {
  const std::string folder = dump_folder();
  if (next_dump_number_ == 0) {
    const auto dumps = existing_dumps(dump_folders());
    next_dump_number_ = dumps.empty() ? 1 : dumps.back().first + 1;
  }
  char name[64];
  std::snprintf(name, sizeof name, "%s%06ld%s", kRecordDumpPrefix, next_dump_number_++,
                kRecordDumpSuffix);
  return (fs::path(folder) / name).string();
}

void BlackBox::remove_old_dumps() const {
  auto dumps = existing_dumps(dump_folders());
  if (dumps.size() <= static_cast<std::size_t>(kMaxRecordDumps)) return;
  dumps.resize(dumps.size() - kMaxRecordDumps);
  for (const auto& [number, path] : dumps) {
    std::error_code error;
    fs::remove(path, error);
    if (error)
      printer_.log().warning("Could not remove the old box record " + path.string() + ": " +
                             error.message());
  }
}

std::string BlackBox::write_dump(const std::string& reason) {
  // The content is taken now; what happens while the file is written belongs to the next.
  std::string content = format_dump(reason);
  std::string path = next_dump_path();
  fs::create_directories(dump_folder());
  printer_.file_writer().write(path, std::move(content));
  remove_old_dumps();
  return path;
}

std::optional<std::string> BlackBox::dump_after_error(const ErrorReport& report,
                                                      std::optional<int> slot) {
  try {
    const std::string reason = retry_step_for(report.code, slot);
    const std::string path = write_dump(reason);
    printer_.log().info("Box record of " + reason + " written to " + path);
    return path;
  } catch (const std::exception& e) {
    printer_.log().error(std::string("Could not write the box record: ") + e.what());
    return std::nullopt;
  }
}

void BlackBox::register_commands(klippy::GCodeDispatch& gcode) {
  register_box_command(
      gcode, *this, "BOX_RECORD_DUMP",
      [this](klippy::GCodeCommand& gcmd) { cmd_BOX_RECORD_DUMP(gcmd); },
      "Write the box's recent history (sensors, feed moves, commands, errors, saved "
      "variables) into printer_data/logs, for feedbox replay [REASON=text]");
}

void BlackBox::command_registered(const std::string& name, const std::string& help) {
  // As in the host, the first registration of a command sets its help text.
  box_commands_.emplace(name, help);
}

bool BlackBox::is_box_command(std::string_view name) const {
  return box_commands_.find(name) != box_commands_.end();
}

void BlackBox::cmd_BOX_RECORD_DUMP(klippy::GCodeCommand& gcmd) {
  const std::string reason = gcmd.get("REASON", "BOX_RECORD_DUMP");
  std::string path;
  try {
    path = write_dump(reason);
  } catch (const std::runtime_error& e) {
    throw gcmd.error(std::string("The box record could not be written: ") + e.what() +
                     ". Free space or fix the permissions of " + dump_folder() +
                     ", then run BOX_RECORD_DUMP again.");
  }
  gcmd.respond_info("Box record written to " + path + " (" + std::to_string(ring_.size()) +
                    " events; the newest " + std::to_string(kMaxRecordDumps) +
                    " records are kept)");
}

}  // namespace feedhub
