#include "klippy/host/motion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "klippy/host/errors.h"
#include "sim/world/stepper.h"
#include "sim/world/trapq.h"

namespace {

using klippy::calc_move_time;

TEST(CalcMoveTime, SplitsIntoPhases) {
  // Long move: reaches full speed; accel and decel take speed/accel each.
  auto m = calc_move_time(100., 10., 50.);
  EXPECT_DOUBLE_EQ(m.axis_r, 1.);
  EXPECT_DOUBLE_EQ(m.accel_t, 0.2);
  EXPECT_DOUBLE_EQ(m.cruise_v, 10.);
  EXPECT_DOUBLE_EQ(m.cruise_t, (100. - 0.2 * 10.) / 10.);

  // Too short for the speed: the speed drops to sqrt(dist * accel), no cruise.
  m = calc_move_time(2., 100., 50.);
  EXPECT_DOUBLE_EQ(m.cruise_v, 10.);
  EXPECT_DOUBLE_EQ(m.accel_t, 0.2);
  EXPECT_NEAR(m.cruise_t, 0., 1e-12);

  m = calc_move_time(-30., 15., 0.);
  EXPECT_DOUBLE_EQ(m.axis_r, -1.);
  EXPECT_DOUBLE_EQ(m.accel_t, 0.);
  EXPECT_DOUBLE_EQ(m.cruise_t, 2.);
  EXPECT_DOUBLE_EQ(m.cruise_v, 15.);

  m = calc_move_time(-100., 10., 50.);
  EXPECT_DOUBLE_EQ(m.axis_r, -1.);
  EXPECT_DOUBLE_EQ(m.accel_t, 0.2);

  m = calc_move_time(0., 10., 50.);
  EXPECT_DOUBLE_EQ(m.cruise_t, 0.);
}

// A force_move-style single-axis move on axis 0.
void queue_move(sim::SimTrapq& q, double t, double start, double dist, double speed, double accel) {
  const auto m = calc_move_time(dist, speed, accel);
  q.append(t, m.accel_t, m.cruise_t, m.accel_t, {start, 0., 0.}, {m.axis_r, 0., 0.}, 0., m.cruise_v,
           accel);
}

TEST(SimTrapq, PositionAcrossPhasesAndHolds) {
  sim::SimTrapq q;
  queue_move(q, 1., 5., 100., 10., 50.);  // accel 0.2 s, cruise 9.8 s, decel 0.2 s
  EXPECT_DOUBLE_EQ(q.position_at(0.)[0], 5.);
  EXPECT_NEAR(q.position_at(1.1)[0], 5. + 0.5 * 50. * 0.01, 1e-12);
  EXPECT_NEAR(q.position_at(1.2)[0], 6., 1e-12);
  EXPECT_NEAR(q.position_at(6.)[0], 6. + 48., 1e-9);
  EXPECT_NEAR(q.position_at(11.1)[0], 105. - 0.5 * 50. * 0.01, 1e-9);
  EXPECT_NEAR(q.position_at(100.)[0], 105., 1e-9);
  EXPECT_NEAR(q.end_time(), 11.2, 1e-12);

  // Zero-length phases are skipped; a pure cruise move has one segment.
  sim::SimTrapq cruise;
  cruise.append(0., 0., 2., 0., {0., 0., 0.}, {1., 0., 0.}, 3., 3., 0.);
  auto segs = cruise.segments(-1., 10.);
  ASSERT_EQ(segs.size(), 1u);
  EXPECT_DOUBLE_EQ(segs[0].start_v, 3.);
  EXPECT_EQ(cruise.queued_phases(), 1u);
}

TEST(SimTrapq, SegmentsAreClippedQuadratics) {
  sim::SimTrapq q;
  queue_move(q, 0., 0., -100., 10., 50.);
  auto segs = q.segments(0.1, 10.1);
  ASSERT_EQ(segs.size(), 3u);
  EXPECT_DOUBLE_EQ(segs[0].start_time, 0.1);
  EXPECT_NEAR(segs[0].start_v, -5., 1e-12);
  EXPECT_DOUBLE_EQ(segs[0].accel, -50.);
  EXPECT_DOUBLE_EQ(segs[2].end_time, 10.1);
  EXPECT_DOUBLE_EQ(segs[2].accel, 50.);
  for (const auto& s : segs)
    EXPECT_NEAR(s.position_at(s.end_time), q.position_at(s.end_time)[0], 1e-9);
}

TEST(SimTrapq, TruncationHoldsPositionAndDropsLaterMoves) {
  sim::SimTrapq q;
  queue_move(q, 0., 0., 100., 10., 50.);
  queue_move(q, 20., 100., 50., 10., 50.);
  const double at_trip = q.position_at(3.)[0];
  q.truncate_at(3.);
  EXPECT_DOUBLE_EQ(q.position_at(3.)[0], at_trip);
  EXPECT_DOUBLE_EQ(q.position_at(50.)[0], at_trip);
  EXPECT_DOUBLE_EQ(q.end_time(), 3.);
  EXPECT_TRUE(q.segments(3., 100.).empty());
  // New motion after the trip runs normally.
  queue_move(q, 5., at_trip, 10., 10., 50.);
  EXPECT_NEAR(q.position_at(50.)[0], at_trip + 10., 1e-9);
}

TEST(SimTrapq, FinalizeFreesOldHistoryButKeepsPosition) {
  sim::SimTrapq q;
  for (int i = 0; i < 100; ++i) queue_move(q, i, i, 1., 10., 100.);
  q.finalize_moves(50.5, 40.);
  EXPECT_LT(q.queued_phases(), 300u);
  EXPECT_NEAR(q.position_at(10.)[0], 40., 1e-9);  // freed history: the last freed position
  EXPECT_NEAR(q.position_at(45.5)[0], 46., 1e-9);
  q.finalize_moves(1000., 1000.);
  EXPECT_EQ(q.queued_phases(), 0u);
  EXPECT_NEAR(q.position_at(5000.)[0], 100., 1e-9);
}

TEST(SimStepper, StepDistanceAndValidation) {
  sim::SimStepper s({"stepper slot0", 22.6789511, 16, 200, 1.});
  EXPECT_DOUBLE_EQ(s.get_step_dist(), 22.6789511 / 3200.);
  sim::SimStepper geared({"extruder", 33.5, 16, 200, 50. / 10.});
  EXPECT_DOUBLE_EQ(geared.get_step_dist(), 33.5 / (3200. * 5.));
  EXPECT_THROW(sim::SimStepper({"stepper bad", 0., 16, 200, 1.}), klippy::ConfigError);
}

TEST(SimStepper, FollowsQueueWithOffsetAndSwitchesQueues) {
  sim::SimStepper s({"stepper slot0", 20., 16});
  auto own = std::make_shared<sim::SimTrapq>();
  auto other = std::make_shared<sim::SimTrapq>();
  EXPECT_EQ(s.set_trapq(own), nullptr);
  queue_move(*own, 0., 0., 10., 10., 100.);
  s.set_position({100., 0., 0.});  // queue end (10) now maps to 100
  EXPECT_NEAR(s.get_commanded_position(5.), 100., 1e-9);
  EXPECT_NEAR(s.get_commanded_position(0.), 90., 1e-9);

  queue_move(*other, 0.5, 0., 5., 10., 100.);  // before the switch: not ours
  EXPECT_EQ(s.set_trapq(other), own);
  const double switched = other->end_time();
  queue_move(*other, 3., 5., 5., 10., 100.);
  EXPECT_EQ(s.queue_at(0.2), own.get());
  EXPECT_EQ(s.queue_at(switched + 0.1), other.get());
  double moved = 0.;
  for (const auto& seg : s.segments(0., 10.))
    moved += seg.position_at(seg.end_time) - seg.start_pos;
  EXPECT_NEAR(moved, 10. + 5., 1e-9);

  s.stop_at(3.3);
  const double held = s.get_commanded_position(3.3);
  EXPECT_DOUBLE_EQ(s.get_commanded_position(10.), held);
}

}  // namespace
