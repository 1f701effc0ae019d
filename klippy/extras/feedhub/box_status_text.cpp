// BOX_STATUS: the box's picture as a few lines for the console, one table per box.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "klippy/extras/feedhub/box_status.h"

namespace feedhub {
namespace {

std::string pad(const std::string& text, size_t width) {
  return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

std::string degrees(double value_c) {
  char text[16];
  std::snprintf(text, sizeof text, "%.0f", value_c);
  return text;
}

std::string duration(double seconds) {
  if (seconds < 59.5) return std::to_string(std::lround(std::max(0.0, seconds))) + " s";
  const long long minutes = static_cast<long long>(std::ceil(seconds / 60.0));
  if (minutes < 60) return std::to_string(minutes) + " min";
  return std::to_string(minutes / 60) + " h " + std::to_string(minutes % 60) + " min";
}

std::string box_line(const BoxUnitPicture& box) {
  std::string line = "Box " + std::to_string(box.box) + ": ";
  if (!box.has_heater) {
    line += "no heater configured";
  } else {
    line += "heater " + degrees(box.temperature_c) + " C, ";
    if (box.target_c > 0) {
      line += "target " + degrees(box.target_c) + " C";
      if (box.print_heat && !box.dry_remaining_s) line += " (warming the print's filament)";
    } else {
      line += "off";
    }
  }
  if (box.dry_remaining_s) line += ", drying: " + duration(*box.dry_remaining_s) + " left";
  return line;
}

std::string filament_text(const SlotPicture& slot) {
  if (!slot.filament_name.empty()) return slot.filament_name;
  if (!slot.filament.is_none()) return "code " + slot.filament.repr();
  return "?";
}

std::string colour_text(const SlotPicture& slot) {
  if (!slot.hexcolor.empty())
    return slot.color_name.empty() ? slot.hexcolor : slot.color_name + " " + slot.hexcolor;
  if (!slot.color_name.empty()) return slot.color_name;
  if (!slot.color_hex.empty()) return slot.color_hex;
  if (!slot.color.is_none()) return "code " + slot.color.repr();
  return "?";
}

std::string tools_text(const std::vector<int>& tools) {
  std::string text;
  for (int tool : tools) text += (text.empty() ? "T" : ",T") + std::to_string(tool);
  return text.empty() ? "-" : text;
}

// Where the slot's filament is, from its saved state and what its sensor sees now.
std::string where(const SlotPicture& slot) {
  if (!slot.known_state) return "unknown state " + slot.state.repr();
  // Nobody saves a state for a spool that was in place when the host started.
  if (*slot.known_state == SlotState::Empty)
    return slot.filament_present ? "inserted, not loaded" : "no filament";
  return slot_state_text(*slot.known_state);
}

std::string slot_line(const SlotPicture& slot, bool in_extruder_path) {
  const std::string state = where(slot);
  std::string line = pad(slot_label(slot.slot), 5) + pad(slot.filament_present ? "yes" : "no", 7) +
                     pad(state, 22) + pad(filament_text(slot), 10) + pad(colour_text(slot), 13) +
                     pad(slot.vendor.is_none() ? "?" : slot.vendor.str(), 8) +
                     tools_text(slot.tools);
  if (in_extruder_path) line += "  <- extruder";
  if (slot.follows_extruder) line += ", follows it";
  if (slot.drying) line += "  drying";
  return line;
}

std::string path_line(const BoxPicture& picture) {
  std::string line = "Filament path: ";
  line += picture.extruder_slot ? "slot " + slot_label(*picture.extruder_slot) : "no slot loaded";
  if (!picture.sensors_reported)
    return line + " | sensors: not reported yet (the host starts them in the first seconds)";
  line += std::string(" | box outlet: ") + (picture.outlet_filament ? "filament" : "clear");
  line += std::string(" | extruder entry: ") + (picture.entry_filament ? "filament" : "clear");
  return line;
}

std::string action_line(const BoxPicture& picture, double now) {
  if (picture.action.name == "idle") return "Doing: nothing";
  const std::string step = picture.action.step.empty() ? "" : ", " + picture.action.step;
  return "Doing: " + picture.action.text + step + " (for " + duration(now - picture.action.since) +
         ")";
}

std::string error_line(const ErrorPicture& error, double now) {
  if (!error.report) {
    if (error.retry_pending)
      return "Last error: step " + error.retry_step.str() + " waits for TRY_MOVE_AGAIN";
    return "Last error: none";
  }
  std::string line = "Last error: " + step_name_for(error.report->code);
  if (error.slot) line += " (" + slot_label(*error.slot) + ")";
  if (error.time) line += ", " + duration(now - *error.time) + " ago";
  line += ": " + report_message(*error.report, error.slot);
  while (!line.empty() && line.back() == '\n') line.pop_back();
  if (error.retry_pending)
    line += " | step " + error.retry_step.str() +
            " waits: TRY_MOVE_AGAIN repeats it, BOX_CLEAR_ERROR forgets it";
  return line;
}

// Tools whose map names a slot that is not configured: a load of them would fail.
std::string unserved_tools(const BoxPicture& picture) {
  std::string text;
  for (const ToolPicture& tool : picture.tools) {
    if (!tool.saved) continue;
    bool served = false;
    for (const SlotPicture& slot : picture.slots) served = served || tool.slot == slot.slot;
    if (!served) text += (text.empty() ? "" : ", ") + std::string("T") + std::to_string(tool.tool);
  }
  return text;
}

}  // namespace

std::string picture_text(const BoxPicture& picture, double now) {
  std::string text;
  size_t next_slot = 0;
  for (const BoxUnitPicture& box : picture.boxes) {
    text += box_line(box) + "\n";
    text += pad("slot", 5) + pad("spool", 7) + pad("state", 22) + pad("filament", 10) +
            pad("colour", 13) + pad("vendor", 8) + "tools\n";
    bool any = false;
    for (; next_slot < picture.slots.size() &&
           box_of_slot(picture.slots[next_slot].slot) + 1 == box.box;
         ++next_slot) {
      const SlotPicture& slot = picture.slots[next_slot];
      text += slot_line(slot, picture.extruder_slot == slot.slot) + "\n";
      any = true;
    }
    if (!any) text += "(no slot of this box is configured)\n";
  }
  if (picture.boxes.empty()) text += "No box configured\n";
  text += path_line(picture) + "\n";
  if (const std::string unserved = unserved_tools(picture); !unserved.empty())
    text += "Mapped to no configured slot: " + unserved + " (BOX_MAP_TOOL T= SLOT=)\n";
  text += action_line(picture, now) + "\n";
  text += error_line(picture.error, now);
  return text;
}

}  // namespace feedhub
