// The box's data by name: BOX_STATUS shows it, BOX_MAP_TOOL says which slot serves a tool
// and BOX_SET_SLOT describes an untagged spool. Both save the very keys and codes that the
// tool changes, the runout hand-over, the heating and the tag reads use.
#include <algorithm>
#include <cctype>

#include "klippy/extras/feedhub/box_status.h"
#include "klippy/extras/feedhub/colour_table.h"
#include "klippy/extras/feedhub/feedhub.h"
#include "klippy/extras/feedhub/filament_table.h"

namespace feedhub {
namespace {

// What tag reads save as the vendor: the box maker's own filament.
constexpr long long kTagVendor = 1;

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

klippy::Value vendor_value(const std::string& text) {
  if (!text.empty() && text.size() < 10 && std::all_of(text.begin(), text.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c));
      }))
    return klippy::Value(std::stoll(text));
  return klippy::Value(text);
}

}  // namespace

void FeedHub::register_box_data_commands() {
  register_command(
      "BOX_STATUS", [this](klippy::GCodeCommand& gcmd) { cmd_BOX_STATUS(gcmd); },
      "Show the boxes: each slot's spool, state, filament and tools, where the filament is, "
      "what the box is doing and its last error");
  register_command(
      "BOX_MAP_TOOL", [this](klippy::GCodeCommand& gcmd) { cmd_BOX_MAP_TOOL(gcmd); },
      "Make a slot serve a tool: BOX_MAP_TOOL T=<0-15> SLOT=<1A-4D | slotN | N>");
  register_command(
      "BOX_CHECK_TOOL",
      [this](klippy::GCodeCommand& gcmd) {
        tool_feeder(*this, printer_, gcmd.get_int("T", {}, {.minval = 0, .maxval = kMaxTools - 1}));
      },
      "Fail unless the slot that serves tool T is configured, before anything moves (the "
      "tool macros call it first): BOX_CHECK_TOOL T=<0-15>");
  register_command(
      "BOX_SET_SLOT", [this](klippy::GCodeCommand& gcmd) { cmd_BOX_SET_SLOT(gcmd); },
      "Describe a slot's spool: BOX_SET_SLOT SLOT=<slot> FILAMENT=<name|code> "
      "COLOR=<name|code> [VENDOR=<vendor>]");
}

void FeedHub::cmd_BOX_STATUS(klippy::GCodeCommand& gcmd) {
  const double now = reactor_.monotonic();
  filament_names(true);
  gcmd.respond_info(picture_text(take_picture(*this, now), now));
}

void FeedHub::cmd_BOX_MAP_TOOL(klippy::GCodeCommand& gcmd) {
  const long long tool = gcmd.get_int("T", {}, {.minval = 0, .maxval = kMaxTools - 1});
  const int slot = named_slot(*this, gcmd);
  const klippy::Value before = slot_of_tool(*this, tool);
  save_variable(tool_slot_key(tool), slot_name(slot));
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
  const klippy::IniDocument table = read_filament_table(printer_);
  const std::optional<long long> filament = find_filament_code(table, filament_text);
  if (!filament) {
    const auto names = feedhub::filament_names(table);
    const std::string path = printer_.resolve_path(kFilamentTablePath);
    throw gcmd.error("BOX_SET_SLOT: FILAMENT=" + filament_text + " is not in the filament table " +
                     path + "; " +
                     (names.empty() ? std::string("the table is missing or has no [fila<code>] "
                                                  "section: install it")
                                    : "give a code or name of it: " + filament_list(names)));
  }
  const std::optional<ColourEntry> colour = find_colour(colour_text);
  if (!colour)
    throw gcmd.error("BOX_SET_SLOT: COLOR=" + colour_text +
                     " is no colour of the box; give a code 1 to 24 or a name: " + colour_names());
  if (vendor_text.empty())
    throw gcmd.error("BOX_SET_SLOT: VENDOR is empty; give a vendor, or leave it out for " +
                     std::to_string(kTagVendor) + " as tags say");
  const klippy::Value vendor = vendor_value(vendor_text);
  const std::string name = slot_name(slot);
  save_variables({{"filament_" + name, *filament},
                  {"color_" + name, colour->code},
                  {"vendor_" + name, vendor}});
  const auto names = feedhub::filament_names(table);
  const auto found = names.find(*filament);
  const std::string filament_name =
      found != names.end() && !found->second.empty() ? found->second + " " : "";
  gcmd.respond_info("Slot " + slot_and_name(slot) + " holds " + filament_name + "(filament " +
                    std::to_string(*filament) + "), " + colour->name + " (colour " +
                    std::to_string(colour->code) + "), vendor " + vendor.str());
}

}  // namespace feedhub
