#include "klippy/extras/feedhub/box_status.h"

#include <algorithm>
#include <cmath>

#include "klippy/extras/feedhub/colour_table.h"
#include "klippy/extras/feedhub/error_codes.h"
#include "klippy/extras/feedhub/feedhub.h"
#include "klippy/extras/feedhub/filament_table.h"
#include "klippy/extras/feedhub/saved_values.h"
#include "klippy/extras/feedhub/slot_feeder.h"
#include "klippy/extras/feedhub/spool_keys.h"
#include "klippy/extras/feedhub/tool_change.h"

namespace feedhub {
namespace {

const klippy::Value& saved_or(const klippy::VariableMap& variables, const std::string& key,
                              const klippy::Value& fallback) {
  auto it = variables.find(key);
  return it == variables.end() ? fallback : it->second;
}

std::vector<ToolPicture> tool_pictures(const klippy::VariableMap& variables) {
  std::vector<ToolPicture> tools;
  for (int tool = 0; tool < kMaxTools; ++tool) {
    auto it = variables.find(tool_slot_key(tool));
    ToolPicture picture{tool, tool, it != variables.end()};
    if (picture.saved) picture.slot = slot_of_name(it->second);
    tools.push_back(picture);
  }
  return tools;
}

void describe_filament(FeedHub& hub, SlotPicture& picture) {
  if (picture.filament.is_int()) {
    const auto& names = hub.heating().filament_names();
    if (auto it = names.find(picture.filament.as_int()); it != names.end())
      picture.filament_name = it->second;
  } else if (picture.filament.is_string()) {
    // Written by hand: a name stands for itself.
    picture.filament_name = picture.filament.as_string();
  }
  if (picture.color.is_int()) {
    if (auto entry = colour_by_code(static_cast<int>(picture.color.as_int()))) {
      picture.color_name = entry->name;
      picture.color_hex = hex_colour(entry->rgb);
    }
  } else if (picture.color.is_string()) {
    if (auto rgb = parse_hex_colour(picture.color.as_string()))
      picture.color_hex = hex_colour(*rgb);
  }
  // The user's words say more than the codes.
  if (!picture.material.empty()) picture.filament_name = picture.material;
  if (!picture.hexcolor.empty()) picture.color_hex = picture.hexcolor;
}

SlotPicture slot_picture(FeedHub& hub, const SlotFeeder& feeder,
                         const klippy::VariableMap& variables,
                         const std::vector<ToolPicture>& tools) {
  SlotPicture picture;
  picture.slot = feeder.stepper_num();
  const std::string& name = feeder.stepper_name();
  picture.state = hub.box_state().slot_value(picture.slot);
  picture.known_state = slot_state_of(picture.state);
  picture.filament_present = feeder.r_endstop_state() == 0;
  picture.follows_extruder = feeder.follows_extruder();
  picture.drying = feeder.is_drying();
  picture.filament = saved_or(variables, "filament_" + name, klippy::Value());
  picture.color = saved_or(variables, "color_" + name, klippy::Value());
  picture.vendor = saved_or(variables, "vendor_" + name, klippy::Value());
  const klippy::Value material = saved_or(variables, material_key(name), klippy::Value());
  if (material.is_string()) picture.material = material.as_string();
  const klippy::Value hexcolor = saved_or(variables, hexcolor_key(name), klippy::Value());
  if (const auto rgb = hexcolor.is_string() ? parse_hex_colour(hexcolor.as_string()) : std::nullopt)
    picture.hexcolor = hex_colour(*rgb);
  describe_filament(hub, picture);
  for (const ToolPicture& tool : tools)
    if (tool.slot == picture.slot) picture.tools.push_back(tool.tool);
  return picture;
}

int box_count_of(FeedHub& hub) {
  // A bad saved value is the commands' to report; the status shows what is configured.
  try {
    return saved_box_count(hub, 0);
  } catch (const klippy::CommandError&) {
    return configured_box_count(hub);
  }
}

BoxUnitPicture box_unit(FeedHub& hub, int box, double eventtime) {
  BoxUnitPicture unit;
  unit.box = box;
  if (klippy::PrinterObject* heater = hub.heating().box_heater(box)) {
    if (std::optional<klippy::Value> status = heater->get_status(eventtime)) {
      const klippy::Value* temperature = status->find("temperature");
      const klippy::Value* target = status->find("target");
      unit.has_heater = true;
      if (temperature && temperature->is_number()) unit.temperature_c = temperature->as_float();
      if (target && target->is_number()) unit.target_c = target->as_float();
    }
  }
  unit.print_heat = hub.heating().heats_for_print(box);
  // No time left is shown for a drying whose heater something else switched off.
  const bool heats = !unit.has_heater || unit.target_c > 0;
  const auto& dryings = hub.heating().dryings();
  if (auto it = dryings.find(box); heats && it != dryings.end()) {
    const double end = it->second.start_time + it->second.duration_s;
    unit.dry_remaining_s = std::max(0.0, end - hub.reactor().monotonic());
  }
  return unit;
}

ErrorPicture error_picture(const FeedHub& hub) {
  ErrorPicture picture;
  picture.retry_step = hub.box_state().recorded_step();
  picture.retry_pending = is_step_pending(picture.retry_step);
  if (const auto& last = hub.errors().last_error()) {
    picture.report = last->report;
    picture.slot = last->slot;
    picture.time = last->time;
    return picture;
  }
  // After a restart only the saved step tells of the error that left it.
  if (!picture.retry_pending || !picture.retry_step.is_string()) return picture;
  if (auto step = parse_retry_step(picture.retry_step.as_string())) {
    picture.report = report_of_step(step->name);
    if (step->slot_number != "00")
      picture.slot = slot_of_name(klippy::Value("slot" + step->slot_number));
  }
  return picture;
}

Activity current_action(FeedHub& hub) {
  if (const Activity* running = hub.activities().current()) return *running;
  // A print the box paused waits for the user, whatever block it paused in.
  const std::optional<RecordedError>& error = hub.errors().last_error();
  if (hub.print_stats().state() == "paused" && error && hub.box_state().step_pending())
    return Activity{"waiting", error->slot.value_or(-1),
                    "waiting for you (paused by " + step_name_for(error->report.code) +
                        (error->slot ? " at " + slot_label(*error->slot) : "") + ")",
                    error->time};
  const std::optional<ToolChangeBlock>& block = hub.tool_change().open_block();
  if (block) {
    const std::string state = hub.print_stats().state();
    if (!block->in_print || state == "printing" || state == "paused")
      return Activity{"tool_change", -1,
                      "changing tool T" + std::to_string(block->from_tool) + " to T" +
                          std::to_string(block->to_tool),
                      block->since};
  }
  return Activity{"idle", -1, "idle", 0.0};
}

klippy::Value optional_int(const std::optional<int>& value) {
  return value ? klippy::Value(*value) : klippy::Value(-1);
}

std::string optional_label(const std::optional<int>& slot) {
  return slot ? slot_label(*slot) : "";
}

}  // namespace

std::string box_heater_object_name(int box) {
  return "heater_generic heater_box" + std::to_string(box);
}

BoxPicture take_picture(FeedHub& hub, double eventtime) {
  BoxPicture picture;
  picture.box_count = box_count_of(hub);
  // One read for the whole picture, after the reads of box_count_of.
  const klippy::VariableMap& variables = hub.variables().all_variables();
  picture.tools = tool_pictures(variables);
  int last_box = 0;
  for (int slot = 0; slot < kMaxSlots; ++slot) {
    if (const SlotFeeder* feeder = hub.feeder_of(slot)) {
      picture.slots.push_back(slot_picture(hub, *feeder, variables, picture.tools));
      last_box = box_of_slot(slot) + 1;
    }
  }
  for (int box = 1; box <= std::max(last_box, picture.box_count); ++box)
    picture.boxes.push_back(box_unit(hub, box, eventtime));
  picture.extruder_slot = hub.box_state().loaded_slot();
  picture.outlet_filament = hub.sensors().b_endstop_state() == 0;
  picture.sensors_reported = hub.sensors().first_reports_in(eventtime);
  if (auto* hall =
          hub.printer().lookup_object_or_null<klippy::HallFilamentWidthSensor>(kHallSensorName))
    picture.entry_filament = filament_seen(*hall);
  picture.action = current_action(hub);
  const Activity& action = picture.action;
  if (action.step_until > action.step_since)
    picture.action_step_progress = std::clamp(
        (eventtime - action.step_since) / (action.step_until - action.step_since), 0.0, 1.0);
  picture.error = error_picture(hub);
  return picture;
}

SlotPicture take_slot_picture(FeedHub& hub, int slot) {
  const klippy::VariableMap& variables = hub.variables().all_variables();
  const SlotFeeder* feeder = hub.feeder_of(slot);
  if (!feeder) return SlotPicture{slot};
  return slot_picture(hub, *feeder, variables, tool_pictures(variables));
}

void add_slot_status(klippy::Value::Dict& status, const SlotPicture& slot) {
  klippy::Value::List tools;
  for (int tool : slot.tools) tools.emplace_back(tool);
  status.emplace_back("slot", slot.slot);
  status.emplace_back("name", slot_name(slot.slot));
  status.emplace_back("label", slot_label(slot.slot));
  status.emplace_back("box", box_of_slot(slot.slot) + 1);
  status.emplace_back("state", slot.state.is_number() ? slot.state : klippy::Value());
  status.emplace_back("state_name",
                      slot.known_state ? slot_state_name(*slot.known_state) : "unknown");
  status.emplace_back("filament_present", slot.filament_present);
  status.emplace_back("follows_extruder", slot.follows_extruder);
  status.emplace_back("drying", slot.drying);
  status.emplace_back("filament", slot.filament);
  status.emplace_back("filament_name", slot.filament_name);
  status.emplace_back("color", slot.color);
  status.emplace_back("color_name", slot.color_name);
  status.emplace_back("color_hex", slot.color_hex);
  status.emplace_back("hexcolor", slot.hexcolor);
  status.emplace_back("material", slot.material);
  status.emplace_back("vendor", slot.vendor);
  status.emplace_back("tools", std::move(tools));
}

void add_picture_status(klippy::Value::Dict& status, const BoxPicture& picture) {
  klippy::Value::List slots;
  for (const SlotPicture& slot : picture.slots) {
    klippy::Value::Dict entry;
    add_slot_status(entry, slot);
    slots.emplace_back(std::move(entry));
  }
  klippy::Value::List tool_map;
  for (const ToolPicture& tool : picture.tools) tool_map.push_back(optional_int(tool.slot));
  klippy::Value::List boxes;
  for (const BoxUnitPicture& box : picture.boxes) {
    boxes.emplace_back(klippy::Value::Dict{
        {"box", box.box},
        {"heater", box.has_heater ? klippy::Value("heater_box" + std::to_string(box.box))
                                  : klippy::Value("")},
        {"temperature", box.temperature_c},
        {"target", box.target_c},
        {"print_heat", box.print_heat},
        {"drying", box.dry_remaining_s.has_value()},
        {"dry_remaining_s", static_cast<long long>(std::ceil(box.dry_remaining_s.value_or(0.0)))},
    });
  }
  const ErrorPicture& error = picture.error;
  const std::string message = error.report ? report_message(*error.report, error.slot) : "";
  status.emplace_back("box_count", picture.box_count);
  status.emplace_back("slots", std::move(slots));
  status.emplace_back("tool_map", std::move(tool_map));
  status.emplace_back("extruder_slot", optional_int(picture.extruder_slot));
  status.emplace_back("extruder_slot_label", optional_label(picture.extruder_slot));
  status.emplace_back("action", picture.action.name);
  status.emplace_back("action_slot", picture.action.slot);
  status.emplace_back("action_text", picture.action.text);
  status.emplace_back("action_step", picture.action.step);
  status.emplace_back("action_step_progress", picture.action_step_progress);
  status.emplace_back(
      "last_error",
      klippy::Value::Dict{
          {"code", error.report ? step_name_for(error.report->code) : ""},
          {"message", message},
          {"slot", optional_int(error.slot)},
          {"label", optional_label(error.slot)},
          {"time", error.time ? klippy::Value(*error.time) : klippy::Value()},
          {"retry_pending", error.retry_pending},
          {"retry_step", error.retry_step.is_string() ? error.retry_step : klippy::Value()},
      });
  status.emplace_back("boxes", std::move(boxes));
}

}  // namespace feedhub
