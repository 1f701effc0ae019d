// Box detection leaves the configuration alone while a print runs: a box plugged in then is
// taken in only once the print has ended, also when the toolhead sits idle in the print
// (heating up), where the printer otherwise counts as ready.
#include <gtest/gtest.h>

#include "apps/feedbox/box_templates.h"
#include "apps/feedbox/session.h"
#include "sim/host/print_stats.h"
#include "tests/support/test_host.h"

namespace {

TEST(FeedscanDuringAPrint, APluggedBoxRewritesNothingAndRestartsNothingUntilThePrintEnds) {
  testing_support::TempDir dir;
  feedbox::SessionOptions options;
  options.boxes = 1;
  options.data_dir = dir.path();
  feedbox::Session session(std::move(options));
  auto live = [&] {
    return testing_support::read_file(session.host().printer().resolve_path(feedbox::kLiveBoxCfg));
  };
  // Past the start-up tasks, so that only the print keeps the printer from being ready.
  session.advance(3.5);
  session.run_command("G4 P10");
  session.advance(30);
  const std::string before = live();
  auto& print_stats = session.host().printer().lookup_object<sim::SimPrintStats>("print_stats");
  print_stats.note_start("heat_up.gcode");
  session.run_command("SIM_USB ACTION=plug BOX=2");
  session.advance(60);
  auto* idle = session.host().printer().find_object("idle_timeout");
  ASSERT_NE(idle, nullptr);
  const auto idle_status = idle->get_status(session.host().reactor().monotonic());
  ASSERT_TRUE(idle_status && idle_status->find("state"));
  EXPECT_EQ(idle_status->find("state")->str(), "Ready") << "the toolhead idles in the print";
  EXPECT_EQ(session.restarts(), 0);
  EXPECT_EQ(live(), before);

  print_stats.note_complete();
  session.advance(12);
  EXPECT_EQ(session.restarts(), 1);
  EXPECT_NE(live(), before);
}

}  // namespace
