// Step queues decoded into positions, and homing: endstops tripping trsyncs that stop
// steppers at the trip clock.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "mcu_fixture.h"
#include "sim/mcu_emu/homing.h"
#include "sim/mcu_emu/stepper_motion.h"

namespace mcu_emu {
namespace {

using testing::McuTest;
using testing::Reply;

constexpr std::uint64_t kTolerance = 1000;

// The steps of (interval, count, add) blocks one by one, as the firmware's timer takes
// them: clock and position after each.
struct Step {
  std::uint64_t clock;
  std::int64_t position;
};
struct Block {
  std::uint32_t interval, count;
  std::int32_t add;
  bool dir;
};
std::vector<Step> steps_one_by_one(std::uint64_t start, const std::vector<Block>& blocks) {
  std::vector<Step> steps;
  std::uint64_t clock = start;
  std::int64_t position = 0;
  for (const Block& b : blocks) {
    std::int64_t interval = b.interval;
    for (std::uint32_t i = 0; i < b.count; ++i) {
      clock = static_cast<std::uint64_t>(static_cast<std::int64_t>(clock) + interval);
      interval += b.add;
      position += b.dir ? 1 : -1;
      steps.push_back({clock, position});
    }
  }
  return steps;
}

TEST(StepperMotion, PositionsFollowEveryStepOfAcceleratingAndReversingBlocks) {
  const std::vector<Block> blocks = {
      {4000, 50, -40, true}, {2000, 300, 0, true}, {2100, 40, 37, true}, {9000, 20, -3, false}};
  StepperMotion motion(kTolerance);
  motion.reset_clock(0, 10000);
  for (const Block& b : blocks) {
    motion.set_next_direction(b.dir);
    ASSERT_FALSE(motion.queue_step(0, b.interval, b.count, b.add));
  }
  const auto steps = steps_one_by_one(10000, blocks);
  EXPECT_EQ(motion.position(10000), 0);
  for (std::size_t k = 0; k < steps.size(); ++k) {
    const std::int64_t before = k == 0 ? 0 : steps[k - 1].position;
    ASSERT_EQ(motion.position(steps[k].clock - 1), before) << "before step " << k;
    ASSERT_EQ(motion.position(steps[k].clock), steps[k].position) << "at step " << k;
  }
  EXPECT_EQ(motion.position(steps.back().clock + 1000000), 390 - 20);
}

TEST(StepperMotion, AStopDropsLaterStepsUntilTheClockIsReset) {
  StepperMotion motion(kTolerance);
  std::vector<std::uint64_t> stops;
  motion.set_listener({.on_block = {}, .on_stop = [&](std::uint64_t c) { stops.push_back(c); }});
  motion.reset_clock(0, 0);
  motion.set_next_direction(true);
  motion.queue_step(0, 100, 100, 0);  // steps at 100 .. 10000
  motion.queue_step(0, 100, 100, 0);  // 10100 .. 20000
  EXPECT_EQ(motion.queued_moves(50), 1u) << "the first block is under way";
  EXPECT_EQ(motion.reset_clock(5000, 0), "Can't reset time when stepper active");

  motion.stop(5050);
  EXPECT_EQ(stops, std::vector<std::uint64_t>{5050});
  EXPECT_EQ(motion.position(30000), 50);
  EXPECT_FALSE(motion.queue_step(6000, 100, 10, 0)) << "ignored, not an error";
  EXPECT_EQ(motion.position(30000), 50);

  EXPECT_FALSE(motion.reset_clock(40000, 40000));
  motion.set_next_direction(false);
  motion.queue_step(40000, 100, 10, 0);
  EXPECT_EQ(motion.position(41000), 40);
}

TEST(StepperMotion, BadBlocksAreRefusedAsTheFirmwareRefusesThem) {
  StepperMotion motion(kTolerance);
  motion.reset_clock(0, 0);
  EXPECT_EQ(motion.queue_step(0, 100, 0, 0), "Invalid count parameter");
  EXPECT_EQ(motion.queue_step(50000, 100, 10, 0), "Stepper too far in past");
  EXPECT_FALSE(motion.queue_step(50000, 49500, 10, 0)) << "late within the tolerance";
}

TEST(StepperMotion, AFirstStepCountsOnTheFirmwaresThirtyTwoBitClock) {
  // The step clock was reset at 0 during configuration; two wraps later the host sends the
  // first interval from there, modulo 2^32.
  StepperMotion motion(kTolerance);
  motion.reset_clock(0, 0);
  const std::uint64_t now = (std::uint64_t{2} << 32) + 7000000;
  motion.set_next_direction(true);
  ASSERT_FALSE(motion.queue_step(now, 7000000 + 1000, 2, 500));
  EXPECT_EQ(motion.position(now + 999), 0);
  EXPECT_EQ(motion.position(now + 1000), 1);
  EXPECT_EQ(motion.position(now + 1000 + 7001499), 1);
  EXPECT_EQ(motion.position(now + 1000 + 7001500), 2);
}

TEST(Endstop, TripsOnTheLastOfConsecutiveMatchingSamples) {
  // The pin reads 1 in [1000, 1030) and from 2000 on.
  const LevelAt level = [](std::uint64_t c) -> std::uint32_t {
    return (c >= 1000 && c < 1030) || c >= 2000;
  };
  Endstop endstop(3);
  endstop.home({.clock = 0,
                .sample_ticks = 10,
                .sample_count = 4,
                .rest_ticks = 100,
                .pin_value = 1,
                .trsync_oid = 0,
                .trigger_reason = 1});
  EXPECT_FALSE(endstop.sample(1900, level, true)) << "a glitch of three samples is ignored";
  EXPECT_EQ(endstop.sample(5000, level, false), 2030u);
  EXPECT_TRUE(endstop.homing()) << "asking does not change it";
  EXPECT_EQ(endstop.sample(5000, level, true), 2030u);
  EXPECT_FALSE(endstop.homing());
}

TEST(Trsync, ReportsPeriodicallyAndTripsOnceStoppingItsSteppers) {
  Trsync trsync;
  trsync.start(1000, 500, 4);
  trsync.add_stepper(7);
  trsync.set_timeout(3000);
  EXPECT_EQ(trsync.reports_by(2100), (std::vector<std::uint64_t>{1000, 1500, 2000}));
  EXPECT_FALSE(trsync.expiry_by(2999));
  EXPECT_EQ(trsync.expiry_by(3000), 3000u);
  EXPECT_EQ(trsync.trigger(Trsync::kEndstopHit), std::vector<std::uint32_t>{7});
  EXPECT_TRUE(trsync.trigger(Trsync::kHostRequest).empty());
  EXPECT_EQ(trsync.reason(), Trsync::kEndstopHit);
  EXPECT_TRUE(trsync.reports_by(10000).empty());
  EXPECT_FALSE(trsync.expiry_by(10000));
}

constexpr std::int64_t kStepPin = 16;    // PB0
constexpr std::int64_t kDirPin = 17;     // PB1
constexpr std::int64_t kMirrorPin = 40;  // PC8: an output looped back to the endstop
constexpr std::int64_t kButtonPin = 40;

// A stepper homing against an endstop pin that an output of the same controller drives
// (the box mirrors a sensor this way), with the output's change queued ahead.
TEST_F(McuTest, AHomingMoveStopsTheStepperWhereTheQueuedMirrorTripsTheEndstop) {
  configure(4);
  send("config_stepper", {std::int64_t{0}, kStepPin, kDirPin, std::int64_t{0}, std::int64_t{0}});
  send("config_digital_out",
       {std::int64_t{1}, kMirrorPin, std::int64_t{0}, std::int64_t{0}, std::int64_t{0}});
  send("config_endstop", {std::int64_t{2}, kMirrorPin, std::int64_t{0}});
  send("config_trsync", {std::int64_t{3}});
  send("reset_step_clock", {std::int64_t{0}, std::int64_t{0}});
  send("set_next_step_dir", {std::int64_t{0}, std::int64_t{1}});
  // 1000 steps every 1000 ticks from clock 1000; the mirror rises at 500500.
  send("queue_step", {std::int64_t{0}, std::int64_t{1000}, std::int64_t{1000}, std::int64_t{0}});
  send("queue_digital_out", {std::int64_t{1}, std::int64_t{500500}, std::int64_t{1}});
  EXPECT_EQ(mcu_.devices().level(kMirrorPin), 0u) << "not before its clock";
  send("trsync_start",
       {std::int64_t{3}, std::int64_t{100000}, std::int64_t{100000}, std::int64_t{4}});
  send("stepper_stop_on_trigger", {std::int64_t{0}, std::int64_t{3}});
  send("trsync_set_timeout", {std::int64_t{3}, std::int64_t{2000000}});
  send("endstop_home", {std::int64_t{2}, std::int64_t{0}, std::int64_t{100}, std::int64_t{4},
                        std::int64_t{2000}, std::int64_t{1}, std::int64_t{3}, std::int64_t{1}});

  const auto reports = advance(900000);
  ASSERT_EQ(reports.size(), 6u);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(reports[i].params.u32("can_trigger"), 1u);
    EXPECT_EQ(reports[i].params.u32("clock"), 100000u * (i + 1));
  }
  // Polled every 2000 ticks: the first poll at or after 500500 is 502000, then three more
  // samples 100 ticks apart.
  EXPECT_EQ(reports[5].params.u32("can_trigger"), 0u);
  EXPECT_EQ(reports[5].params.u32("trigger_reason"), 1u);
  EXPECT_EQ(reports[5].params.u32("clock"), 502300u);
  auto position = send("stepper_get_position", {std::int64_t{0}});
  ASSERT_EQ(position.size(), 1u);
  EXPECT_EQ(position[0].params.i32("pos"), 502) << "the steps up to the trip, none after";
  EXPECT_TRUE(advance(2000000).empty()) << "no expiry once tripped";

