#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "klippy/host/errors.h"
#include "klippy/host/gcode.h"
#include "sim/host/gcode.h"
#include "tests/support/test_host.h"

namespace {

using Lines = std::vector<std::string>;
using testing_support::TestHost;

TEST(GCodeParsing, ClassicAndExtendedCommands) {
  auto classic = sim::parse_gcode_line("g1 x10 E-2.5 ; comment");
  EXPECT_EQ(classic.command, "G1");
  EXPECT_EQ(classic.params.at("X"), "10");
  EXPECT_EQ(classic.params.at("E"), "-2.5");

  auto extended = sim::parse_gcode_line("set_x a=5 Name=\"two words\" c='x=y'");
  EXPECT_EQ(extended.command, "SET_X");
  EXPECT_EQ(extended.params.at("A"), "5");
  EXPECT_EQ(extended.params.at("NAME"), "two words");
  EXPECT_EQ(extended.params.at("C"), "x=y");

  EXPECT_TRUE(sim::parse_gcode_line("   ; only a comment").command.empty());
  EXPECT_THROW(sim::parse_gcode_line("SET_X a=5 loose"), klippy::CommandError);
  EXPECT_THROW(sim::parse_gcode_line("SET_X a=\"unterminated"), klippy::CommandError);
}

class Dispatcher : public ::testing::Test {
 protected:
  void SetUp() override {
    host.start("");
    gcode = &host.host().gcode();
  }
  TestHost host;
  // Through the interface, as modules see it (and with its default arguments).
  klippy::GCodeDispatch* gcode = nullptr;
};

TEST_F(Dispatcher, ErrorsAreReportedAndTheHostGoesOn) {
  gcode->register_command("FAILS",
                          [](klippy::GCodeCommand& g) { throw g.error("it broke\nmore"); });
  gcode->register_command("CRASHES", [](klippy::GCodeCommand&) { throw std::logic_error("bug"); });
  EXPECT_EQ(host.command("FAILS"), (Lines{"// it broke\n// more", "!! it broke"}));
  EXPECT_EQ(host.command("crashes"), (Lines{"!! Internal error on command:\"CRASHES\""}));
  EXPECT_EQ(host.command("NOPE X=1"), (Lines{"// Unknown command:\"NOPE\""}));
  EXPECT_EQ(host.command("NOPE loose"), (Lines{"!! Malformed command 'NOPE loose'"}));
  EXPECT_THROW(gcode->register_command("FAILS", [](klippy::GCodeCommand&) {}), klippy::ConfigError);
}

TEST_F(Dispatcher, ParameterGettersUseTheHostMessages) {
  long long got = 0;
  gcode->register_command("TAKE", [&](klippy::GCodeCommand& g) {
    got = g.get_int("N", {}, {.minval = 1, .maxval = 9});
    g.get_float("F", 1.0, {.above = 0.0});
  });
  EXPECT_EQ(host.command("TAKE"), (Lines{"!! Error on 'TAKE': missing N"}));
  EXPECT_EQ(host.command("TAKE N=x"), (Lines{"!! Error on 'TAKE N=x': unable to parse x"}));
  EXPECT_EQ(host.command("TAKE N=0"), (Lines{"!! Error on 'TAKE N=0': N must have minimum of 1"}));
  EXPECT_EQ(host.command("TAKE N=10"),
            (Lines{"!! Error on 'TAKE N=10': N must have maximum of 9"}));
  EXPECT_EQ(host.command("TAKE N=2 F=0"),
            (Lines{"!! Error on 'TAKE N=2 F=0': F must be above 0.0"}));
  EXPECT_EQ(host.command("TAKE N=2 F=nan"),
            (Lines{"!! Error on 'TAKE N=2 F=nan': unable to parse nan"}));
  EXPECT_TRUE(host.command("TAKE N=3").empty());
  EXPECT_EQ(got, 3);
}

TEST_F(Dispatcher, MuxCommandsRouteByKeyAndListValidValues) {
  std::string seen;
  for (const char* slot : {"slot0", "slot1"}) {
    gcode->register_mux_command("PICK", "SLOT", slot,
                                [&seen, slot](klippy::GCodeCommand&) { seen = slot; });
  }
  host.command("PICK SLOT=slot1");
  EXPECT_EQ(seen, "slot1");
  EXPECT_EQ(host.command("PICK"), (Lines{"!! Error on 'PICK': missing SLOT"}));
  EXPECT_EQ(host.command("PICK SLOT=Slot1"),
            (Lines{"!! The value 'Slot1' is not valid for SLOT (valid: slot0, slot1)"}));
  EXPECT_THROW(gcode->register_mux_command("PICK", "BOX", "b", [](klippy::GCodeCommand&) {}),
               klippy::ConfigError);
  EXPECT_THROW(gcode->register_mux_command("PICK", "SLOT", "slot0", [](klippy::GCodeCommand&) {}),
               klippy::ConfigError);
}

TEST_F(Dispatcher, HelpListsCommandsWithAHelpTextAsTheHostDoes) {
  gcode->register_command("QUIET", [](klippy::GCodeCommand&) {});
  gcode->register_command(
      "AN_EXTENDED_NAME", [](klippy::GCodeCommand&) {}, "Long name");
  gcode->register_command(
      "M999", [](klippy::GCodeCommand&) {}, "A traditional one");
  // A mux command keeps the help of its first registration.
  gcode->register_mux_command(
      "PICK", "SLOT", "slot0", [](klippy::GCodeCommand&) {}, "Pick a slot");
  gcode->register_mux_command(
      "PICK", "SLOT", "slot1", [](klippy::GCodeCommand&) {}, "Another text");
  gcode->register_mux_command("NUDGE", "SLOT", "slot0", [](klippy::GCodeCommand&) {});
  gcode->register_mux_command(
      "NUDGE", "SLOT", "slot1", [](klippy::GCodeCommand&) {}, "Too late");

  Lines help;
  for (const std::string& output : host.command("HELP")) {
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) help.push_back(line);
  }
  ASSERT_FALSE(help.empty());
  EXPECT_EQ(help.front(), "// Available extended commands:");
  auto listed = [&help](const std::string& line) {
    return std::find(help.begin(), help.end(), "// " + line) != help.end();
  };
  EXPECT_TRUE(listed("PICK      : Pick a slot"));
  EXPECT_TRUE(listed("AN_EXTENDED_NAME: Long name"));
  EXPECT_TRUE(listed("M999      : A traditional one"));
  EXPECT_TRUE(listed("HELP      : Report the list of available extended G-Code commands"));
  for (const std::string& line : help) {
    EXPECT_EQ(line.find("QUIET"), std::string::npos) << line;
    EXPECT_EQ(line.find("NUDGE"), std::string::npos) << line;
  }
  // Sorted by name, as the host sorts them.
  Lines names;
  for (auto line = help.begin() + 1; line != help.end(); ++line)
    names.push_back(line->substr(3, line->find_first_of(" :", 3) - 3));
  EXPECT_TRUE(std::is_sorted(names.begin(), names.end())) << testing::PrintToString(names);

