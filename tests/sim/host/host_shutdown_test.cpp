// A ready handler that fails shuts the simulated host down as it does the real one: the
// run goes on, every command but the host's own few answers with the shutdown message,
// and RESTART starts a healthy host again.
#include <gtest/gtest.h>

#include <algorithm>

#include "klippy/host/errors.h"
#include "klippy/host/printer.h"
#include "tests/support/test_host.h"

namespace {

using Lines = std::vector<std::string>;
using testing_support::TestHost;

class ReadyProbe final : public klippy::PrinterObject {};

// "[ready_probe]": its ready handler fails while `fail` holds; a second handler records
// whether it ran.
void add_ready_probe(sim::SimHost& host, bool fail, std::shared_ptr<int> later_ready_calls) {
  host.add_module({.name = "ready_probe",
                   .load_config =
                       [fail, later_ready_calls](klippy::ConfigSection& config) {
                         klippy::Printer& printer = config.get_printer();
                         printer.register_event_handler("klippy:ready", [fail] {
                           if (fail) throw klippy::CommandError("saved state names slot9");
                         });
                         printer.register_event_handler(
                             "klippy:ready", [later_ready_calls] { ++*later_ready_calls; });
                         return std::make_shared<ReadyProbe>();
                       },
                   .load_config_prefix = nullptr,
                   .add_printer_objects = nullptr});
}

bool contains(const Lines& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST(HostShutdown, AFailingReadyHandlerAfterARestartShutsTheHostDownAndTheRunGoesOn) {
  TestHost host;
  auto later_ready_calls = std::make_shared<int>(0);
  host.start("");
  ASSERT_NO_THROW(host.restart("[ready_probe]\n", [&](sim::SimHost& next) {
    add_ready_probe(next, true, later_ready_calls);
  }));
  const std::string message = "Internal error during ready callback: saved state names slot9";
  EXPECT_TRUE(contains(host.output(), "!! " + message)) << testing::PrintToString(host.output());
  EXPECT_TRUE(contains(host.output(), "// Klipper state: Shutdown"));
  EXPECT_EQ(*later_ready_calls, 0) << "the handlers after the failing one do not run";
  EXPECT_EQ(host.host().printer().shutdown_message(), message);

  host.host().advance(5.);
  EXPECT_EQ(host.command("NO_SUCH_COMMAND"), Lines{"!! " + message});
  EXPECT_FALSE(host.command("HELP").empty());

  host.command("RESTART");
  EXPECT_TRUE(host.host().exit_requested());
  host.restart("[ready_probe]\n",
               [&](sim::SimHost& next) { add_ready_probe(next, false, later_ready_calls); });
  EXPECT_EQ(*later_ready_calls, 1);
  EXPECT_TRUE(host.host().printer().shutdown_message().empty());
  EXPECT_EQ(host.command("NO_SUCH_COMMAND"), Lines{"// Unknown command:\"NO_SUCH_COMMAND\""});
}

// A save waits for the file writer's thread; the host forbids waits in ready handlers.
TEST(HostShutdown, ASaveInAReadyHandlerShutsTheHostDownAsTheHostDoes) {
  TestHost host;
  host.start("");
  host.restart("[ready_probe]\n", [&](sim::SimHost& next) {
    next.add_module({.name = "ready_probe",
                     .load_config =
                         [](klippy::ConfigSection& config) {
                           klippy::Printer& printer = config.get_printer();
                           printer.register_event_handler("klippy:ready", [&printer] {
                             printer.file_writer().write(
                                 printer.resolve_path("/tmp/ready_probe.txt"), "saved\n");
                           });
                           return std::make_shared<ReadyProbe>();
                         },
                     .load_config_prefix = nullptr,
                     .add_printer_objects = nullptr});
  });
  const std::string message =
      "Internal error during ready callback: Internal error - reactor pause disabled";
  EXPECT_EQ(host.host().printer().shutdown_message(), message);
  EXPECT_TRUE(contains(host.output(), "!! " + message)) << testing::PrintToString(host.output());
}

}  // namespace
