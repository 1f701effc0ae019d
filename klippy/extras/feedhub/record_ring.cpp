#include "klippy/extras/feedhub/record_ring.h"

#include <algorithm>

namespace feedhub {

int sensor_index(RecordedSensor sensor, int slot) {
  switch (sensor) {
    case RecordedSensor::Outlet:
      return 0;
    case RecordedSensor::Entry:
      return 1;
    case RecordedSensor::Runout:
      break;
  }
  return slot >= 0 && slot < kMaxSlots ? 2 + slot : -1;
}

RecordRing::RecordRing(std::size_t capacity) : entries_(std::max<std::size_t>(capacity, 1)) {
  levels_.fill(-1);
  start_levels_.fill(-1);
}

RecordEntry& RecordRing::next(RecordKind kind, double time) noexcept {
  RecordEntry& entry = entries_[head_];
  if (size_ == entries_.size()) {
    // The oldest entry goes: the level it recorded is now what the history starts from.
    ++dropped_;
    if (entry.kind == RecordKind::Sensor && entry.detail < kRecordedSensorCount)
      start_levels_[entry.detail] = static_cast<std::int8_t>(entry.flag);
  } else {
    ++size_;
  }
  head_ = (head_ + 1) % entries_.size();
  entry = RecordEntry{};
  entry.seq = next_seq_++;
  entry.kind = kind;
  entry.time = time;
  return entry;
}

RecordEntry* RecordRing::find(std::uint64_t seq) noexcept {
  if (seq == 0 || seq >= next_seq_ || next_seq_ - seq > size_) return nullptr;
  const std::size_t back = static_cast<std::size_t>(next_seq_ - seq);
  RecordEntry& entry = entries_[(head_ + entries_.size() - back) % entries_.size()];
  return entry.seq == seq ? &entry : nullptr;
}

void RecordRing::set_text(RecordEntry& entry, std::string_view text) noexcept {
  entry.text_size = 0;
  entry.truncated = false;
  append_text(entry, text);
}

void RecordRing::append_text(RecordEntry& entry, std::string_view text,
                             std::optional<char> separator) noexcept {
  std::size_t room = kRecordTextSize - entry.text_size;
  if (separator) {
    if (room == 0) {
      entry.truncated = true;
      return;
    }
    entry.text[entry.text_size++] = *separator;
    --room;
  }
  const std::size_t copied = std::min(room, text.size());
  std::copy_n(text.data(), copied, entry.text.data() + entry.text_size);
  entry.text_size = static_cast<std::uint8_t>(entry.text_size + copied);
  if (copied < text.size()) entry.truncated = true;
}

void RecordRing::note_sensor_level(int index, bool filament) noexcept {
  if (index < 0 || index >= kRecordedSensorCount) return;
  const auto at = static_cast<std::size_t>(index);
  // Nothing recorded of this sensor yet: before this change it read the other level.
  if (levels_[at] < 0 && start_levels_[at] < 0) start_levels_[at] = filament ? 0 : 1;
  levels_[at] = filament ? 1 : 0;
}

std::optional<bool> RecordRing::sensor_level(int index) const noexcept {
  if (index < 0 || index >= kRecordedSensorCount) return std::nullopt;
  const std::int8_t level = levels_[static_cast<std::size_t>(index)];
  if (level < 0) return std::nullopt;
  return level == 1;
}

RecordSnapshot RecordRing::snapshot() const {
  RecordSnapshot snapshot;
  snapshot.entries.reserve(size_);
  const std::size_t oldest = (head_ + entries_.size() - size_) % entries_.size();
  for (std::size_t i = 0; i < size_; ++i)
    snapshot.entries.push_back(entries_[(oldest + i) % entries_.size()]);
  snapshot.dropped = dropped_;
  snapshot.start_levels = start_levels_;
  return snapshot;
}

}  // namespace feedhub
