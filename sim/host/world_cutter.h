// The cutter lever at the back of the bed: a toolhead stroke into it cuts whatever strand
// reaches past the cutter, at the print time the stroke ends.
#pragma once

#include <deque>

#include "klippy/host/reactor.h"
#include "sim/host/print_clock.h"
#include "sim/host/toolhead.h"
#include "sim/world/filament_world.h"

namespace sim {

struct CutterZone {
  double min_x_mm = 300.;  // the lever sits at X304
  double max_y_mm = 5.;    // pressed fully below this Y
};

class WorldCutter {
 public:
  // `on_cut` runs after every stroke that cut something.
  WorldCutter(klippy::Reactor& reactor, const PrintClock& clock, FilamentWorld& world,
              SimToolhead& toolhead, std::function<void()> on_cut, CutterZone zone = {});
  ~WorldCutter();
  WorldCutter(const WorldCutter&) = delete;
  WorldCutter& operator=(const WorldCutter&) = delete;

  int strokes() const { return strokes_; }

 private:
  void note_move(const klippy::Position& start, const klippy::Position& end, double end_time);
  double cut_due(double eventtime);
  bool in_zone(const klippy::Position& pos) const {
    return pos[0] >= zone_.min_x_mm && pos[1] <= zone_.max_y_mm;
  }

  klippy::Reactor& reactor_;
  const PrintClock& clock_;
  FilamentWorld& world_;
  std::function<void()> on_cut_;
  CutterZone zone_;
  std::deque<double> pending_cut_times_;
  klippy::TimerHandle timer_;
  int strokes_ = 0;
};

}  // namespace sim
