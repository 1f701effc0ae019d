#include "klippy/extras/feedhub/preflight.h"

#include <algorithm>
#include <cctype>
#include <optional>

#include "klippy/extras/feedhub/colour_table.h"
#include "klippy/extras/feedhub/error_report.h"
#include "klippy/extras/feedhub/feedhub.h"
#include "klippy/extras/feedhub/saved_values.h"
#include "klippy/extras/feedhub/slot_feeder.h"
#include "klippy/extras/feedhub/spool_keys.h"

namespace feedhub {
namespace {

constexpr const char* kUnknown = "?";
constexpr const char* kNotPlanned = "-";

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The filament table's name for a saved filament code; a name saved as text is taken as
// it is. Empty when the box does not know.
std::string box_material(FeedHub& hub, const klippy::Value& saved) {
  if (saved.is_string()) return saved.str();
  if (!saved.is_int()) return "";
  klippy::IniDocument table = read_filament_table(hub.printer());
  const klippy::IniSection* section = table.find(filament_section_name(saved));
  const klippy::IniOption* name = section ? section->find("name") : nullptr;
  return name ? name->value : "";
}

struct BoxColour {
  std::string text;
  std::optional<Rgb> rgb;
  // The box colour code, when the slot's colour is one (tags carry only those).
  std::optional<int> code;
};

BoxColour box_colour(const klippy::Value& saved) {
  if (saved.is_int()) {
    if (auto entry = colour_by_code(static_cast<int>(saved.as_int())))
      return {std::string(entry->name) + " " + hex_colour(entry->rgb), entry->rgb, entry->code};
    return {"code " + saved.repr() + " (not 1-24)", std::nullopt, std::nullopt};
  }
  if (saved.is_string()) {
    if (auto rgb = parse_hex_colour(saved.str())) return {hex_colour(*rgb), rgb, std::nullopt};
  }
  return {"", std::nullopt, std::nullopt};
}

// What the box knows of the spool in a slot: its material by the user's word for it when
// the table lacks that name ("PLA+"), else the table's; its colour as given in hex, else as
// its code.
struct SlotSpool {
  std::string material, table_material;
  BoxColour colour;

