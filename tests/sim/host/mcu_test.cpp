// Micro-controllers, pin descriptions and reservations, configuration callbacks, queries.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "klippy/host/errors.h"
#include "tests/sim/host/mcu_test_support.h"
#include "tests/support/start_error.h"

namespace {

using mcu_testing::McuHost;
using ::testing::HasSubstr;

std::string config_error(const std::string& config) {
  return testing_support::start_error<testing_support::TestHost>(config);
}

TEST_F(McuHost, ParsesPinDescriptionsOfEveryChip) {
  start();
  auto p = pins().parse_pin("^!mcu_box1:PB3", true, true);
  EXPECT_EQ(p.chip, &mcu("mcu mcu_box1"));
  EXPECT_EQ(p.chip_name, "mcu_box1");
  EXPECT_EQ(p.pin, "PB3");
  EXPECT_TRUE(p.invert);
  EXPECT_EQ(p.pullup, 1);
  auto q = pins().parse_pin(" ~PA0 ", true, true);
  EXPECT_EQ(q.chip, &mcu());
  EXPECT_EQ(q.pullup, -1);
  EXPECT_FALSE(q.invert);

  auto message = [&](const std::string& desc, bool invert, bool pullup) {
    try {
      pins().parse_pin(desc, invert, pullup);
    } catch (const klippy::ConfigError& e) {
      return std::string(e.what());
    }
    return std::string();
  };
  EXPECT_THAT(message("nochip:PA1", true, true), HasSubstr("Unknown pin chip name 'nochip'"));
  EXPECT_THAT(message("PA1!", true, true), HasSubstr("Invalid pin description 'PA1!'"));
  EXPECT_THAT(message("", true, true), HasSubstr("Invalid pin description"));
  EXPECT_THAT(message("^PA1", true, false), HasSubstr("does not support pullup"));
  EXPECT_THAT(message("!PA1", false, true), HasSubstr("does not support invert"));
}

TEST_F(McuHost, ReservationsAreExclusiveUnlessShared) {
  start();
  pins().lookup_pin("mcu_box1:PA1");
  EXPECT_NO_THROW(pins().lookup_pin("PA1"));  // another chip
  try {
    pins().lookup_pin("!mcu_box1:PA1", true);
    FAIL() << "second reservation accepted";
  } catch (const klippy::ConfigError& e) {
    EXPECT_THAT(e.what(), HasSubstr("pin PA1 used multiple times in config"));
    EXPECT_THAT(e.what(), HasSubstr("mcu_box1"));
  }
  pins().lookup_pin("PC1", false, false, "spi_cs");
  EXPECT_NO_THROW(pins().lookup_pin("PC1", false, false, "spi_cs"));
  EXPECT_THROW(pins().lookup_pin("PC1"), klippy::ConfigError);
  pins().allow_multi_use_pin("PC2");
  pins().lookup_pin("PC2", true, true);
  EXPECT_NO_THROW(pins().lookup_pin("PC2", true, true));
  EXPECT_THROW(pins().lookup_pin("^PC2", true, true), klippy::ConfigError);  // other pull-up
}

TEST(McuConfig, PinErrorsNameTheSection) {
  std::string twice =
      config_error("[led one]\nred_pin: PA5\n[led two]\ngreen_pin: PB1\nblue_pin: PA5\n");
  EXPECT_THAT(twice, HasSubstr("pin PA5 used multiple times in config"));
  EXPECT_THAT(twice, HasSubstr("section 'led two'"));
  std::string bad =
      config_error("[filament_motion_sensor enc]\nswitch_pin: box9:PA1\nextruder: extruder\n");
  EXPECT_THAT(bad, HasSubstr("Unknown pin chip name 'box9'"));
  EXPECT_THAT(bad, HasSubstr("section 'filament_motion_sensor enc'"));
  EXPECT_THAT(config_error("[mcu]\nbogus: 1\n"), HasSubstr("Option 'bogus' is not valid"));
}

// A component that builds its MCU commands the way firmware-backed modules do.
class ConfigUser : public klippy::PrinterObject {
 public:
  explicit ConfigUser(klippy::ConfigSection& config)
      : mcu_(config.get_printer().lookup_object<sim::SimMcu>("mcu mcu_box1")) {
    oid_ = mcu_.create_oid();
    mcu_.add_config_cmd("query_thing oid=" + std::to_string(oid_), true);
    mcu_.register_config_callback([this] {
      events.push_back("config");
      mcu_.add_config_cmd("config_thing oid=" + std::to_string(oid_));
    });
    config.get_printer().register_event_handler("klippy:ready",
                                                [this] { events.push_back("ready"); });
  }
  std::vector<std::string> events;

