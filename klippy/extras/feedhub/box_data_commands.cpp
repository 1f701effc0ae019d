// The box's data by name: BOX_STATUS shows it, BOX_MAP_TOOL says which slot serves a tool
// and BOX_SET_SLOT describes an untagged spool. Both save the very keys and codes that the
// tool changes, the runout hand-over, the heating and the tag reads use.
#include <algorithm>
#include <cctype>

#include "klippy/extras/feedhub/box_help.h"
#include "klippy/extras/feedhub/box_status.h"
#include "klippy/extras/feedhub/colour_table.h"
#include "klippy/extras/feedhub/feedhub.h"
#include "klippy/extras/feedhub/filament_table.h"
#include "klippy/extras/feedhub/runout_group.h"
#include "klippy/extras/feedhub/slots.h"
#include "klippy/extras/feedhub/spool_keys.h"
#include "klippy/extras/feedhub/tool_change.h"

namespace feedhub {
namespace {

// What tag reads save as the vendor: the box maker's own filament.
constexpr long long kTagVendor = 1;
// The filament a spool nobody described counts as.
constexpr long long kDefaultFilament = 1;

std::string slot_and_name(int slot) {
  return slot_label(slot) + " (" + slot_name(slot) + ")";
}

std::string configured_slots(FeedHub& hub) {
  std::string list;
  for (int slot = 0; slot < kMaxSlots; ++slot)
    if (hub.feeder_of(slot)) list += (list.empty() ? "" : ", ") + slot_label(slot);
  return list.empty() ? "none" : list;
}

// The configured slot the SLOT parameter names; CommandError saying how to name one.
int named_slot(FeedHub& hub, klippy::GCodeCommand& gcmd) {
  const std::string& command = gcmd.get_command();
  const std::string text = gcmd.get("SLOT");
  const std::optional<int> slot = parse_slot(text);
  if (!slot)
    throw gcmd.error(names_no_slot(command, "SLOT", text) +
                     ". Configured: " + configured_slots(hub));
  if (!hub.feeder_of(*slot))
    throw gcmd.error(
        command + ": slot " + slot_and_name(*slot) + " has no [feedlane " + slot_name(*slot) +
        "] section in the printer configuration. Configured: " + configured_slots(hub));
  return *slot;
}

std::string filament_list(const std::map<long long, std::string>& names) {
  std::string list;
  for (const auto& [code, name] : names)
    list += (list.empty() ? "" : ", ") + std::to_string(code) + (name.empty() ? "" : " " + name);
  return list;
}

bool is_whole_number(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return std::isdigit(static_cast<unsigned char>(c)) || c == '-' || c == '+';
  });
}

// The filament a name outside the table heats as: the table's kin of it, else the filament
// of a spool nobody described (1), else the table's first.
long long heats_as(const klippy::IniDocument& table, const std::map<long long, std::string>& names,
                   const std::string& text) {
  if (const auto kin = kin_filament_code(table, text)) return *kin;
  return names.count(kDefaultFilament) ? kDefaultFilament : names.begin()->first;
}

std::string range_text(const std::optional<TempRange>& range) {
  return range ? std::to_string(range->min_temp) + "-" + std::to_string(range->max_temp) + " C"
               : std::string("none given");
}

// "BOX_SET_SLOT: PLA+ is not in the filament table ...; slot 1A heats it as PLA ...".
std::string outside_table_warning(klippy::Printer& printer, const std::string& text,
                                  long long filament, const std::map<long long, std::string>& names,
                                  int slot) {
  const klippy::Value code(filament);
  const auto nozzle = lookup_filament_temps(printer, code, TempPurpose::Nozzle);
  const auto box = lookup_filament_temps(printer, code, TempPurpose::BoxDrying);
  const std::string& kin = names.at(filament);
  return "BOX_SET_SLOT: " + text + " is not in the filament table " +
         printer.resolve_path(kFilamentTablePath) + "; slot " + slot_label(slot) + " heats it as " +
         (kin.empty() ? "" : kin + ", ") + "filament " + std::to_string(filament) + ": nozzle " +
         range_text(nozzle) + ", box " + range_text(box) +
         ". For temperatures of its own, add a [fila<code>] section with " + "name: " + text +
         " to the table";
}

klippy::Value vendor_value(const std::string& text) {
  if (!text.empty() && text.size() < 10 && std::all_of(text.begin(), text.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c));
      }))
    return klippy::Value(std::stoll(text));
  return klippy::Value(text);
}

