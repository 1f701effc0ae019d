#include "klippy/extras/feedhub/slots.h"

#include <cctype>

#include "klippy/extras/feedhub/feedhub.h"
#include "klippy/extras/feedhub/saved_values.h"
#include "klippy/extras/feedhub/slot_feeder.h"
#include "klippy/host/errors.h"

namespace feedhub {

klippy::Value saved(SlotState state) {
  return klippy::Value(code(state));
}

bool is_state(const klippy::Value& value, SlotState state) {
  return value == saved(state);
}

std::optional<SlotState> slot_state_of(const klippy::Value& value) {
  for (SlotState state : {SlotState::Empty, SlotState::ParkedInBox, SlotState::InExtruder,
                          SlotState::AtSensor, SlotState::Failed, SlotState::ExtruderFailed}) {
    if (is_state(value, state)) return state;
  }
  return std::nullopt;
}

const char* slot_state_name(SlotState state) {
  switch (state) {
    case SlotState::Empty:
      return "empty";
    case SlotState::ParkedInBox:
      return "parked";
    case SlotState::InExtruder:
      return "in_extruder";
    case SlotState::AtSensor:
      return "at_sensor";
    case SlotState::Failed:
      return "failed";
    case SlotState::ExtruderFailed:
      return "extruder_failed";
  }
  return "unknown";
}

const char* slot_state_text(SlotState state) {
  switch (state) {
    case SlotState::Empty:
      return "empty";
    case SlotState::ParkedInBox:
      return "parked in the box";
    case SlotState::InExtruder:
      return "in the extruder";
    case SlotState::AtSensor:
      return "at the slot sensor";
    case SlotState::Failed:
      return "slot move failed";
    case SlotState::ExtruderFailed:
      return "extruder move failed";
  }
  return "unknown";
}

namespace {

// The number `digits` stands for when it is one of 0 to kMaxSlots - 1 written plainly.
std::optional<int> slot_number_text(const std::string& digits) {
  if (digits.empty() || digits.size() > 2 || (digits.size() == 2 && digits[0] == '0'))
    return std::nullopt;
  int slot = 0;
  for (char c : digits) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
    slot = slot * 10 + (c - '0');
  }
  if (slot >= kMaxSlots) return std::nullopt;
  return slot;
}

}  // namespace

std::optional<int> parse_slot(const std::string& text) {
  if (text.size() == 2 && text[0] >= '1' && text[0] < '1' + kMaxBoxCount) {
    const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(text[1])));
    if (letter >= 'A' && letter < 'A' + kSlotsPerBox)
      return slot_of_box(text[0] - '1', letter - 'A');
  }
  std::string lowered = text;
  for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lowered.rfind("slot", 0) == 0) return slot_number_text(lowered.substr(4));
  return slot_number_text(lowered);
}

std::optional<int> slot_of_name(const klippy::Value& name) {
  if (!name.is_string() || name.as_string().rfind("slot", 0) != 0) return std::nullopt;
  return slot_number_text(name.as_string().substr(4));
}

std::string names_no_slot(const std::string& command, const std::string& parameter,
                          const std::string& text) {
  return command + ": " + parameter + "=" + text +
         " names no slot; give its label (1A to 4D), its name (slot0 to slot15) or its number "
         "(0 to 15)";
}

std::string slot_name(int slot) {
  return "slot" + std::to_string(slot);
}

std::string slot_label(int slot) {
  return std::to_string(box_of_slot(slot) + 1) + static_cast<char>('A' + slot % kSlotsPerBox);
}

int saved_slot_count(const FeedHub& hub, int default_box_count) {
  return slot_count_of_boxes(saved_box_count(hub, default_box_count));
}

int search_index_by_value(const FeedHub& hub, const klippy::Value& value) {
  const int slot_count = saved_slot_count(hub, 0);
  for (int slot = 0; slot < slot_count; ++slot) {
    if (hub.box_state().slot_value(slot) == value) return slot;
  }
  return -1;
}

std::string tool_slot_key(long long tool) {
  return "value_t" + std::to_string(tool);
}

klippy::Value slot_of_tool(const FeedHub& hub, long long tool) {
  return hub.variables().get_value_by_key(tool_slot_key(tool), "slot" + std::to_string(tool));
}

SlotFeeder* find_slot_feeder(klippy::Printer& printer, const std::string& slot_name) {
  return printer.lookup_object_or_null<SlotFeeder>("feedlane " + slot_name);
}

SlotFeeder& tool_feeder(const FeedHub& hub, klippy::Printer& printer, long long tool) {
  const klippy::Value slot = slot_of_tool(hub, tool);
  const std::optional<int> number = slot_of_name(slot);
  if (number)
    if (SlotFeeder* feeder = find_slot_feeder(printer, slot_name(*number))) return *feeder;
  const std::string named = number && *number < kMaxSlots
                                ? slot_label(*number) + " (" + slot_name(*number) + ")"
                                : "'" + slot.str() + "'";
  throw klippy::CommandError("T" + std::to_string(tool) + " uses " + named +
                             ", which is not a configured slot: map the tool to one with "
                             "BOX_MAP_TOOL T=" +
                             std::to_string(tool) + " SLOT=<slot>");
}

SlotFeeder& slot_feeder(klippy::Printer& printer, const std::string& slot_name,
                        const std::string& command) {
  if (SlotFeeder* feeder = find_slot_feeder(printer, slot_name)) return *feeder;
  throw klippy::CommandError(command + ": no slot feeder 'feedlane " + slot_name + "'; '" +
                             slot_name +
                             "' is not a configured slot. Name a configured slot, or check the "
                             "saved variables (box_count, last_load_slot, slot_sync, value_tN) "
                             "and the [feedlane slotN] sections of the printer configuration.");
}

SlotFeeder& slot_feeder(klippy::Printer& printer, int slot, const std::string& command) {
  return slot_feeder(printer, slot_name(slot), command);
}

}  // namespace feedhub
