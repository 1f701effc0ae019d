#include "klippy/extras/feedhub/box_state.h"

#include <utility>

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
  if (const klippy::Value* pending = pending_value(key)) return *pending;
  const klippy::VariableMap& variables = store_.all_variables();
  const auto it = variables.find(key);
  return it == variables.end() ? default_value : it->second;
}

std::optional<SlotState> BoxState::slot_state(int slot) const {
  return slot_state_of(stored(slot_name(slot), klippy::Value()));
}

klippy::Value BoxState::slot_value(int slot, const klippy::Value& never_saved) const {
  return stored(slot_name(slot), never_saved);
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

const klippy::Value* BoxState::pending_value(const std::string& key) const {
  const auto it = pending_.find(key);
  return it == pending_.end() ? nullptr : &it->second;
}

void BoxState::change(const Changes& changes, bool urgent) {
  for (const auto& [key, value] : changes) pending_.insert_or_assign(key, value);
  if (urgent || open_batches_ == 0) write_pending();
}

void BoxState::write_pending() {
  if (pending_.empty()) return;
  // Other tasks may change the picture while the file is written: only what this write
  // carried, unchanged since, stops being pending.
  const Changes written(pending_.begin(), pending_.end());
  save_(written);
  for (const auto& [key, value] : written) {
    const auto it = pending_.find(key);
    if (it != pending_.end() && it->second == value) pending_.erase(it);
  }
}

void BoxState::Batch::close() {
  BoxState* state = std::exchange(state_, nullptr);
  if (state && --state->open_batches_ == 0) state->write_pending();
}

void BoxState::set_slot_state(int slot, SlotState state) {
  change({{slot_name(slot), saved(state)}}, state == SlotState::AtSensor);
}

void BoxState::restore_slot_value(int slot, const klippy::Value& before) {
  if (before.is_none()) {
    pending_.erase(slot_name(slot));
    remove_({slot_name(slot)});
  } else {
    change({{slot_name(slot), before}});
  }
}

void BoxState::set_loaded_slot(std::optional<int> slot) {
  change({{kLoadedKey, saved_slot_name(slot)}});
}

void BoxState::set_coupled_slot(std::optional<int> slot) {
  change({{kCoupledKey, saved_slot_name(slot)}});
}

void BoxState::set_recorded_step(const klippy::Value& step) {
  change({{kStepKey, step}});
}

}  // namespace feedhub