// BOX_SET_RUNOUT_GROUP: puts a slot in a run-out group (1 to 16) or, with 0, takes it out.
void set_runout_group(FeedHub& hub, klippy::GCodeCommand& gcmd) {
  const int slot = named_slot(hub, gcmd);
  const int group =
      static_cast<int>(gcmd.get_int("GROUP", {}, {.minval = 0, .maxval = kMaxRunoutGroup}));
  if (group == 0) {
    hub.variables().remove_variables({runout_group_key(slot)});
    return gcmd.respond_info(slot_label(slot) +
                             " is in no run-out group now: when it runs out in a print, a slot "
                             "holding exactly its filament takes over if auto_reload_detect is "
                             "1, otherwise the print pauses.");
  }
  hub.variables().save_variable(runout_group_key(slot), group);
  std::string members;
  for (int other = 0; other < kMaxSlots; ++other)
    if (hub.feeder_of(other) && runout_group(hub, other) == group)
      members += (members.empty() ? "" : ", ") + slot_label(other);
  const std::string name = "run-out group " + std::to_string(group);
  if (members == slot_label(slot))
    return gcmd.respond_info(slot_label(slot) + " is alone in " + name +
                             " so far; add the slots that back it up with "
                             "BOX_SET_RUNOUT_GROUP SLOT=<slot> GROUP=" +
                             std::to_string(group) + ".");
  gcmd.respond_info("R" + name.substr(1) + ": " + members +
                    ". When one of them runs out in a print, the next with filament parked in "
                    "the box takes its tool over, whatever filament it holds.");
}

}  // namespace

void FeedHub::register_box_data_commands() {
  register_command(
      "BOX_STATUS", [this](klippy::GCodeCommand& gcmd) { cmd_BOX_STATUS(gcmd); },
      "Show the boxes: each slot's spool, state, filament and tools, where the filament is, "
      "what the box is doing and its last error. The host runs it once a running command has "
      "ended; meanwhile the status printer.feedhub (action_text, action_step) tells");
  register_command(
      "BOX_MAP_TOOL", [this](klippy::GCodeCommand& gcmd) { cmd_BOX_MAP_TOOL(gcmd); },
      "Make a slot serve a tool: BOX_MAP_TOOL T=<0-15> SLOT=<1A-4D | slotN | N>");
  register_command(
      "BOX_CHECK_TOOL",
      [this](klippy::GCodeCommand& gcmd) {
        const long long tool = gcmd.get_int("T", {}, {.minval = 0, .maxval = kMaxTools - 1});
        tool_feeder(*this, printer_, tool);
        const std::optional<int> loaded = box_state_.loaded_slot();
        const std::optional<int> wanted = slot_of_name(slot_of_tool(*this, tool));
        if (loaded && wanted && loaded != wanted && !tool_change_->open_block())
          print_journal_.count_tool_swap(*wanted);
      },
      "Fail unless the slot that serves tool T is configured, before anything moves (the "
      "tool macros call it first): BOX_CHECK_TOOL T=<0-15>");
  register_command(
      "BOX_SET_SLOT", [this](klippy::GCodeCommand& gcmd) { cmd_BOX_SET_SLOT(gcmd); },
      "Describe a slot's spool: BOX_SET_SLOT SLOT=<slot> FILAMENT=<name|code> "
      "COLOR=<name|code> [VENDOR=<vendor>]");
  register_command(
      "BOX_SET_RUNOUT_GROUP", [this](klippy::GCodeCommand& gcmd) { set_runout_group(*this, gcmd); },
      "Let slots back each other up when a spool runs out in a print: BOX_SET_RUNOUT_GROUP "
      "SLOT=<slot> GROUP=<1-16, 0 for none>");
  register_command(
      "BOX_STATS",
      [this](klippy::GCodeCommand& gcmd) {
        if (gcmd.get_int("RESET", 0, {.minval = 0, .maxval = 1}) == 0)
          return gcmd.respond_info(
              stats_text(variables_.stats().totals(variables_.all_variables())));
        std::vector<std::string> keys;
        for (const auto& entry : variables_.all_variables())
          if (is_stats_key(entry.first)) keys.push_back(entry.first);
        variables_.stats().forget_pending();
        variables_.remove_variables(keys);
        gcmd.respond_info("Box statistics reset: every slot counts from 0 again");
      },
      "Show each slot's loads, unloads, failures by code, retries, runouts and filament fed, "
      "kept across restarts: BOX_STATS [RESET=1 to start counting again]");
  register_box_help(*this);
}

void FeedHub::cmd_BOX_STATUS(klippy::GCodeCommand& gcmd) {
  const double now = reactor_.monotonic();
  heating_.filament_names(true);
  gcmd.respond_info(picture_text(take_picture(*this, now), now));
}

