// The black-box recorder's memory: a ring of fixed-size entries, allocated once, that keeps
// the most recent history of the box and forgets the oldest. Recording copies a few numbers
// and at most kRecordTextSize characters and never allocates, so it can stay on always.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "klippy/extras/feedhub/slots.h"

namespace feedhub {

// Ready: the host announced it is ready; the sensor reports right after it are the levels
// the box started with.
enum class RecordKind : std::uint8_t {
  Sensor,
  Move,
  CommandStart,
  CommandEnd,
  Error,
  Variable,
  Ready
};

// The sensors whose level changes are recorded; runout sensors are numbered by slot.
enum class RecordedSensor : std::uint8_t { Outlet, Entry, Runout };

inline constexpr std::size_t kRecordTextSize = 116;
inline constexpr std::size_t kDefaultRecordCapacity = 2048;
// Outlet, entry and one runout sensor per slot.
inline constexpr int kRecordedSensorCount = 2 + kMaxSlots;

struct RecordEntry {
  std::uint64_t seq = 0;
  double time = 0.0;        // reactor time, s
  double print_time = 0.0;  // sensor: estimated print time of the change; move: its start
  // Move: distance mm, speed mm/s, accel mm/s^2, end print time. CommandEnd: the start's
  // seq. Error: the code. CommandStart, CommandEnd (second value) and Ready: the toolhead's
  // extruder position in mm, NaN when unknown, which tells how far the print moved the
  // filament between box commands.
  std::array<double, 4> values{};
  RecordKind kind = RecordKind::Sensor;
  std::int8_t slot = -1;  // -1: no slot
  // Sensor: 1 with filament. Move: 1 when a homing trip stopped it early. CommandStart:
  // 1 when the box started the command itself. CommandEnd: 1 when it succeeded.
  std::uint8_t flag = 0;
  // Sensor: its sensor_index(). CommandStart: nesting depth (0 for a command run from the
  // console, a file or a macro; 1 for one that a box command runs).
  std::uint8_t detail = 0;
  // Characters cut off the text.
  bool truncated = false;
  std::uint8_t text_size = 0;
  // Variable: name, value and previous value (or nothing when absent), kVariableSeparator
  // between them. Command: its line, or on its end the error. Error: the report.
  std::array<char, kRecordTextSize> text{};

  std::string_view text_view() const { return {text.data(), text_size}; }
};

inline constexpr char kVariableSeparator = '\x1f';

// What the ring holds, oldest first, and what the sensors read before its first entry.
struct RecordSnapshot {
  std::vector<RecordEntry> entries;
  // Entries forgotten since the start: the history begins later than the host's start.
  std::uint64_t dropped = 0;
  // -1 unknown, else 1 with filament, indexed as sensor_index().
  std::array<std::int8_t, kRecordedSensorCount> start_levels{};
};

int sensor_index(RecordedSensor sensor, int slot);

class RecordRing {
 public:
  explicit RecordRing(std::size_t capacity = kDefaultRecordCapacity);

  // Fills the next entry (the oldest one once the ring is full) and returns it; the caller
  // sets the kind's fields. Its seq and time are set.
  RecordEntry& next(RecordKind kind, double time) noexcept;
  // The entry of `seq` while the ring still holds it.
  RecordEntry* find(std::uint64_t seq) noexcept;
  static void set_text(RecordEntry& entry, std::string_view text) noexcept;
  // Appends `separator` (when given) and `text`, as far as they fit.
  static void append_text(RecordEntry& entry, std::string_view text,
                          std::optional<char> separator = std::nullopt) noexcept;

  // The level seen last; a first change of a sensor also tells its level before the ring.
  void note_sensor_level(int index, bool filament) noexcept;
  std::optional<bool> sensor_level(int index) const noexcept;

  RecordSnapshot snapshot() const;
  std::size_t capacity() const { return entries_.size(); }
  std::size_t size() const { return size_; }
  std::size_t memory_bytes() const { return sizeof(*this) + entries_.size() * sizeof(RecordEntry); }

 private:
  std::vector<RecordEntry> entries_;
  std::size_t head_ = 0;  // where the next entry goes
  std::size_t size_ = 0;
  std::uint64_t next_seq_ = 1;
  std::uint64_t dropped_ = 0;
  std::array<std::int8_t, kRecordedSensorCount> levels_{};
  std::array<std::int8_t, kRecordedSensorCount> start_levels_{};
};

}  // namespace feedhub
