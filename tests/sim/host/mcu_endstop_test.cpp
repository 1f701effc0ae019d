// Endstops on simulated pins: exact trips that cut the homing move short, digital outputs
// seen by endstops on the same pin, and QUERY_ENDSTOPS.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "klippy/host/errors.h"
#include "sim/world/stepper.h"
#include "sim/world/trapq.h"
#include "tests/sim/host/mcu_test_support.h"

namespace {

using mcu_testing::FlipSignal;
using ::testing::HasSubstr;

constexpr double kSpeed_mm_s = 50.;

class Homing : public mcu_testing::McuHost {
 protected:
  void SetUp() override {
    start();
    stepper.set_trapq(queue);
    start_time = now_print_time() + 0.1;
  }
  // A 100 mm move at constant speed from start_time; returns its end time.
  double queue_move() {
    queue->append(start_time, 0., 100. / kSpeed_mm_s, 0., {0., 0., 0.}, {1., 0., 0.}, kSpeed_mm_s,
                  kSpeed_mm_s, 0.);
    mcu().notify_changed();
    return start_time + 100. / kSpeed_mm_s;
  }
  std::unique_ptr<klippy::McuEndstop> endstop(const std::string& pin) {
    auto e = pins().setup_endstop(pin);
    e->add_stepper(stepper);
    return e;
  }

