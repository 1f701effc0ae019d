#include "sim/host/world_cutter.h"

namespace sim {

WorldCutter::WorldCutter(klippy::Reactor& reactor, const PrintClock& clock, FilamentWorld& world,
                         SimToolhead& toolhead, std::function<void()> on_cut, CutterZone zone)
    : reactor_(reactor), clock_(clock), world_(world), on_cut_(std::move(on_cut)), zone_(zone) {
  timer_ = reactor_.register_timer([this](double eventtime) { return cut_due(eventtime); });
  toolhead.add_move_observer([this](const klippy::Position& start, const klippy::Position& end,
                                    double end_time) { note_move(start, end, end_time); });
}

WorldCutter::~WorldCutter() {
  reactor_.unregister_timer(timer_);
}

void WorldCutter::note_move(const klippy::Position& start, const klippy::Position& end,
                            double end_time) {
  if (in_zone(start) || !in_zone(end)) return;
  ++strokes_;
  // The cut is applied once the stroke has been executed, when the strands' motion up to
  // that moment is final.
  if (pending_cut_times_.empty()) reactor_.update_timer(timer_, clock_.eventtime(end_time));
  pending_cut_times_.push_back(end_time);
}

double WorldCutter::cut_due(double eventtime) {
  // Compared in reactor time: the timer was set from exactly these values, while the way
  // back to print time may round below them.
  while (!pending_cut_times_.empty() && clock_.eventtime(pending_cut_times_.front()) <= eventtime) {
    const int cuts = world_.cut(pending_cut_times_.front());
    pending_cut_times_.pop_front();
    if (cuts > 0 && on_cut_) on_cut_();
  }
  if (pending_cut_times_.empty()) return klippy::Reactor::NEVER;
  return clock_.eventtime(pending_cut_times_.front());
}

}  // namespace sim
