// The picture of the box that front ends draw and BOX_STATUS prints: per slot what it holds
// and where its filament is, the tool map, the slot in the extruder, what the box is doing,
// its last error, and per box its heater and drying. Taken from one read of the saved
// variables, since the host asks for status several times a second.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "klippy/extras/feedhub/box_activity.h"
#include "klippy/extras/feedhub/error_report.h"
#include "klippy/extras/feedhub/slots.h"
#include "klippy/host/value.h"

namespace feedhub {

class FeedHub;

struct SlotPicture {
  int slot = 0;
  klippy::Value state;  // as saved; 0 when never written
  std::optional<SlotState> known_state;
  bool filament_present = false;  // the slot's runout sensor sees filament
  bool follows_extruder = false;  // the slot motor is coupled to the extruder
  bool drying = false;
  // As saved by a tag read or BOX_SET_SLOT; None when nothing is saved.
  klippy::Value filament, color, vendor;
  std::string filament_name;          // the filament table's name; empty when unknown
  std::string color_name, color_hex;  // "red", "#FF0000"; empty when unknown
  // As the user described the spool beyond the codes: "PLA+", "#00FF00"; empty when not.
  std::string material, hexcolor;
  std::vector<int> tools;  // the tools it serves
};

struct ToolPicture {
  int tool = 0;
  std::optional<int> slot;  // nullopt when the map names no slot
  bool saved = false;       // false: tool n uses slot n until mapped
};

struct BoxUnitPicture {
  int box = 1;  // 1-based
  bool has_heater = false;
  double temperature_c = 0.0, target_c = 0.0;
  bool print_heat = false;  // BOX_TEMP_SET heats it for the print
  std::optional<double> dry_remaining_s;
};

struct ErrorPicture {
  std::optional<ErrorReport> report;
  std::optional<int> slot;
  std::optional<double> time;  // reactor time of the report; nullopt when from before a restart
  klippy::Value retry_step;    // as saved; None when nothing waits
  bool retry_pending = false;
};

struct BoxPicture {
  int box_count = 0;
  std::vector<SlotPicture> slots;  // the configured slots, by number
  std::vector<ToolPicture> tools;  // tools 0 to 15
  std::vector<BoxUnitPicture> boxes;
  std::optional<int> extruder_slot;  // whose filament is in the extruder path
  bool outlet_filament = false;      // the box outlet sensor sees filament
  bool entry_filament = false;       // the extruder-entry sensor sees filament
  bool sensors_reported = true;      // false until the host's first sensor reports
  Activity action;
  // How far the move of the action's step has got, 0 to 1; -1 when the step is no move of a
  // known end.
  double action_step_progress = -1.0;
  ErrorPicture error;
};

std::string box_heater_object_name(int box);

BoxPicture take_picture(FeedHub& hub, double eventtime);
// One slot's part of the picture, for the slot feeder's own status.
SlotPicture take_slot_picture(FeedHub& hub, int slot);

// The status keys of the picture, appended to the controller's status.
void add_picture_status(klippy::Value::Dict& status, const BoxPicture& picture);
// The status keys of a slot, appended to the slot feeder's status.
void add_slot_status(klippy::Value::Dict& status, const SlotPicture& slot);

// BOX_STATUS: the picture as lines of text; `now` is the reactor time, for ages.
std::string picture_text(const BoxPicture& picture, double now);

}  // namespace feedhub
