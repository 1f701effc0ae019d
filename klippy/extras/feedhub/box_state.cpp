#include "klippy/extras/feedhub/box_state.h"

#include "klippy/extras/feedhub/error_report.h"

namespace feedhub {
namespace {

constexpr const char* kLoadedKey = "last_load_slot";
constexpr const char* kCoupledKey = "slot_sync";
constexpr const char* kStepKey = "retry_step";

klippy::Value saved_slot_name(std::optional<int> slot) {
  return klippy::Value(slot ? slot_name(*slot) : std::string(kNoSlot));
}

}  // namespace

klippy::Value BoxState::stored(const std::string& key, const klippy::Value& default_value) const {
  const klippy::VariableMap& variables = store_.all_variables();
  const auto it = variables.find(key);
  return it == variables.end() ? default_value : it->second;
}

std::optional<SlotState> BoxState::slot_state(int slot) const {
  return slot_state_of(stored(slot_name(slot), klippy::Value()));
}

std::optional<int> BoxState::loaded_slot() const {
  return slot_of_name(stored(kLoadedKey, klippy::Value(kNoSlot)));
}

std::optional<int> BoxState::coupled_slot() const {
  return slot_of_name(stored(kCoupledKey, klippy::Value(kNoSlot)));
}

std::string BoxState::loaded_slot_name() const {
  return stored(kLoadedKey, klippy::Value(kNoSlot)).str();
}

std::string BoxState::coupled_slot_name() const {
  return stored(kCoupledKey, klippy::Value(kNoSlot)).str();
}

klippy::Value BoxState::recorded_step() const {
  return stored(kStepKey, klippy::Value(0));
}

bool BoxState::step_pending() const {
  return is_step_pending(recorded_step());
}

void BoxState::set_slot_state(int slot, SlotState state) {
  save_({{slot_name(slot), saved(state)}});
}

void BoxState::set_loaded_slot(std::optional<int> slot) {
  save_({{kLoadedKey, saved_slot_name(slot)}});
}

void BoxState::set_coupled_slot(std::optional<int> slot) {
  save_({{kCoupledKey, saved_slot_name(slot)}});
}

void BoxState::set_recorded_step(const klippy::Value& step) {
  save_({{kStepKey, step}});
}

}  // namespace feedhub
