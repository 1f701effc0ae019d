#include "sim/host/buttons.h"

#include <cmath>

#include "klippy/host/errors.h"
#include "sim/host/mcu.h"
#include "sim/host/pins.h"

namespace sim {

// The pins of one register_buttons call and what the host has been told about them.
class SimButtons::Group {
 public:
  static constexpr double kSearchHorizon_s = 1e7;

  Group(SimMcu& mcu, int oid, std::vector<klippy::PinParams> pins, klippy::ButtonCallback callback)
      : mcu_(mcu),
        reactor_(mcu.reactor()),
        oid_(oid),
        pins_(std::move(pins)),
        callback_(std::move(callback)) {}

  // The MCU objects may be gone by now (they are created after this registry).
  ~Group() {
    if (timer_) reactor_.unregister_timer(timer_);
  }

  void start() {
    // The host asks the MCU to start polling at its query slot: the first whole second of
    // print time 0.5 s or more ahead, staggered by 10 ms per oid. Until the first report the host
    // knows nothing of the pins.
    const double now = mcu_.estimated_print_time(reactor_.monotonic());
    checked_until_ = std::trunc(now + kFirstQueryDelay_s) + oid_ * kQuerySlotPerOid_s;
    check_start_ = true;
    timer_ = reactor_.register_timer([this](double eventtime) { return on_report(eventtime); });
    watch_ = mcu_.watch_changes([this] {
      if (!reporting_) reactor_.update_timer(timer_, next_report_time());
    });
    reactor_.update_timer(timer_, next_report_time());
  }

 private:
  int state_at(double print_time) const {
    int state = 0;
    for (std::size_t i = 0; i < pins_.size(); ++i)
      if (mcu_.level(pins_[i], print_time)) state |= 1 << i;
    return state;
  }

  // Print time of the next level change to report (the start itself while it is unchecked).
  std::optional<double> next_change() const {
    // A level that jumped (a spool inserted or removed) differs from what was reported
    // without any change still to come.
    if (check_start_ || state_at(checked_until_) != reported_) return checked_until_;
    std::optional<double> first;
    for (const auto& pin : pins_) {
      auto change = mcu_.signal(pin.pin, pin.pullup)
                        .next_change(checked_until_, checked_until_ + kSearchHorizon_s);
      if (change && (!first || *change < *first)) first = change;
    }
    return first;
  }

  double next_report_time() {
    pending_ = next_change();
    return pending_ ? mcu_.clock().eventtime(*pending_) + kReportDelay_s : klippy::Reactor::NEVER;
  }

  double on_report(double eventtime) {
    if (pending_) {
      checked_until_ = *pending_;
      check_start_ = false;
      const int state = state_at(checked_until_);
      if (state != reported_) {
        reported_ = state;
        // The callback may wait; changes meanwhile are picked up by the return value.
        reporting_ = true;
        callback_(eventtime, state);
        reporting_ = false;
      }
    }
    return next_report_time();
  }

  SimMcu& mcu_;
  klippy::Reactor& reactor_;
  int oid_;
  std::vector<klippy::PinParams> pins_;
  klippy::ButtonCallback callback_;
  klippy::TimerHandle timer_;
  std::shared_ptr<void> watch_;
  std::optional<double> pending_;
  double checked_until_ = 0.;
  bool check_start_ = false;
  bool reporting_ = false;
  int reported_ = 0;
};

SimButtons::SimButtons(klippy::Printer& printer) : printer_(printer) {
  printer_.register_event_handler("klippy:connect", [this] { start(); });
}

SimButtons::~SimButtons() = default;

void SimButtons::register_buttons(const std::vector<std::string>& pins,
                                  klippy::ButtonCallback callback) {
  if (pins.empty()) throw klippy::ConfigError("register_buttons needs at least one pin");
  auto& registry = printer_.lookup_object<SimPins>("pins");
  std::vector<klippy::PinParams> params;
  for (const auto& desc : pins) {
    params.push_back(registry.lookup_pin(desc, true, true));
    if (params.back().chip != params.front().chip)
      throw klippy::ConfigError("Button pins " + pins.front() + " and " + desc +
                                " must be on the same mcu; register them separately");
  }
  SimMcu& mcu = SimPins::sim_chip(params.front());
  const int oid = mcu.create_oid();
  mcu.add_config_cmd("config_buttons oid=" + std::to_string(oid) +
                     " button_count=" + std::to_string(params.size()));
  groups_.push_back(std::make_unique<Group>(mcu, oid, std::move(params), std::move(callback)));
  if (started_) groups_.back()->start();
}

void SimButtons::start() {
  if (started_) return;
  started_ = true;
  for (auto& group : groups_) group->start();
}

}  // namespace sim