void FeedHub::cmd_BOX_MAP_TOOL(klippy::GCodeCommand& gcmd) {
  const long long tool = gcmd.get_int("T", {}, {.minval = 0, .maxval = kMaxTools - 1});
  const int slot = named_slot(*this, gcmd);
  const klippy::Value before = slot_of_tool(*this, tool);
  variables_.save_variable(tool_slot_key(tool), slot_name(slot));
  std::string answer = "T" + std::to_string(tool) + " now uses slot " + slot_and_name(slot);
  if (const auto previous = slot_of_name(before); previous && *previous != slot)
    answer += " (was " + slot_label(*previous) + ")";
  gcmd.respond_info(answer);
}

void FeedHub::cmd_BOX_SET_SLOT(klippy::GCodeCommand& gcmd) {
  const int slot = named_slot(*this, gcmd);
  const std::string filament_text = gcmd.get("FILAMENT");
  const std::string colour_text = gcmd.get("COLOR");
  const std::string vendor_text = gcmd.get("VENDOR", std::to_string(kTagVendor));
  // Everything is checked before anything is saved, so a bad parameter changes nothing.
  if (filament_text.empty())
    throw gcmd.error("BOX_SET_SLOT: FILAMENT is empty; give the filament's name or code");
  // The host ends a command's parameters at '#': "COLOR=#00FF00" arrives as "COLOR=".
  if (colour_text.empty())
    throw gcmd.error(
        "BOX_SET_SLOT: COLOR is empty; give a colour name or code, or the hex "
        "colour without its '#' (COLOR=00FF00), since the printer's host ends a "
        "command at '#'");
  const klippy::IniDocument table = read_filament_table(printer_);
  const auto names = feedhub::filament_names(table);
  const std::optional<long long> known = find_filament_code(table, filament_text);
  // A code names a section or nothing; a name the table lacks is the user's word for a kind
  // of filament, which heats as the table's kin of it.
  if (!known && (names.empty() || is_whole_number(filament_text))) {
    const std::string path = printer_.resolve_path(kFilamentTablePath);
    throw gcmd.error("BOX_SET_SLOT: FILAMENT=" + filament_text + " is not in the filament table " +
                     path + "; " +
                     (names.empty() ? std::string("the table is missing or has no [fila<code>] "
                                                  "section: install it")
                                    : "give a code or name of it: " + filament_list(names)));
  }
  const long long filament = known ? *known : heats_as(table, names, filament_text);
  const std::optional<Rgb> hex =
      find_colour(colour_text) ? std::nullopt : parse_hex_colour(colour_text);
  const std::optional<ColourEntry> colour = hex ? nearest_colour(*hex) : find_colour(colour_text);
  if (!colour)
    throw gcmd.error("BOX_SET_SLOT: COLOR=" + colour_text +
                     " is no colour of the box; give a code 1 to 24, a name (" + colour_names() +
                     ") or RRGGBB in hex (00FF00)");
  if (vendor_text.empty())
    throw gcmd.error("BOX_SET_SLOT: VENDOR is empty; give a vendor, or leave it out for " +
                     std::to_string(kTagVendor) + " as tags say");
  std::string kin_warning;
  if (!known) kin_warning = outside_table_warning(printer_, filament_text, filament, names, slot);
  const klippy::Value vendor = vendor_value(vendor_text);
  const std::string name = slot_name(slot);
  std::vector<std::pair<std::string, klippy::Value>> values{
      {"filament_" + name, filament}, {"color_" + name, colour->code}, {"vendor_" + name, vendor}};
  std::vector<std::string> dropped;
  // The words of an earlier description go when these say no more than the codes.
  if (hex)
    values.emplace_back(hexcolor_key(name), hex_colour(*hex));
  else
    dropped.push_back(hexcolor_key(name));
  if (known)
    dropped.push_back(material_key(name));
  else
    values.emplace_back(material_key(name), filament_text);
  variables_.save_variables(values);
  variables_.remove_variables(dropped);
  if (!kin_warning.empty()) gcode_.respond_raw("!" + kin_warning);
  const auto found = names.find(filament);
  const std::string table_name = found != names.end() ? found->second : "";
  const std::string filament_words = known ? (table_name.empty() ? "" : table_name + " ") +
                                                 "(filament " + std::to_string(filament) + ")"
                                           : filament_text + " (as " +
                                                 (table_name.empty() ? "" : table_name + ", ") +
                                                 "filament " + std::to_string(filament) + ")";
  const std::string colour_words =
      hex ? hex_colour(*hex) + " (nearest box colour " + colour->name + ", colour " +
                std::to_string(colour->code) + ")"
          : std::string(colour->name) + " (colour " + std::to_string(colour->code) + ")";
  gcmd.respond_info("Slot " + slot_and_name(slot) + " holds " + filament_words + ", " +
                    colour_words + ", vendor " + vendor.str());
}

}  // namespace feedhub
