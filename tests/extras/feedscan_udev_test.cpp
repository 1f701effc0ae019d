// The production serial-device enumeration through the real libudev, against fake tty
// devices of a umockdev test bed (run under umockdev-wrapper).
#include <gtest/gtest.h>
#include <umockdev.h>

#include <algorithm>
#include <memory>

#include "klippy/extras/feedscan/box_numbering.h"
#include "klippy/extras/feedscan/udev_system_services.h"

namespace {

struct GObjectUnref {
  void operator()(UMockdevTestbed* testbed) const { g_object_unref(testbed); }
};

class FeedscanUdev : public testing::Test {
 protected:
  void SetUp() override {
    testbed_.reset(umockdev_testbed_new());
    ASSERT_TRUE(umockdev_in_mock_environment())
        << "run this program under umockdev-wrapper, as ctest does";
  }
  void add_tty(const char* name, const char* devlinks) {
    const std::string node = std::string("/dev/") + name;
    gchar* syspath =
        devlinks ? umockdev_testbed_add_device(testbed_.get(), "tty", name, nullptr, "dev", "166:0",
                                               nullptr, "DEVNAME", node.c_str(), "DEVLINKS",
                                               devlinks, nullptr)
                 : umockdev_testbed_add_device(testbed_.get(), "tty", name, nullptr, "dev", "166:1",
                                               nullptr, "DEVNAME", node.c_str(), nullptr);
    ASSERT_NE(syspath, nullptr);
    g_free(syspath);
  }
  const klippy::TtyDevice* find(const std::vector<klippy::TtyDevice>& devices,
                                const std::string& node) {
    auto it = std::find_if(devices.begin(), devices.end(),
                           [&](const klippy::TtyDevice& d) { return d.devnode == node; });
    return it == devices.end() ? nullptr : &*it;
  }

  std::unique_ptr<UMockdevTestbed, GObjectUnref> testbed_;
};

TEST_F(FeedscanUdev, TtyDevicesComeWithTheirNodeAndEveryLink) {
  add_tty("ttyACM0",
          "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0 "
          "/dev/serial/by-id/usb-Klipper_stm32f072xb_ZEKA_BOX_V1_1.0.0_BOX1-if00");
  add_tty("ttyACM1", "/dev/serial/by-id/usb-ZUR_COLOR_BOOT_BOX2-if00");
  add_tty("ttyS0", nullptr);
  auto services = feedscan::make_udev_system_services();
  const auto devices = services->list_tty_devices();
  ASSERT_EQ(devices.size(), 3u);

  const auto* box = find(devices, "/dev/ttyACM0");
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->devlinks,
            (std::vector<std::string>{
                "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0",
                "/dev/serial/by-id/usb-Klipper_stm32f072xb_ZEKA_BOX_V1_1.0.0_BOX1-if00"}));
  const auto* boot = find(devices, "/dev/ttyACM1");
  ASSERT_NE(boot, nullptr);
  EXPECT_EQ(boot->devlinks,
            std::vector<std::string>{"/dev/serial/by-id/usb-ZUR_COLOR_BOOT_BOX2-if00"});
  const auto* plain = find(devices, "/dev/ttyS0");
  ASSERT_NE(plain, nullptr);
  EXPECT_TRUE(plain->devlinks.empty());
}

// Numbers from the libudev listing of the boxes on two device nodes, either way round.
std::vector<std::string> numbered_links() {
  feedscan::DetectedDevices found;
  for (const auto& device : feedscan::make_udev_system_services()->list_tty_devices()) {
    if (auto link = feedscan::first_link(device.devlinks, feedscan::kBoxV1Marker))
      found.add(device.devnode, *link);
  }
  const auto numbered = feedscan::number_boxes(found, {});
  std::vector<std::string> links;
  for (const auto& entry : numbered.entries()) links.push_back(entry.second);
  return links;
}

const char* kLinkA = "/dev/serial/by-id/usb-Klipper_stm32f072xb_ZEKA_BOX_V1_1.0.0_A-if00";
const char* kLinkB = "/dev/serial/by-id/usb-Klipper_stm32f072xb_ZEKA_BOX_V1_1.0.0_B-if00";

TEST_F(FeedscanUdev, BoxNumbersDoNotDependOnTheOrderLibudevListsTheBoxesIn) {
  add_tty("ttyACM0", kLinkB);
  add_tty("ttyACM1", kLinkA);
  EXPECT_EQ(numbered_links(), (std::vector<std::string>{kLinkA, kLinkB}));
}

TEST_F(FeedscanUdev, BoxNumbersDoNotDependOnTheOrderLibudevListsTheBoxesInSwapped) {
  add_tty("ttyACM0", kLinkA);
  add_tty("ttyACM1", kLinkB);
  EXPECT_EQ(numbered_links(), (std::vector<std::string>{kLinkA, kLinkB}));
}

TEST_F(FeedscanUdev, OtherSubsystemsAreNotListed) {
  gchar* syspath = umockdev_testbed_add_device(testbed_.get(), "usb", "usb1", nullptr, nullptr,
                                               "DEVNAME", "/dev/bus/usb/001/001", nullptr);
  g_free(syspath);
  EXPECT_TRUE(feedscan::make_udev_system_services()->list_tty_devices().empty());
}

}  // namespace