  // The print plans this slot's material: its own name or the table's kin of it.
  bool is_material(const std::string& planned) const {
    return lower(planned) == lower(material) || lower(planned) == lower(table_material);
  }
};

SlotSpool slot_spool(FeedHub& hub, const std::string& name) {
  SlotSpool spool;
  spool.table_material =
      box_material(hub, hub.variables().get_value_by_key("filament_" + name, {}));
  const klippy::Value material = hub.variables().get_value_by_key(material_key(name), {});
  spool.material = material.is_string() ? material.as_string() : spool.table_material;
  spool.colour = box_colour(hub.variables().get_value_by_key("color_" + name, {}));
  const klippy::Value hex = hub.variables().get_value_by_key(hexcolor_key(name), {});
  if (const auto rgb = hex.is_string() ? parse_hex_colour(hex.as_string()) : std::nullopt)
    // The colour itself is known, not only the tag's nearest code: compared as it is.
    spool.colour = {hex_colour(*rgb), rgb, std::nullopt};
  return spool;
}

// A tag stores the nearest of the box's colours: a planned colour whose nearest box colour
// is the slot's matches it, however far the two lie apart in RGB.
bool colours_match(Rgb planned, const BoxColour& slot, double tolerance) {
  if (slot.code && nearest_colour(planned).code == *slot.code) return true;
  return slot.rgb && colour_distance(planned, *slot.rgb) <= tolerance;
}

// The first other configured slot with filament whose material and colour match the plan.
std::optional<int> matching_slot(FeedHub& hub, const std::string& plan_material,
                                 const std::optional<Rgb>& planned_rgb, double tolerance,
                                 const std::string& except) {
  for (int slot = 0; slot < kMaxSlots; ++slot) {
    const std::string name = slot_name(slot);
    if (name == except) continue;
    auto* feeder = hub.printer().lookup_object_or_null<SlotFeeder>("feedlane " + name);
    if (!feeder || feeder->r_endstop_state() != 0) continue;
    const SlotSpool spool = slot_spool(hub, name);
    if (!plan_material.empty() && !spool.is_material(plan_material)) continue;
    if (planned_rgb && !colours_match(*planned_rgb, spool.colour, tolerance)) continue;
    return slot;
  }
  return std::nullopt;
}

std::string map_advice(int tool) {
  return "map T" + std::to_string(tool) + " to a slot with BOX_MAP_TOOL T=" + std::to_string(tool) +
         " SLOT=<slot>";
}

void fail(ToolCheck& check, const std::string& advice) {
  check.verdict = ToolVerdict::Fail;
  check.advice = advice;
}

void check_tool(FeedHub& hub, const PrintPlan& plan, double tolerance, ToolCheck& check) {
  const std::string tool = "T" + std::to_string(check.tool);
  const std::string plan_material = plan.material_of(check.tool);
  const std::string plan_colour = plan.colour_of(check.tool);
  check.planned_material = plan_material.empty() ? kNotPlanned : plan_material;
  check.planned_colour = plan_colour.empty() ? kNotPlanned : plan_colour;
  check.material = check.colour = kUnknown;

  // A fresh box serves tool n from slot n.
  const std::string tool_key = "value_t" + std::to_string(check.tool);
  const klippy::Value mapped = hub.variables().get_value_by_key(
      tool_key, klippy::Value("slot" + std::to_string(check.tool)));
  const std::optional<int> slot = slot_of_name(mapped);
  if (!slot)
    return fail(check, tool + " is mapped to " + mapped.repr() +
                           ", which is not a slot: " + map_advice(check.tool));
  check.slot_name = mapped.str();
  check.slot_label = slot_label(*slot);
  const std::string where = tool + " (slot " + check.slot_label + ")";
  auto* feeder = hub.printer().lookup_object_or_null<SlotFeeder>("feedlane " + check.slot_name);
  if (!feeder)
    return fail(check, tool + " is mapped to " + check.slot_name + ", which no [feedlane " +
                           check.slot_name + "] section configures: " + map_advice(check.tool));

  const klippy::Value state = hub.box_state().slot_value(feeder->stepper_num());
  // The sensor is what is there now; a state of 0 may be one that nobody saved yet.
  check.has_filament = feeder->r_endstop_state() == 0;
  const SlotSpool spool = slot_spool(hub, check.slot_name);
  const std::string& material = spool.material;
  const BoxColour& colour = spool.colour;
  if (!material.empty()) check.material = material;
  if (!colour.text.empty()) check.colour = colour.text;

  const auto planned_rgb = parse_hex_colour(plan_colour);
  // " (slot 1B holds it: BOX_MAP_TOOL T=0 SLOT=1B)", or nothing when no other slot does.
  auto hint = [&]() -> std::string {
    const auto other = matching_slot(hub, plan_material, planned_rgb, tolerance, check.slot_name);
    if (!other) return "";
    check.matching_slot_label = slot_label(*other);
    return " (slot " + check.matching_slot_label +
           " holds it: BOX_MAP_TOOL T=" + std::to_string(check.tool) +
           " SLOT=" + check.matching_slot_label + ")";
  };
  if (!check.has_filament)
    return fail(check, where + " is empty: insert " +
                           (plan_material.empty() ? std::string("filament") : plan_material) +
                           " into slot " + check.slot_label + " or " + map_advice(check.tool) +
                           // Without a plan any spool would do: no slot is named then.
                           (plan_material.empty() && !planned_rgb ? std::string() : hint()));
  if (state.is_int() && state.as_int() < 0)
    return fail(check, where + ": the last load of the slot failed (state " + state.repr() +
                           "): run TRY_MOVE_AGAIN or reload slot " + check.slot_label);
  if (!plan_material.empty() && !material.empty() && !spool.is_material(plan_material))
    return fail(check, where + " holds " + material + " but the print plans " + plan_material +
                           ": load " + plan_material + " into slot " + check.slot_label + " or " +
                           map_advice(check.tool) + hint());
  if (planned_rgb && colour.rgb && !colours_match(*planned_rgb, colour, tolerance))
    return fail(check, where + " holds " + colour.text + " but the print plans " + plan_colour +
                           ": load that colour into slot " + check.slot_label + " or " +
                           map_advice(check.tool) + hint());
  if (material.empty() || !colour.rgb) {
    check.verdict = ToolVerdict::Unverified;
    check.advice = where + ": the box does not know its " +
                   (material.empty() ? std::string("material") : std::string("colour")) +
                   "; read the spool's tag (RFID_READ SLOT=" + check.slot_name +
                   ") or describe it: BOX_SET_SLOT SLOT=" + check.slot_label +
                   " FILAMENT=<name> COLOR=<name>";
  } else if (plan_material.empty() || !planned_rgb) {
    check.verdict = ToolVerdict::Unverified;
    check.advice = where + ": the file does not say which " +
                   (plan_material.empty() ? std::string("material") : std::string("colour")) +
                   " it plans for " + tool;
  }
}

const char* verdict_name(ToolVerdict verdict) {
  switch (verdict) {
    case ToolVerdict::Ok:
      return "OK";
    case ToolVerdict::Unverified:
      return "UNVERIFIED";
    case ToolVerdict::Fail:
      return "FAIL";
  }
  return "FAIL";
}

std::string pad(const std::string& text, size_t width) {
  return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

}  // namespace

ToolVerdict PreflightReport::verdict() const {
  ToolVerdict worst = ToolVerdict::Ok;
  for (const ToolCheck& check : tools) worst = std::max(worst, check.verdict);
  return worst;
}

std::string PreflightReport::table() const {
  std::string text = pad("tool", 6) + pad("slot", 6) + pad("filament", 9) +
                     pad("box material", 14) + pad("box colour", 20) + pad("planned", 20) +
                     "check\n";
  for (const ToolCheck& check : tools) {
    text += pad("T" + std::to_string(check.tool), 6) +
            pad(check.slot_label.empty() ? "-" : check.slot_label, 6) +
            pad(check.has_filament ? "yes" : "no", 9) + pad(check.material, 14) +
            pad(check.colour, 20) + pad(check.planned_material + " " + check.planned_colour, 20) +
            verdict_name(check.verdict) + "\n";
  }
  for (const ToolCheck& check : tools)
    if (!check.advice.empty()) text += check.advice + "\n";
  return text;
}

std::string PreflightReport::verdict_line() const {
  std::vector<std::string> names;
  for (const ToolCheck& check : tools)
    if (check.verdict == verdict()) names.push_back("T" + std::to_string(check.tool));
  std::string list;
  for (const std::string& name : names) list += (list.empty() ? "" : ", ") + name;
  switch (verdict()) {
    case ToolVerdict::Ok:
      return "Pre-flight: OK: " + list + " ready as planned";
    case ToolVerdict::Unverified:
      return "Pre-flight: UNVERIFIED: " + list +
             " hold filament that could not be checked "
             "against the plan";
    case ToolVerdict::Fail:
      return "Pre-flight: FAIL: " + list + " not ready; see above what to do";
  }
  return "";
}

klippy::Value PreflightReport::to_value() const {
  klippy::Value::List list;
  for (const ToolCheck& check : tools) {
    list.emplace_back(klippy::Value::Dict{{"tool", check.tool},
                                          {"slot", check.slot_name},
                                          {"slot_label", check.slot_label},
                                          {"has_filament", check.has_filament},
                                          {"material", check.material},
                                          {"colour", check.colour},
                                          {"planned_material", check.planned_material},
                                          {"planned_colour", check.planned_colour},
                                          {"verdict", verdict_name(check.verdict)},
                                          {"advice", check.advice},
                                          {"matching_slot_label", check.matching_slot_label}});
  }
  return klippy::Value(klippy::Value::Dict{
      {"verdict", verdict_name(verdict())}, {"summary", verdict_line()}, {"tools", list}});
}

PreflightReport check_print_plan(FeedHub& hub, const PrintPlan& plan, double colour_tolerance) {
  PreflightReport report;
  // A file without tool changes prints with tool 0.
  std::set<int> tools = plan.tools.empty() ? std::set<int>{0} : plan.tools;
  for (int tool : tools) {
    ToolCheck check;
    check.tool = tool;
    check_tool(hub, plan, colour_tolerance, check);
    report.tools.push_back(std::move(check));
  }
  return report;
}

}  // namespace feedhub
