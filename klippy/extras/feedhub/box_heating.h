// What the box heaters are doing and the temperatures they work from: which boxes warm
// for a print, which dry (and until when), and the filament table's temperature ranges
// for a slot's filament. The heating commands change it through this interface only.
#pragma once

#include <array>
#include <map>
#include <optional>
#include <string>

#include "klippy/extras/feedhub/filament_table.h"
#include "klippy/extras/feedhub/scoped_timer.h"
#include "klippy/extras/feedhub/slots.h"
#include "klippy/host/gcode.h"
#include "klippy/host/object.h"
#include "klippy/host/printer.h"

namespace feedhub {

class VariableStore;

// A box being dried: its turn-over timer, when the drying started (reactor time, s) and how
// long it lasts.
struct BoxDrying {
  ScopedTimer timer;
  double start_time = 0.0;
  double duration_s = 0.0;
};

class BoxHeating {
 public:
  BoxHeating(klippy::Printer& printer, klippy::GCodeDispatch& gcode,
             const VariableStore& variables);
  BoxHeating(const BoxHeating&) = delete;
  BoxHeating& operator=(const BoxHeating&) = delete;

  // Looks the box heaters up once every section is loaded; earlier calls look them up.
  void find_heaters();
  // The box's heater object ("heater_generic heater_box<box>", box 1-based), or null.
  klippy::PrinterObject* box_heater(int box) const;

  // Whether BOX_TEMP_SET switched the heater of `box` (1-based) on for a print.
  bool heats_for_print(int box) const;
  void set_heats_for_print(int box);

  // The dryings under way, by box (1-based).
  const std::map<int, BoxDrying>& dryings() const { return dryings_; }
  // A new drying of `box`, replacing any earlier one (whose timer stops).
  BoxDrying& start_drying(int box);
  // Ends the drying of `box`; false when none ran.
  bool end_drying(int box) { return dryings_.erase(box) != 0; }
  // Whether the drying of `box` that started at `start_time` still runs.
  bool drying_since(int box, double start_time) const;

  // The filament table's temperature range for a slot's filament, or nullopt after telling
  // the user why there is none.
  std::optional<TempRange> get_temp_by_num(int num);
  std::optional<TempRange> get_temp_by_slot(const std::string& slot);
  std::optional<TempRange> get_box_temp_by_slot(const std::string& slot);
  // Temperature range of the filament type saved for `slot` ("filament_slot<N>", type 1
  // when never read); nullopt when the filament table has no section for it.
  std::optional<TempRange> slot_filament_temps(int slot, TempPurpose purpose) const;
  // Code to name of the filament table, read again when older than a few seconds or when
  // `fresh` is asked for.
  const std::map<long long, std::string>& filament_names(bool fresh = false);

 private:
  std::optional<TempRange> temps_of_slot(const std::string& slot, TempPurpose purpose);

  klippy::Printer& printer_;
  klippy::GCodeDispatch& gcode_;
  const VariableStore& variables_;
  bool heaters_found_ = false;
  std::array<klippy::PrinterObject*, kMaxBoxCount> box_heaters_{};
  std::array<int, kMaxBoxCount> print_heat_{};
  std::map<int, BoxDrying> dryings_;
  std::map<long long, std::string> filament_names_;
  std::optional<double> filament_names_read_at_;
};

// A saved filament number as an integer; nullopt for anything that is not a whole number.
std::optional<long long> filament_number(const klippy::Value& value);

}  // namespace feedhub
