#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "sim/world/trapq.h"
#include "tests/extras/feedlane_fixture.h"

namespace {

using feedlane_test::LaneHost;

class FeedlaneMotion : public ::testing::Test {
 protected:
  void SetUp() override { host_.start(); }
  feedlane::BoxExtruderStepper& lane() { return host_.lane(0); }
  std::shared_ptr<sim::SimTrapq> queue() {
    return std::dynamic_pointer_cast<sim::SimTrapq>(lane().trapq());
  }
  // Start times of the moves queued on the slot's own queue (first phase of each).
  std::vector<double> move_starts() {
    std::vector<double> starts;
    for (const auto& s : queue()->segments(0, 1e9))
      if (s.start_v == 0.) starts.push_back(s.start_time);
    return starts;
  }

  LaneHost host_;
};

TEST_F(FeedlaneMotion, MovesWithoutToolheadMotionBetweenThemRunBackToBack) {
  double start = 0, after_first = 0, after_second = 0;
  host_.run_task([&] {
    lane().sync_print_time();
    start = lane().next_cmd_time();
    lane().do_move(100, 50, 50);  // 1 s up, 1 s cruise, 1 s down
    after_first = lane().next_cmd_time();
    lane().do_move(-30, 60);
    after_second = lane().next_cmd_time();
  });
  EXPECT_NEAR(after_first - start, 3.0, 1e-9);
  // 30 mm at 50 mm/s^2 cannot reach 60 mm/s: a triangle of 2 x sqrt(30/50) s.
  EXPECT_NEAR(after_second - after_first, 2 * std::sqrt(30. / 50.), 1e-9);
  auto starts = move_starts();
  ASSERT_EQ(starts.size(), 2u);
  EXPECT_DOUBLE_EQ(starts[0], start);
  EXPECT_DOUBLE_EQ(starts[1], after_first);
  EXPECT_EQ(lane().stepper().get_trapq(), lane().trapq());
  // The toolhead waits for the slot's queued moves before anything of its own.
  EXPECT_GE(host_.toolhead().print_time(), after_first);
  // A negative move runs backwards on the fixed positive axis.
  auto segments = queue()->segments(after_first, after_second);
  ASSERT_FALSE(segments.empty());
  EXPECT_LT(segments.front().accel, 0.);
  EXPECT_NEAR(segments.back().position_at(after_second) - segments.front().start_pos, -30, 1e-9);
}

TEST_F(FeedlaneMotion, AMoveAfterQueuedToolheadMotionStartsWhereTheToolheadQueueEnds) {
  double synced = 0, toolhead_end = 0, first_start = 0;
  host_.run_task([&] {
    lane().sync_print_time();
    synced = lane().next_cmd_time();
    host_.toolhead().dwell(1.5);
    toolhead_end = host_.toolhead().print_time();
    lane().do_move(10, 80);
    first_start = move_starts().front();
  });
  EXPECT_NEAR(toolhead_end - synced, 1.5, 1e-9);
  EXPECT_DOUBLE_EQ(first_start, toolhead_end);
}

TEST_F(FeedlaneMotion, DwellIgnoresNegativeDelaysAndAZeroMoveTakesNoTime) {
  host_.run_task([&] {
    lane().sync_print_time();
    const double t = lane().next_cmd_time();
    lane().dwell(-1);
    EXPECT_DOUBLE_EQ(lane().next_cmd_time(), t);
    lane().dwell(0.5);
    EXPECT_DOUBLE_EQ(lane().next_cmd_time(), t + 0.5);
    lane().do_move(0, 80);
    EXPECT_DOUBLE_EQ(lane().next_cmd_time(), t + 0.5);
  });
}

TEST_F(FeedlaneMotion, TheMotorGoesOffFiftyMillisecondsAfterTheLastMove) {
  double move_end = 0;
  host_.run_task([&] {
    lane().sync_print_time();
    host_.enable_line(0).motor_enable(lane().next_cmd_time());
    lane().do_move(40, 80);
    move_end = lane().next_cmd_time();
    lane().disable_stepper();
  });
  auto& line = dynamic_cast<sim::SimEnableLine&>(host_.enable_line(0));
  EXPECT_FALSE(line.is_motor_enabled());
  EXPECT_NEAR(line.changed_at(), move_end + feedlane::DISABLE_DELAY, 1e-9);
}

TEST_F(FeedlaneMotion, EndstopRestTimeIsTheTimePerStepOfTheFastestAttachedMotor) {
  auto& outlet = host_.hub().sensors().b_endstop().endstop();
  EXPECT_DOUBLE_EQ(lane()._calc_endstop_rate(outlet, {0, 0, 0, 0}, 80), 0.001);
  const double step_mm = lane().stepper().get_step_dist();
  EXPECT_DOUBLE_EQ(step_mm, 22.67 / (200 * 16 * 50. / 17.));
  // 100 mm at 50 mm/s is 2 s for 100 / step_mm steps.
  EXPECT_NEAR(lane()._calc_endstop_rate(outlet, {100, 0, 0, 0}, 50), 2.0 / (100 / step_mm), 1e-15);
  EXPECT_NEAR(lane()._calc_endstop_rate(outlet, {-100, 0, 0, 0}, 50), 2.0 / (100 / step_mm), 1e-15);
}

TEST_F(FeedlaneMotion, OneCompletionIsUsedAsItIs) {
  auto only = host_.host().reactor().completion();
  EXPECT_EQ(lane().multi_complete({only}), only);
}

TEST_F(FeedlaneMotion, AJoinFiresAtTheFirstTripOrWhenEveryEndstopHasFinished) {
  auto& reactor = host_.host().reactor();
  auto a = reactor.completion(), b = reactor.completion();
  auto joined = lane().multi_complete({a, b});
  host_.host().advance(0.1);
  EXPECT_FALSE(joined->test());
  a->complete(klippy::Value(0.0));  // finished without a trip
  host_.host().advance(0.1);
  EXPECT_FALSE(joined->test());
  b->complete(klippy::Value(12.5));  // tripped
  host_.host().advance(0.1);
  ASSERT_TRUE(joined->test());
  EXPECT_TRUE(joined->wait().truthy());

  auto c = reactor.completion(), d = reactor.completion();
  auto early = lane().multi_complete({c, d});
  c->complete(klippy::Value(3.0));
  host_.host().advance(0.1);
  EXPECT_TRUE(early->test()) << "a trip ends the join before the other endstop finishes";
  EXPECT_EQ(early->wait(), klippy::Value(1));
  d->complete(klippy::Value(0.0));
  host_.host().advance(0.1);
}

}  // namespace
