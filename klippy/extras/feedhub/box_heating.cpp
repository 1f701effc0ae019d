#include "klippy/extras/feedhub/box_heating.h"

#include <charconv>
#include <cmath>

#include "klippy/extras/feedhub/box_status.h"
#include "klippy/extras/feedhub/variable_store.h"

namespace feedhub {
namespace {

constexpr int kHighestFilamentNumber = 50;
// How long the filament names read from the table serve the status before it is read again.
constexpr double kFilamentNamesMaxAgeS = 10.0;

}  // namespace

std::optional<long long> filament_number(const klippy::Value& value) {
  if (value.is_int() || value.is_bool()) return value.as_int();
  // Whole floats name the same section; others (1e300, inf) name none.
  if (value.is_float()) {
    const double number = value.as_float();
    if (std::abs(number) > kHighestFilamentNumber || number != std::trunc(number))
      return std::nullopt;
    return static_cast<long long>(number);
  }
  if (!value.is_string()) return std::nullopt;
  const std::string& text = value.as_string();
  long long number = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return number;
}

BoxHeating::BoxHeating(klippy::Printer& printer, klippy::GCodeDispatch& gcode,
                       const VariableStore& variables)
    : printer_(printer), gcode_(gcode), variables_(variables) {}

void BoxHeating::find_heaters() {
  for (int box = 1; box <= kMaxBoxCount; ++box)
    box_heaters_[static_cast<size_t>(box - 1)] = printer_.find_object(box_heater_object_name(box));
  heaters_found_ = true;
}

klippy::PrinterObject* BoxHeating::box_heater(int box) const {
  if (box < 1 || box > kMaxBoxCount) return nullptr;
  if (heaters_found_) return box_heaters_[static_cast<size_t>(box - 1)];
  return printer_.find_object(box_heater_object_name(box));
}

bool BoxHeating::heats_for_print(int box) const {
  if (box < 1 || box > kMaxBoxCount) return false;
  return print_heat_[static_cast<size_t>(box - 1)] != 0;
}

void BoxHeating::set_heats_for_print(int box) {
  if (box < 1 || box > kMaxBoxCount) return;
  print_heat_[static_cast<size_t>(box - 1)] = 1;
}

BoxDrying& BoxHeating::start_drying(int box) {
  dryings_.erase(box);
  return dryings_[box];
}

bool BoxHeating::drying_since(int box, double start_time) const {
  auto it = dryings_.find(box);
  return it != dryings_.end() && it->second.start_time == start_time;
}

std::optional<TempRange> BoxHeating::get_temp_by_num(int num) {
  klippy::Value filament = variables_.get_value_by_key("filament_slot" + std::to_string(num), 1);
  if (auto range = lookup_filament_temps(printer_, filament, TempPurpose::Nozzle)) return range;
  // Only the slot number is checked here: a slot outside the boxes explains a missing entry.
  gcode_.respond_raw(num > kHighestFilamentNumber || num <= 0 ? "filament num error."
                                                              : "officiall_filas_list file error.");
  return std::nullopt;
}

std::optional<TempRange> BoxHeating::temps_of_slot(const std::string& slot, TempPurpose purpose) {
  klippy::Value filament = variables_.get_value_by_key("filament_" + slot, 1);
  if (auto range = lookup_filament_temps(printer_, filament, purpose)) return range;
  std::optional<long long> number = filament_number(filament);
  const bool bad_number = !number || *number > kHighestFilamentNumber || *number < -1;
  gcode_.respond_raw(bad_number ? "filament num error." : "officiall_filas_list file error.");
  return std::nullopt;
}

std::optional<TempRange> BoxHeating::get_temp_by_slot(const std::string& slot) {
  return temps_of_slot(slot, TempPurpose::Nozzle);
}

std::optional<TempRange> BoxHeating::get_box_temp_by_slot(const std::string& slot) {
  return temps_of_slot(slot, TempPurpose::BoxDrying);
}

std::optional<TempRange> BoxHeating::slot_filament_temps(int slot, TempPurpose purpose) const {
  return lookup_filament_temps(
      printer_, variables_.get_value_by_key("filament_slot" + std::to_string(slot), 1), purpose);
}

const std::map<long long, std::string>& BoxHeating::filament_names(bool fresh) {
  const double now = printer_.get_reactor().monotonic();
  if (fresh || !filament_names_read_at_ || now - *filament_names_read_at_ > kFilamentNamesMaxAgeS) {
    filament_names_ = feedhub::filament_names(read_filament_table(printer_));
    filament_names_read_at_ = now;
  }
  return filament_names_;
}

}  // namespace feedhub
