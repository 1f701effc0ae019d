// The slot LED in virtual time: each saved slot state shows its colour and rhythm, and the
// host's status carries every slot's colour. Also the prompt nudge, which only a parked
// strand makes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sim/host/led.h"
#include "tests/extras/feedlane_fixture.h"
#include "tests/support/success_lines.h"

namespace {

using feedlane_test::LaneHost;
using klippy::Value;

constexpr int kRed = 0;
constexpr int kWhite = 3;

// Starts a one-box printer whose slot 0 has `state` saved.
void start(LaneHost& host, const std::string& state) {
  host.start({}, "[Variables]\nbox_count = 1\nslot0 = " + state + "\n");
}

const klippy::Color& color(LaneHost& host, int slot = 0) {
  return host.host()
      .printer()
      .lookup_object<sim::SimPwmLed>("led feedlane slot" + std::to_string(slot))
      .color();
}

TEST(FeedlaneLed, EmptyAndRedBlinkSlotsAreLitHalfASecondOfEveryTwo) {
  for (const auto& [state, channel] : {std::pair{"0", kWhite}, std::pair{"-3", kRed}}) {
    SCOPED_TRACE(state);
    LaneHost host;
    start(host, state);
    std::vector<double> switched_on;
    int lit_samples = 0;
    double last = color(host)[channel];
    constexpr double kStepS = 0.05;
    for (int i = 0; i < 160; ++i) {
      host.host().advance(kStepS);
      const double now = color(host)[channel];
      if (last == 0 && now == 1) switched_on.push_back(host.now());
      lit_samples += now == 1 ? 1 : 0;
      EXPECT_EQ(color(host)[kRed + kWhite - channel], 0);
      last = now;
    }
    ASSERT_GE(switched_on.size(), 3u);
    for (std::size_t i = 1; i < switched_on.size(); ++i)
      EXPECT_NEAR(switched_on[i] - switched_on[i - 1], 2.0, kStepS + 1e-9);
    // 8 s at a quarter duty.
    EXPECT_NEAR(lit_samples, 40, 2);
  }
}

TEST(FeedlaneLed, SteadyStatesAndTheirRecheckInterval) {
  struct Case {
    std::string state;
    double red, white;
  };
  for (const Case& c : {Case{"1", 0, 1}, Case{"-1", 1, 0}, Case{"5", 0, 0}, Case{"'x'", 0, 0}}) {
    SCOPED_TRACE(c.state);
    LaneHost host;
    start(host, c.state);
    host.host().advance(0.5);
    EXPECT_EQ(color(host)[kRed], c.red);
    EXPECT_EQ(color(host)[kWhite], c.white);
    EXPECT_EQ(color(host)[1], 0);
    EXPECT_EQ(color(host)[2], 0);
    EXPECT_DOUBLE_EQ(host.lane(0).set_led(20.0), 21.0);
  }
}

TEST(FeedlaneLed, BreathingFollowsTheClockInQuarters) {
  struct Case {
    std::string state;
    int channel;
  };
  for (const Case& c : {Case{"2", kWhite}, Case{"3", kWhite}, Case{"-2", kRed}}) {
    SCOPED_TRACE(c.state);
    LaneHost host;
    start(host, c.state);
    feedlane::BoxExtruderStepper& lane = host.lane(0);
    EXPECT_DOUBLE_EQ(lane.set_led(12.34), 12.59);
    EXPECT_DOUBLE_EQ(color(host)[c.channel], 0.25);
    lane.set_led(13.34);
    EXPECT_DOUBLE_EQ(color(host)[c.channel], 0.75);
    EXPECT_EQ(color(host)[kRed + kWhite - c.channel], 0);
    // Driven by the timer: a full rise and fall within two seconds.
    double low = 1, high = 0;
    for (int i = 0; i < 20; ++i) {
      host.host().advance(0.1);
      low = std::min(low, color(host)[c.channel]);
      high = std::max(high, color(host)[c.channel]);
    }
    EXPECT_LE(low, 0.1);
    EXPECT_GE(high, 0.9);
  }
}

// Each update is a round of MCU commands for the host: a steady LED sends its colour once.
TEST(FeedlaneLed, OnlyChangesReachTheLed) {
  LaneHost host;
  start(host, "1");
  host.host().advance(1.0);
  const auto& led = host.host().printer().lookup_object<sim::SimPwmLed>("led feedlane slot0");
  const unsigned long sent = led.update_count();
  host.host().advance(60.0);
  EXPECT_EQ(led.update_count(), sent);
  host.save("slot0", "2");
  host.host().advance(60.0);
  // Breathing: eight levels in two seconds, a change at most four times a second.
  EXPECT_GE(led.update_count() - sent, 60u * 3);
  EXPECT_LE(led.update_count() - sent, 60u * 4 + 2);
}

TEST(FeedlaneLed, TheLedFollowsAStateChangeAndShowsInTheStatus) {
  LaneHost host;
  start(host, "1");
  host.host().advance(1.5);
  EXPECT_EQ(color(host)[kWhite], 1);
  host.save("slot0", "-1");
  host.host().advance(1.1);
  EXPECT_EQ(color(host)[kRed], 1);
  EXPECT_EQ(color(host)[kWhite], 0);

  const klippy::Value::Dict status = host.host().collect_status();
  const klippy::Value* led = nullptr;
  for (const auto& [name, value] : status)
    if (name == "led feedlane slot0") led = &value;
  ASSERT_NE(led, nullptr);
  EXPECT_EQ(*led->find("color_data"),
            Value(Value::List{Value(Value::List{Value(1.0), Value(0.0), Value(0.0), Value(0.0)})}));
}

TEST(FeedlanePromptMove, OnlyAParkedStrandIsNudged) {
  for (const auto& [state, moves] :
       {std::pair{"1", true}, std::pair{"2", false}, std::pair{"0", false}}) {
    SCOPED_TRACE(state);
    LaneHost host;
    start(host, state);
    host.host().advance(0.5);
    const double before = host.lane(0).next_cmd_time();
    const std::vector<std::string> lines = host.command("SLOT_PROMPT_MOVE SLOT=slot0");
    EXPECT_EQ(host.lane(0).next_cmd_time() > before, moves);
    if (moves)
      EXPECT_THAT(lines, testing::ElementsAre(testing_support::SuccessLine("Nudged 1A")));
    else
      EXPECT_THAT(lines, testing::ElementsAre(testing::HasSubstr("1A is not parked in the box")));
  }
}

}  // namespace