 private:
  sim::SimMcu& mcu_;
  int oid_;
};

TEST_F(McuHost, ConfigCallbacksRunBeforeReady) {
  host().add_module({"config_user",
                     [](klippy::ConfigSection& c) { return std::make_shared<ConfigUser>(c); },
                     {},
                     {}});
  start("[config_user]\n");
  auto& user = host().printer().lookup_object<ConfigUser>("config_user");
  EXPECT_EQ(user.events, (std::vector<std::string>{"config", "ready"}));
  EXPECT_EQ(mcu("mcu mcu_box1").dump_config(),
            "query_thing oid=0  (on restart)\nconfig_thing oid=0\n");
  bool late = false;
  mcu("mcu mcu_box1").register_config_callback([&] { late = true; });
  EXPECT_TRUE(late);
}

TEST_F(McuHost, QueriesAreAnsweredByTheRegisteredDevice) {
  start();
  sim::SimMcu& box = mcu("mcu mcu_box1");
  std::vector<klippy::Value> seen;
  box.register_device("fm17550_read_card_cb", [&](const std::vector<klippy::Value>& args) {
    seen = args;
    return std::map<std::string, klippy::Value>{{"oid", args.at(0)}, {"status", 1}};
  });
  auto query = box.lookup_query_command("fm17550_read_card_cb oid=%c",
                                        "fm17550_read_card_return oid=%c status=%c data=%*s", 3,
                                        box.alloc_command_queue());
  std::map<std::string, klippy::Value> answer;
  const double sent = host().reactor().monotonic();
  double answered = 0.;
  host().reactor().register_callback([&](double) {
    answer = query->send({3});
    answered = host().reactor().monotonic();
    return klippy::Value();
  });
  ASSERT_TRUE(host().run_until([&] { return answered > 0.; }, 1.0));
  EXPECT_EQ(answer.at("status"), klippy::Value(1));
  EXPECT_EQ(seen, (std::vector<klippy::Value>{3}));
  EXPECT_NEAR(answered - sent, sim::SimMcu::kQueryLatency_s, 1e-9);
}

TEST_F(McuHost, UnansweredOrUnpluggedQueriesTimeOut) {
  start();
  sim::SimMcu& box = mcu("mcu mcu_box1");
  auto nobody = box.lookup_query_command("get_thing oid=%c", "thing_state oid=%c v=%u", 1);
  const double sent = host().reactor().monotonic();
  try {
    nobody->send({1});
    FAIL() << "unanswered query returned";
  } catch (const klippy::CommandError& e) {
    EXPECT_THAT(e.what(), HasSubstr("Timeout on wait for 'thing_state' response"));
  }
  EXPECT_NEAR(host().reactor().monotonic() - sent, sim::SimMcu::kQueryTimeout_s, 1e-6);

  box.register_device("get_thing", [](const std::vector<klippy::Value>&) {
    return std::map<std::string, klippy::Value>{{"v", 7}};
  });
  EXPECT_EQ(nobody->send({1}).at("v"), klippy::Value(7));
  box.set_connected(false);
  EXPECT_THROW(nobody->send({1}), klippy::CommandError);
}

}  // namespace
