// Tuning values of the feed moves. They are saved variables rather than configuration
// options so that they can be changed without a restart; since anyone can set them with
// SAVE_VARIABLE, each one is checked before a move is planned with it.
#pragma once

#include <string_view>

namespace feedhub {
class FeedHub;
}

namespace feedlane {

// A key "K" with its companions "K_speed" and "K_accel" and their defaults. Lengths are mm
// (positive towards the extruder), speeds mm/s, accelerations mm/s^2.
struct TuningKey {
  std::string_view key;
  double length_mm;
  double speed_mm_s;
  double accel_mm_s2;
};

inline constexpr TuningKey kSlotLoad1{"slot_load_length_1", 3000, 80, 50};
inline constexpr TuningKey kSlotLoad2{"slot_load_length_2", -100, 80, 50};
inline constexpr TuningKey kSlotLoad3{"slot_load_length_3", -260, 80, 50};
inline constexpr TuningKey kSlotLoad4{"slot_load_length_4", 300, 80, 50};
inline constexpr TuningKey kSlotUnload1{"slot_unload_length_1", -3000, 100, 50};
inline constexpr TuningKey kExtruderLoad1{"extruder_load_length_1", 3000, 80, 50};
inline constexpr TuningKey kExtruderLoad2{"extruder_load_length_2", 1060, 100, 300};
inline constexpr TuningKey kExtruderLoad3{"extruder_load_length_3", 200, 10, 50};
inline constexpr TuningKey kExtruderUnload1{"extruder_unload_length_1", -1320, 100, 50};
inline constexpr TuningKey kExtruderUnload2{"extruder_unload_length_2", -260, 80, 50};

// The longest saved length a feed move takes, either way: a box's longest path is a few
// metres of tube.
inline constexpr double kMaxFeedLengthMm = 10000.0;

struct FeedMove {
  double length_mm;
  double speed_mm_s;
  double accel_mm_s2;
};

// The saved values of `key`, or its defaults. A length that is not a number within
// 10 m either way, or a speed or acceleration that is not a positive number within what
// the motors can do, would plan an impossible move: CommandError naming the saved
// variable, its value and how to fix it.
FeedMove read_feed_move(const feedhub::FeedHub& hub, const TuningKey& key);

}  // namespace feedlane
