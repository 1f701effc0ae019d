// The box sensors stopping homing moves on the box MCU: the mirror timers copy the host-read
// sensors onto the endstop pins, and the stall detector forces them when filament stalls.
#include <gtest/gtest.h>

#include "tests/extras/feedhub_fixture.h"

namespace {

using feedhub_test::BoxHost;

class FeedhubHoming : public ::testing::Test {
 protected:
  void SetUp() override {
    box_.start();
    box_.host().advance(1.0);
  }
  feedhub::FeedHub& hub() { return box_.hub(); }
  void wake(const klippy::TimerHandle& timer) {
    box_.host().reactor().update_timer(timer, klippy::Reactor::NOW);
  }
  // Arms `endstop` from `start` and waits for it as a homing command would; the trip print
  // time, or 0.0 when nothing tripped by `end`.
  double home(feedhub::BoxEndstop& endstop, bool triggered, double start, double end) {
    endstop.endstop().home_start(start, 0.000015, 4, 0.001, triggered);
    auto result = std::make_shared<std::optional<double>>();
    box_.host().reactor().register_callback([&endstop, end, result](double) {
      *result = endstop.endstop().home_wait(end);
      return klippy::Value();
    });
    EXPECT_TRUE(box_.host().run_until([&] { return result->has_value(); }, end - start + 5));
    return result->value_or(-1.0);
  }

  BoxHost box_;
};

TEST_F(FeedhubHoming, AnOutletHomingStopsWhenFilamentReachesTheOutlet) {
  auto outlet = box_.drive_pin(feedhub_test::kButtonPin, 1);  // clear
  wake(hub().sensors().b_endstop_timer());
  box_.host().advance(0.15);  // the mirror's first level is on the pin
  double start = box_.print_time();
  double arrival = start + 0.5;
  outlet->schedule(arrival, 0);
  box_.notify();
  double trip = home(hub().sensors().b_endstop(), false, start, start + 3.0);
  // Button report (4 ms), next mirror tick (<= 10 ms), then the host's 100 ms minimum
  // schedule time.
  EXPECT_GT(trip, arrival + 0.1);
  EXPECT_LT(trip, arrival + 0.115);
  EXPECT_FALSE(hub().sensors().b_endstop().scram());
}

TEST_F(FeedhubHoming, WithTheMirrorIdleTheOutletHomingRunsToItsEnd) {
  auto outlet = box_.drive_pin(feedhub_test::kButtonPin, 1);
  wake(hub().sensors().b_endstop_timer());
  box_.host().advance(0.15);  // the mirror's first level is on the pin
  box_.host().reactor().update_timer(hub().sensors().b_endstop_timer(), klippy::Reactor::NEVER);
  double start = box_.print_time();
  outlet->schedule(start + 0.5, 0);
  box_.notify();
  EXPECT_EQ(home(hub().sensors().b_endstop(), false, start, start + 2.0), 0.0);
  EXPECT_EQ(hub().sensors().b_endstop_state(), 0) << "the state follows the switch all the same";
}

TEST_F(FeedhubHoming, AJammedStrandAbortsAnEntryHomingAfterTwoAndAHalfSeconds) {
  box_.drive_pin(feedhub_test::kMotionPin, 0);  // the encoder never turns
  box_.set_diameter(0.0);
  wake(hub().sensors().e_endstop_timer());
  box_.host().advance(0.15);  // the mirror's first level is on the pin
  double start = box_.print_time();
  hub().sensors().b_motion().init_box_motion("e_endstop", 80, 0.6, 13.0);
  wake(hub().sensors().b_motion().box_motion_timer());
  double trip = home(hub().sensors().e_endstop(), false, start, start + 10.0);
  EXPECT_GT(trip, start + 2.5);
  EXPECT_LT(trip, start + 2.65);
  EXPECT_TRUE(hub().sensors().e_endstop().scram());
  EXPECT_FALSE(hub().sensors().b_endstop().scram());
}

TEST_F(FeedhubHoming, AStrandThatStopsMidMoveAbortsAnUnloadHomingAfter180Ms) {
  auto encoder = box_.drive_pin(feedhub_test::kMotionPin, 0);
  auto outlet = box_.drive_pin(feedhub_test::kButtonPin, 1);
  outlet->schedule(box_.print_time() + 0.01, 0);  // filament at the outlet
  box_.notify();
  wake(hub().sensors().b_endstop_timer());
  // The mirror's first level, and the outlet's change a minimum schedule time after it, are
  // on the pin.
  box_.host().advance(0.25);
  double start = box_.print_time();
  // 7 mm per change at 80 mm/s is a change every 87.5 ms, for one second; then it jams.
  int level = 0;
  double last_change = start;
  for (int i = 1; i <= 12; ++i) encoder->schedule(last_change = start + i * 0.0875, level ^= 1);
  hub().sensors().b_motion().init_box_motion("b_endstop", 80, 0.1, 30.0);
  wake(hub().sensors().b_motion().box_motion_timer());
  double trip = home(hub().sensors().b_endstop(), true, start, start + 30.0);
  EXPECT_GT(trip, last_change + 0.17);
  EXPECT_LT(trip, last_change + 0.31);
  EXPECT_TRUE(hub().sensors().b_endstop().scram());
}

}  // namespace