  const auto commands = host.host().gcode().command_help();
  EXPECT_EQ(commands.at("QUIET"), "");
  EXPECT_EQ(commands.at("PICK"), "Pick a slot");
  EXPECT_EQ(commands.at("NUDGE"), "");
}

TEST_F(Dispatcher, ScriptErrorsAreReportedThenRaisedToTheCaller) {
  gcode->register_command("OUTER", [&](klippy::GCodeCommand&) {
    gcode->run_script_from_command("MISSING_ARG X=1\nMISSING_ARG");
  });
  gcode->register_command("MISSING_ARG", [](klippy::GCodeCommand& g) { g.get("X"); });
  auto out = host.command("OUTER");
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0], "!! Error on 'MISSING_ARG': missing X");
  EXPECT_EQ(out[1], "!! Error on 'MISSING_ARG': missing X");
}

TEST_F(Dispatcher, RunScriptFromATimerWaitsForTheRunningCommand) {
  auto& reactor = host.host().reactor();
  std::vector<std::string> order;
  gcode->register_command("SLOW", [&](klippy::GCodeCommand&) {
    order.push_back("slow start");
    reactor.pause(reactor.monotonic() + 2.0);
    order.push_back("slow end");
  });
  gcode->register_command("MARK", [&](klippy::GCodeCommand&) { order.push_back("mark"); });
  reactor.register_timer(
      [&](double) {
        gcode->run_script("MARK");
        return klippy::Reactor::NEVER;
      },
      reactor.monotonic() + 0.5);
  host.command("SLOW");
  host.host().advance(1.0);
  EXPECT_EQ(order, (std::vector<std::string>{"slow start", "slow end", "mark"}));
}

TEST_F(Dispatcher, RespondInfoPrefixesEveryLine) {
  gcode->respond_info("  first \n second", false);
  gcode->respond_raw("!! raw");
  EXPECT_EQ(host.output(), (Lines{"// first\n// second", "!! raw"}));
}

}  // namespace

namespace {

// A host taken down while one script holds the G-code lock and another waits for it: the
// waiting tasks unwind while the dispatcher still exists (a sanitizer build sees the
// difference).
TEST(HostTeardown, TasksWaitingForTheGCodeLockUnwindBeforeTheDispatcherGoes) {
  auto host = std::make_unique<TestHost>();
  host->start("");
  sim::SimHost& sim_host = host->host();
  klippy::GCodeDispatch& gcode = sim_host.gcode();
  gcode.register_command("SLOW", [&sim_host](klippy::GCodeCommand&) {
    sim_host.reactor().pause(sim_host.reactor().monotonic() + 100.);
  });
  int started = 0;
  for (int task = 0; task < 2; ++task) {
    sim_host.reactor().register_callback([&gcode, &started](double) {
      ++started;
      gcode.run_script("SLOW");
      return klippy::Value();
    });
  }
  sim_host.advance(1.0);
  EXPECT_EQ(started, 2);
  host.reset();
}

}  // namespace