  std::shared_ptr<sim::SimTrapq> queue = std::make_shared<sim::SimTrapq>();
  sim::SimStepper stepper{sim::StepperParams{"stepper_slot0", 8.}};
  double start_time = 0.;
};

TEST_F(Homing, TripStopsTheStepperAtTheExactCrossing) {
  auto e = endstop("PA1");
  const double trip = start_time + 0.3217;
  mcu().attach_signal("PA1", std::make_shared<FlipSignal>(0, std::vector<double>{trip}));
  const double end = queue_move();
  auto completion = e->home_start(start_time, 0.000015, 4, 0.001);
  EXPECT_EQ(e->get_steppers(), std::vector<klippy::Stepper*>{&stepper});
  EXPECT_DOUBLE_EQ(e->home_wait(end), trip);
  EXPECT_TRUE(completion->test());
  // The host learns of the trip when reactor time reaches it, not before, not at the end.
  EXPECT_NEAR(host().reactor().monotonic(), eventtime(trip), 1e-9);
  const double at_trip = stepper.get_commanded_position(trip);
  EXPECT_NEAR(at_trip, kSpeed_mm_s * 0.3217, 1e-9);
  EXPECT_DOUBLE_EQ(stepper.get_commanded_position(end + 1.), at_trip);
  host().advance(3.);
  EXPECT_DOUBLE_EQ(stepper.get_commanded_position(now_print_time()), at_trip);
}

TEST_F(Homing, LooksAgainWhenTheFutureChanges) {
  auto e = endstop("PA1");
  auto completion = e->home_start(start_time, 0.000015, 4, 0.001);
  const double end = queue_move();
  host().advance(0.05);
  EXPECT_FALSE(completion->test());
  // The source only becomes known after arming, as when a spool is inserted mid-move.
  const double trip = start_time + 1.25;
  mcu().attach_signal("PA1", std::make_shared<FlipSignal>(0, std::vector<double>{trip}));
  EXPECT_DOUBLE_EQ(e->home_wait(end), trip);
  EXPECT_NEAR(stepper.get_commanded_position(end), kSpeed_mm_s * 1.25, 1e-9);
}

TEST_F(Homing, AlreadyTriggeredAtStartAndNoTrip) {
  auto pulled_up = endstop("^PA2");
  const double end = queue_move();
  pulled_up->home_start(start_time, 0.000015, 4, 0.001);
  EXPECT_DOUBLE_EQ(pulled_up->home_wait(end), start_time);
  EXPECT_DOUBLE_EQ(stepper.get_commanded_position(end), 0.);

  // Homing away from a triggered switch waits for it to open.
  auto inverted = pins().setup_endstop("!PA3");
  const double opens = end + 0.5;
  mcu().attach_signal("PA3", std::make_shared<FlipSignal>(0, std::vector<double>{opens}));
  inverted->home_start(start_time, 0.000015, 4, 0.001, false);
  EXPECT_DOUBLE_EQ(inverted->home_wait(opens + 1.), opens);

  start_time = now_print_time() + 0.1;
  queue = std::make_shared<sim::SimTrapq>();
  stepper.set_trapq(queue);
  stepper.set_position({0., 0., 0.});
  auto never = endstop("PA4");
  const double end2 = queue_move();
  never->home_start(start_time, 0.000015, 4, 0.001);
  EXPECT_DOUBLE_EQ(never->home_wait(end2), 0.);
  EXPECT_NEAR(host().reactor().monotonic(), eventtime(end2), 1e-9);
  EXPECT_NEAR(stepper.get_commanded_position(end2), 100., 1e-9);
}

TEST_F(Homing, TripAfterTheHomingWindowDoesNotCount) {
  auto e = endstop("PA1");
  const double end = queue_move();
  mcu().attach_signal("PA1", std::make_shared<FlipSignal>(0, std::vector<double>{end + 0.1}));
  e->home_start(start_time, 0.000015, 4, 0.001);
  EXPECT_DOUBLE_EQ(e->home_wait(end), 0.);
  host().advance(1.);
  EXPECT_NEAR(stepper.get_commanded_position(end), 100., 1e-9);
}

TEST_F(Homing, UnpluggedMcuFailsTheHoming) {
  auto e = pins().setup_endstop("mcu_box1:PA1");
  const double end = queue_move();
  e->home_start(start_time, 0.000015, 4, 0.001);
  mcu("mcu mcu_box1").set_connected(false);
  try {
    e->home_wait(end);
    FAIL() << "homing on an unplugged mcu succeeded";
  } catch (const klippy::CommandError& err) {
    EXPECT_THAT(err.what(), HasSubstr("Communication timeout during homing"));
  }
}

TEST_F(Homing, EndstopSeesDigitalOutputOnTheSamePin) {
  pins().allow_multi_use_pin("PB0");
  auto out = pins().setup_digital_out("PB0");
  out->setup_max_duration(0.);
  auto e = endstop("PB0");
  const double level_time = start_time + 0.5;
  out->set_digital(level_time, 1.);
  EXPECT_FALSE(e->query_endstop(level_time - 1e-6));
  EXPECT_TRUE(e->query_endstop(level_time));
  const double end = queue_move();
  e->home_start(start_time, 0.000015, 4, 0.001);
  EXPECT_DOUBLE_EQ(e->home_wait(end), level_time);

  // Scheduled after arming: the armed endstop picks it up.
  auto opening = e->home_start(end + 0.05, 0.000015, 4, 0.001, false);
  host().advance(0.01);
  out->set_digital(end + 0.1, 0.);
  EXPECT_FALSE(opening->test());
  EXPECT_DOUBLE_EQ(e->home_wait(end + 1.), end + 0.1);
}

// Strict where the real MCU is only strict on a busy host: anything scheduled closer than
// the host's minimum schedule time shuts the MCU down and changes nothing.
TEST_F(Homing, ADigitalOutputScheduledTooCloseShutsTheMcuDown) {
  auto out = pins().setup_digital_out("PB3");
  out->setup_max_duration(0.);
  const double now = now_print_time();
  out->set_digital(now + 0.1, 1.);
  EXPECT_EQ(host().printer().shutdown_message(), "");
  out->set_digital(now + 0.099, 0.);
  EXPECT_EQ(host().printer().shutdown_message(), "MCU 'mcu' shutdown: Timer too close");
  EXPECT_EQ(mcu().signal("PB3", 0).level(now + 1.), 1);
}

// On the real clock time passes between a caller's reading of it and the MCU's: a command
// scheduled the minimum ahead of the caller's reading is no shutdown (every box output was).
TEST(RealClockMcu, AnOutputScheduledTheMinimumAheadOfItsCallersReadingRuns) {
  testing_support::TestHost test_host(sim::ClockKind::Real);
  test_host.start(mcu_testing::kTwoMcus);
  auto& mcu = test_host.host().printer().lookup_object<sim::SimMcu>("mcu");
  auto out =
      test_host.host().printer().lookup_object<sim::SimPins>("pins").setup_digital_out("PB3");
  out->setup_max_duration(0.);
  const double read_at = mcu.estimated_print_time(test_host.host().reactor().monotonic());
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  out->set_digital(read_at + sim::SimMcu::kMinScheduleTime_s, 1.);
  EXPECT_EQ(test_host.host().printer().shutdown_message(), "");
  out->set_digital(read_at + 0.05, 0.);
  EXPECT_EQ(test_host.host().printer().shutdown_message(), "MCU 'mcu' shutdown: Timer too close");
}

TEST_F(Homing, DigitalOutputStartAndShutdownValuesMustMatchWithMaxDuration) {
  auto out = pins().setup_digital_out("!PB1");
  EXPECT_THROW(out->setup_start_value(1., 0.), klippy::ConfigError);
  out->setup_max_duration(0.);
  out->setup_start_value(1., 0.);
  // Inverted output driven to 1 reads electrically low.
  EXPECT_EQ(mcu().signal("PB1", 0).level(now_print_time()), 0);
  EXPECT_THROW(pins().setup_digital_out("^PB2"), klippy::ConfigError);
}

TEST_F(Homing, QueryEndstopsReportsEachEndstop) {
  auto open = pins().setup_endstop("PA1");
  auto closed = pins().setup_endstop("^PA2");
  auto& query = host().printer().lookup_object<klippy::QueryEndstops>("query_endstops");
  query.register_endstop(*open, "slot0");
  query.register_endstop(*closed, "b_endstop");
  auto lines = test_host.command("QUERY_ENDSTOPS");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "// slot0:open b_endstop:TRIGGERED");
}

}  // namespace
