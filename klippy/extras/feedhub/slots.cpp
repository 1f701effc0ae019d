#include "klippy/extras/feedhub/slots.h"

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

std::string slot_name(int slot) {
  return "slot" + std::to_string(slot);
}

std::string slot_label(int slot) {
  return std::to_string(box_of_slot(slot) + 1) + static_cast<char>('A' + slot % kSlotsPerBox);
}

int saved_slot_count(const FeedHub& hub, int default_box_count) {
  return slot_count_of_boxes(saved_box_count(hub, default_box_count));
}

std::string tool_slot_key(long long tool) {
  return "value_t" + std::to_string(tool);
}

klippy::Value slot_of_tool(const FeedHub& hub, long long tool) {
  return hub.get_value_by_key(tool_slot_key(tool), "slot" + std::to_string(tool));
}

SlotFeeder* find_slot_feeder(klippy::Printer& printer, const std::string& slot_name) {
  return printer.lookup_object_or_null<SlotFeeder>("feedlane " + slot_name);
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
