// The slot vocabulary shared by every module of the box: how many slots a box has, what a
// slot's saved state means, how slots are named and labelled, which slot serves a tool,
// and how a command finds a slot's feeder.
#pragma once

#include <optional>
#include <string>

#include "klippy/host/printer.h"
#include "klippy/host/value.h"

namespace feedhub {

class FeedHub;
class SlotFeeder;

inline constexpr int kSlotsPerBox = 4;
inline constexpr int kMaxBoxCount = 4;
inline constexpr int kMaxSlots = kSlotsPerBox * kMaxBoxCount;
// Tools the slicer may name: every slot can serve a tool of its own.
inline constexpr int kMaxTools = kMaxSlots;
// The slot name saved while no slot is meant ("slot_sync", "last_load_slot").
inline constexpr const char* kNoSlot = "slot-1";

// A slot's state, saved under the slot's name ("slot5") and shown by the slot LED; the
// numbers are what the saved-variables file holds.
enum class SlotState : int {
  Empty = 0,            // the runout sensor sees no filament
  ParkedInBox = 1,      // loaded into the box, parked behind the outlet
  InExtruder = 2,       // loaded into the extruder and coupled to it
  AtSensor = 3,         // at the slot sensor, or a move has started
  Failed = -1,          // a slot move failed, or nothing to unload
  ExtruderFailed = -2,  // an extruder load or unload failed
};

constexpr int code(SlotState state) {
  return static_cast<int>(state);
}
// The saved form of `state`.
klippy::Value saved(SlotState state);
// True when the saved `value` is `state`.
bool is_state(const klippy::Value& value, SlotState state);
// The state a saved value holds; nullopt for a value that is none of the states.
std::optional<SlotState> slot_state_of(const klippy::Value& value);
// Short lower-case names for front ends and macros: "empty", "parked", "in_extruder",
// "at_sensor", "failed", "extruder_failed".
const char* slot_state_name(SlotState state);
// Where the state leaves the filament, for people: "parked in the box", ...
const char* slot_state_text(SlotState state);

// "slot5": the slot's name in configuration sections and saved variables.
std::string slot_name(int slot);
// "2B": box number 1 to 4 and slot letter A to D, as messages to the user name slots.
std::string slot_label(int slot);
// The slot a user names: its label ("2B", any case), its name ("slot5") or its number
// ("5"); nullopt when the text names none of the 16 slots.
std::optional<int> parse_slot(const std::string& text);
// "<command>: <parameter>=<text> names no slot; give its label (1A to 4D), ...": the
// refusal of a parameter that parse_slot does not read.
std::string names_no_slot(const std::string& command, const std::string& parameter,
                          const std::string& text);
// The slot number of a saved slot name ("slot5"); nullopt for "slot-1" and anything else.
std::optional<int> slot_of_name(const klippy::Value& name);
// 0-based box of a slot.
inline int box_of_slot(int slot) {
  return slot / kSlotsPerBox;
}
// Slot `index` (0 to 3) of 0-based box `box`.
inline int slot_of_box(int box, int index) {
  return box * kSlotsPerBox + index;
}
inline int slot_count_of_boxes(int box_count) {
  return kSlotsPerBox * box_count;
}
// Slots covered by the saved `box_count` (CommandError for a bad saved value).
int saved_slot_count(const FeedHub& hub, int default_box_count);
// Lowest slot of the saved box_count's slots whose state "slot<N>" equals `value`, or -1.
int search_index_by_value(const FeedHub& hub, const klippy::Value& value);

// "value_t3": the saved key of the slot that serves tool 3.
std::string tool_slot_key(long long tool);
// The slot that serves `tool`; a tool without a saved mapping uses the slot of its number.
klippy::Value slot_of_tool(const FeedHub& hub, long long tool);

// The feeder "feedlane <slot_name>", or null when none is configured.
SlotFeeder* find_slot_feeder(klippy::Printer& printer, const std::string& slot_name);
// The feeder of the slot that serves `tool`; a command error naming the tool, its slot and
// BOX_MAP_TOOL when that slot is not configured. For checks before anything moves.
SlotFeeder& tool_feeder(const FeedHub& hub, klippy::Printer& printer, long long tool);
// The feeder "feedlane <slot_name>"; a CommandError naming `command` and the slot, and
// saying what to check, when no such feeder is configured.
SlotFeeder& slot_feeder(klippy::Printer& printer, const std::string& slot_name,
                        const std::string& command);
SlotFeeder& slot_feeder(klippy::Printer& printer, int slot, const std::string& command);

}  // namespace feedhub
