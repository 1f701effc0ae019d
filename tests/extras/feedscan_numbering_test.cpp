// Which controller gets which box number, which numbers changed box, and which saved
// values belong to a box's slots.
#include <gtest/gtest.h>

#include "klippy/extras/feedscan/box_numbering.h"
#include "klippy/extras/feedscan/box_slot_data.h"

namespace {

using Serials = std::vector<std::optional<std::string>>;
using klippy::Value;

std::string link(const std::string& serial, const std::string& version = "1.0.0") {
  return "/dev/serial/by-id/usb-Klipper_ZEKA_BOX_V1_" + version + "_" + serial + "-if00";
}

feedscan::DetectedDevices found(std::vector<std::pair<std::string, std::string>> devices) {
  feedscan::DetectedDevices result;
  for (auto& [node, l] : devices) result.add(node, l);
  return result;
}

std::vector<std::string> links_in_box_order(const feedscan::DetectedDevices& devices) {
  std::vector<std::string> links;
  for (const auto& entry : devices.entries()) links.push_back(entry.second);
  return links;
}

TEST(FeedscanNumbering, NewBoxesAreNumberedByTheirLinksWhateverTheirPortOrDeviceNode) {
  const auto one_way = found({{"/dev/ttyACM0", link("B")}, {"/dev/ttyACM1", link("A")}});
  const auto other_way = found({{"/dev/ttyACM1", link("A")}, {"/dev/ttyACM0", link("B")}});
  const std::vector<std::string> expected = {link("A"), link("B")};
  EXPECT_EQ(links_in_box_order(feedscan::number_boxes(one_way, Serials(4))), expected);
  EXPECT_EQ(links_in_box_order(feedscan::number_boxes(other_way, Serials(4))), expected);
}

TEST(FeedscanNumbering, AConfiguredBoxKeepsItsNumberWhenAnotherIsPlugged) {
  // B was box 1 alone; A, plugged in, sorts first but takes the free number.
  const auto devices = found({{"/dev/ttyACM0", link("A")}, {"/dev/ttyACM1", link("B")}});
  EXPECT_EQ(links_in_box_order(feedscan::number_boxes(devices, {link("B"), {}, {}, {}})),
            (std::vector<std::string>{link("B"), link("A")}));
  // A flashed box is still the same box.
  EXPECT_EQ(links_in_box_order(feedscan::number_boxes(devices, {link("B", "0.9.0"), {}, {}, {}})),
            (std::vector<std::string>{link("B"), link("A")}));
}

TEST(FeedscanNumbering, BoxesMoveDownWhenTheirNumberNoLongerExists) {
  // Box 1 (A) unplugged: C, box 3, and B, box 2, are two boxes now.
  const auto devices = found({{"/dev/ttyACM2", link("C")}, {"/dev/ttyACM1", link("B")}});
  const Serials configured = {link("A"), link("B"), link("C"), {}};
  const auto numbered = feedscan::number_boxes(devices, configured);
  EXPECT_EQ(links_in_box_order(numbered), (std::vector<std::string>{link("C"), link("B")}));
  EXPECT_EQ(feedscan::boxes_changed(configured, numbered), (std::vector<int>{1, 3}));
}

TEST(FeedscanNumbering, OnlyNumbersWhoseBoxChangedCount) {
  const auto same = found({{"/dev/ttyACM0", link("A", "1.2.0")}});
  EXPECT_TRUE(feedscan::boxes_changed({link("A"), {}, {}, {}}, same).empty());
  EXPECT_EQ(feedscan::boxes_changed({{}, {}, {}, {}}, same), (std::vector<int>{1}));
  EXPECT_EQ(feedscan::boxes_changed({link("A"), link("B"), {}, {}}, same), (std::vector<int>{2}));
  EXPECT_EQ(feedscan::boxes_changed({"/dev/null", {}, {}, {}}, same), (std::vector<int>{1}));
}

TEST(FeedscanSlotData, ABoxsKeysAreItsSlotsStatesTagsAndWhatNamesThem) {
  const klippy::VariableMap variables = {{"box_count", Value(2)},
                                         {"slot3", Value(1)},
                                         {"slot4", Value(2)},
                                         {"slot7", Value(0)},
                                         {"filament_slot4", Value(3)},
                                         {"color_slot5", Value("ff0000")},
                                         {"vendor_slot6", Value(1)},
                                         {"filament_slot0", Value(1)},
                                         {"value_t0", Value("slot5")},
                                         {"value_t1", Value("slot1")},
                                         {"value_t12", Value("slot4")},
                                         {"slot_sync", Value("slot4")},
                                         {"last_load_slot", Value("slot4")},
                                         {"retry_step", Value()},
                                         {"runout_4", Value(2)},
                                         {"slot_load_length_1", Value(100)}};
  auto keys = feedscan::saved_keys_of_box(variables, 2);
  std::sort(keys.begin(), keys.end());
  EXPECT_EQ(keys, (std::vector<std::string>{"color_slot5", "filament_slot4", "last_load_slot",
                                            "slot4", "slot7", "slot_sync", "value_t0", "value_t12",
                                            "vendor_slot6"}));
  keys = feedscan::saved_keys_of_box(variables, 1);
  std::sort(keys.begin(), keys.end());
  EXPECT_EQ(keys, (std::vector<std::string>{"filament_slot0", "slot3", "value_t1"}));
  EXPECT_TRUE(feedscan::saved_keys_of_box(variables, 4).empty());
}

}  // namespace
