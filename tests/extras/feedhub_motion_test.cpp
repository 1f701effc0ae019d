#include <gtest/gtest.h>

#include "tests/extras/feedhub_fixture.h"

namespace {

using feedhub_test::BoxHost;
using feedhub_test::kMotionPin;

class FeedhubMotion : public ::testing::Test {
 protected:
  void SetUp() override {
    box_.start();
    encoder_ = box_.drive_pin(kMotionPin, 0);
  }
  feedhub::FeedHub& hub() { return box_.hub(); }
  feedhub::BoxMotion& motion() { return hub().sensors().b_motion(); }
  void arm(const std::string& endstop, double speed_mm_s, double start_s, double end_s) {
    motion().init_box_motion(endstop, speed_mm_s, start_s, end_s);
    box_.host().reactor().update_timer(motion().box_motion_timer(), klippy::Reactor::NOW);
  }
  // Toggles the encoder `count` times, `period_s` apart, the first `period_s` from now.
  void toggle(int count, double period_s) {
    double t = box_.print_time();
    int level = encoder_->level(t);
    for (int i = 1; i <= count; ++i) encoder_->schedule(t + i * period_s, level ^= 1);
  }
  // Runs until the endstop is scrammed; seconds it took, or -1.
  double time_to_scram(feedhub::BoxEndstop& endstop, double limit_s) {
    double start = box_.now();
    if (!box_.host().run_until([&] { return endstop.scram(); }, limit_s)) return -1;
    return box_.now() - start;
  }

  BoxHost box_;
  std::shared_ptr<sim::ScheduledSignal> encoder_;
};

TEST_F(FeedhubMotion, AStallInTheWindowScramsAfterEighteenQuietTicksAtEightyMmS) {
  EXPECT_DOUBLE_EQ(motion().detection_length(), 700.0);
  arm("e_endstop", 80, 0.0, 10.0);
  double last_change = box_.now() + 1.1;
  toggle(11, 0.1);  // 70 mm/s of 7 mm toggles: fast enough
  box_.host().advance(1.12);
  EXPECT_FALSE(hub().sensors().e_endstop().scram());
  EXPECT_TRUE(motion().start_motion());
  ASSERT_GT(time_to_scram(hub().sensors().e_endstop(), 1.0), 0);
  EXPECT_EQ(motion().stop_count(), 18);
  EXPECT_GT(box_.now() - last_change, 0.17);
  EXPECT_LT(box_.now() - last_change, 0.195);
  EXPECT_EQ(hub().sensors().e_output().digital_out_value(), 0.0);
  EXPECT_EQ(box_.pin_level(feedhub_test::kEEndstopPin, box_.print_time() + 1), 0);
}

TEST_F(FeedhubMotion, QuietTicksCountOnlyInsideTheWindow) {
  arm("b_endstop", 80, 0.5, 0.6);
  toggle(1, 0.05);
  box_.host().advance(1.0);
  int counted = motion().stop_count();
  EXPECT_GE(counted, 9);
  EXPECT_LE(counted, 10) << "only the ticks strictly between 0.5 s and 0.6 s";
  box_.host().advance(2.0);
  EXPECT_EQ(motion().stop_count(), counted);
  EXPECT_FALSE(hub().sensors().b_endstop().scram());
}

TEST_F(FeedhubMotion, AtSpeedZeroOnlyTheStartCheckCanAbort) {
  arm("b_endstop", 0, 0.0, 100);
  toggle(1, 0.05);
  box_.host().advance(3.0);
  EXPECT_FALSE(hub().sensors().b_endstop().scram());
  EXPECT_DOUBLE_EQ(motion().motion_speed(), 0.0);
  EXPECT_GT(motion().stop_count(), 250);
}

TEST_F(FeedhubMotion, ARunoutEndstopIsNeverForced) {
  arm("slot3_runout", 80, 0, 10);
  box_.host().advance(3.0);
  EXPECT_FALSE(hub().sensors().b_endstop().scram());
  EXPECT_FALSE(hub().sensors().e_endstop().scram());
  EXPECT_EQ(hub().sensors().b_output().digital_out_value(), 0.0);
}

TEST_F(FeedhubMotion, TheToggleCounterLatchesAtTheRequiredCountAndEndsItself) {
  motion().check_motion_state(5, 3);
  toggle(4, 0.5);
  ASSERT_TRUE(box_.host().run_until([&] { return motion().has_change(); }, 5.0));
  EXPECT_EQ(motion().change_num(), 3);
  box_.host().advance(1.0);
  EXPECT_EQ(motion().change_num(), 4);
  EXPECT_TRUE(motion().has_change()) << "stays latched";
  EXPECT_TRUE(motion().check_motion_active());
  box_.host().advance(3.5);
  EXPECT_FALSE(motion().check_motion_active()) << "5 s limit";
  motion().stop_check_motion();
  EXPECT_FALSE(motion().check_motion_active());
}

TEST_F(FeedhubMotion, AStoppedCountSeesNoMoreChanges) {
  motion().check_motion_state(18, 1);
  motion().stop_check_motion();
  toggle(2, 0.2);
  box_.host().advance(1.0);
  EXPECT_EQ(motion().change_num(), 0);
  EXPECT_FALSE(motion().has_change());
  motion().check_motion_state(18, 1);  // a fresh count starts from the current level
  toggle(1, 0.2);
  box_.host().advance(0.5);
  EXPECT_TRUE(motion().has_change());
}

TEST_F(FeedhubMotion, MotionTipsReportsWrappedFilamentAsInformation) {
  auto lines = box_.test().command("MOTION_TIPS");
  ASSERT_EQ(testing_support::without_advice(lines).size(), 1u);
  EXPECT_EQ(lines[0],
            "// Code:ZKE_004_013; Message:Detected wrapping filament,please check the "
            "filament.");
  EXPECT_EQ(hub().variables().get_value_by_key("retry_step"), klippy::Value("ZKE_004_013_00"));
}

}  // namespace