  // The host's own stop: the state comes back, and an expiry trips with its reason.
  auto state = send("trsync_trigger", {std::int64_t{3}, std::int64_t{2}});
  ASSERT_EQ(state.size(), 1u);
  EXPECT_EQ(state[0].params.u32("trigger_reason"), 1u);
  send("trsync_start", {std::int64_t{3}, std::int64_t{0}, std::int64_t{0}, std::int64_t{4}});
  send("trsync_set_timeout", {std::int64_t{3}, static_cast<std::int64_t>(ticks_ + 1000)});
  state = advance(1000);
  ASSERT_EQ(state.size(), 1u);
  EXPECT_EQ(state[0].params.u32("trigger_reason"), 4u);
}

TEST_F(McuTest, StepsInThePastOrBeyondTheMoveQueueShutDown) {
  configure(1);
  send("config_stepper", {std::int64_t{0}, kStepPin, kDirPin, std::int64_t{0}, std::int64_t{0}});
  send("reset_step_clock", {std::int64_t{0}, std::int64_t{0}});
  advance(168000000);
  auto replies =
      send("queue_step", {std::int64_t{0}, std::int64_t{1000}, std::int64_t{1}, std::int64_t{0}});
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].name, "shutdown");

  send("config_reset");
  configure(1);
  send("config_stepper", {std::int64_t{0}, kStepPin, kDirPin, std::int64_t{0}, std::int64_t{0}});
  send("reset_step_clock", {std::int64_t{0}, std::int64_t{static_cast<std::int64_t>(ticks_)}});
  // The move under way has left the queue; 1024 more fit in it.
  for (int move = 0; move < 1025; ++move)
    send("queue_step", {std::int64_t{0}, std::int64_t{100000}, std::int64_t{1}, std::int64_t{0}});
  EXPECT_FALSE(mcu_.is_shutdown());
  send("queue_step", {std::int64_t{0}, std::int64_t{100000}, std::int64_t{1}, std::int64_t{0}});
  EXPECT_TRUE(mcu_.is_shutdown());
}

TEST_F(McuTest, ButtonsReadAQueuedOutputAtItsClock) {
  configure(2);
  send("config_digital_out",
       {std::int64_t{0}, kMirrorPin, std::int64_t{0}, std::int64_t{0}, std::int64_t{0}});
  send("config_buttons", {std::int64_t{1}, std::int64_t{1}});
  send("buttons_add", {std::int64_t{1}, std::int64_t{0}, kButtonPin, std::int64_t{0}});
  send("buttons_query",
       {std::int64_t{1}, std::int64_t{100}, std::int64_t{100}, std::int64_t{0}, std::int64_t{0}});
  send("queue_digital_out", {std::int64_t{0}, std::int64_t{1050}, std::int64_t{1}});
  EXPECT_TRUE(advance(1000).empty());
  // Polls at 100, 200, ...: the poll at 1100 is the first to see it, the one at 1200
  // (the second in a row) reports it.
  EXPECT_TRUE(advance(199).empty());
  EXPECT_EQ(advance(1).size(), 1u);
}

}  // namespace
}  // namespace mcu_emu
