// The slot LED: a timer that shows the slot's saved state on the red and white channels,
// steady, blinking or breathing, and re-arms itself at the rhythm the state asks for.
#include <cmath>

#include "klippy/extras/feedhub/feedhub.h"
#include "klippy/extras/feedlane/box_extruder_stepper.h"

namespace feedlane {
namespace {

constexpr double kBlinkOnS = 0.5;
constexpr double kBlinkOffS = 1.5;
constexpr double kSteadyS = 1.0;
// Four levels up and four down: a breath a host can afford for every slot, each step an
// MCU command.
constexpr double kBreathStepS = 0.25;
constexpr double kBreathLevels = 4;
// Marks a saved state that is no whole number: the LED goes dark.
constexpr int kUnknownState = 1000;
// No step writes it today; it stays distinct from the failures so that it can be told apart.
constexpr int kSlotRedBlink = -3;

int led_state_of(const klippy::Value& state) {
  if (state.is_int() || state.is_bool()) return static_cast<int>(state.as_int());
  if (state.is_float()) {
    const double value = state.as_float();
    if (std::abs(value) < kUnknownState && value == std::floor(value))
      return static_cast<int>(value);
  }
  return kUnknownState;
}

// Rises over one whole second and falls over the next, in quarters.
double breathing_level(double eventtime) {
  const auto whole_s = static_cast<long long>(eventtime);
  const auto steps =
      static_cast<long long>(eventtime * kBreathLevels) % static_cast<long long>(kBreathLevels);
  const double rising = static_cast<double>(steps) / kBreathLevels;
  return whole_s % 2 == 0 ? rising : 1 - rising;
}

}  // namespace

void BoxExtruderStepper::led_handle_connect() {
  // The host gives each LED pin its start value 0.2 s after it configured the MCU and holds
  // back changes scheduled before that; the MCU would get such a change after its time and
  // shut down ("Timer too close"). The host's LED schedules 0.1 s ahead, so the first
  // change waits until the start value is out.
  constexpr double kFirstUpdateAfterS = 0.3;
  reactor_.update_timer(led_timer_.handle(), reactor_.monotonic() + kFirstUpdateAfterS);
}

double BoxExtruderStepper::set_led(double eventtime) {
  const int led_state = led_state_of(box_state_.slot_value(stepper_num_));
  double wake_after_s = kSteadyS;
  switch (led_state) {
    case feedhub::code(SlotState::Empty):
      red_value_ = 0;
      white_value_ = white_value_ == 0 ? 1 : 0;
      wake_after_s = white_value_ == 1 ? kBlinkOnS : kBlinkOffS;
      break;
    case feedhub::code(SlotState::ParkedInBox):
      red_value_ = 0;
      white_value_ = 1;
      break;
    case feedhub::code(SlotState::InExtruder):
    case feedhub::code(SlotState::AtSensor):
      red_value_ = 0;
      white_value_ = breathing_level(eventtime);
      wake_after_s = kBreathStepS;
      break;
    case feedhub::code(SlotState::Failed):
      red_value_ = 1;
      white_value_ = 0;
      break;
    case feedhub::code(SlotState::ExtruderFailed):
      red_value_ = breathing_level(eventtime);
      white_value_ = 0;
      wake_after_s = kBreathStepS;
      break;
    case kSlotRedBlink:
      red_value_ = red_value_ == 0 ? 1 : 0;
      white_value_ = 0;
      wake_after_s = red_value_ == 1 ? kBlinkOnS : kBlinkOffS;
      break;
    default:
      red_value_ = 0;
      white_value_ = 0;
      break;
  }
  // Only a change is sent: a steady LED costs the host nothing but this check.
  if (!led_sent_ || led_sent_->first != red_value_ || led_sent_->second != white_value_) {
    led_->update_leds({klippy::Color{red_value_, 0, 0, white_value_}}, std::nullopt);
    led_sent_ = std::pair{red_value_, white_value_};
  }
  return eventtime + wake_after_s;
}

}  // namespace feedlane
