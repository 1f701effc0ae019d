#include "tests/extras/feedtag_fixture.h"

#include <deque>
#include <memory>

#include "klippy/extras/feedhub/feedhub.h"
#include "klippy/extras/feedtag/module.h"

namespace feedtag_test {

TagHost::TagHost() {
  host().add_module(feedtag::feedtag_module());
}

void TagHost::start(const TagSetup& setup) {
  feedlane_test::PrinterSetup printer;
  printer.world = setup.world;
  for (int n = 1; n <= 2; ++n)
    printer.extra += "[feedtag card_reader_" + std::to_string(n) +
                     "]\ncs_pin: mcu_box1:" + kReaderPins[n - 1] + "\n";
  std::string text = feedlane_test::printer_config(printer);
  // The world's section comes last: further options extend it.
  if (setup.world) {
    for (int n = 1; n <= 2; ++n)
      text += "reader" + std::to_string(n) + "_cs_pin: mcu_box1:" + kReaderPins[n - 1] + "\n";
    text += setup.world_options;
  }
  lanes_.test().start(text);
  lanes_.until_sensors_report();
}

feedtag::FeedTag& TagHost::reader(int number) {
  return host().printer().lookup_object<feedtag::FeedTag>("feedtag card_reader_" +
                                                          std::to_string(number));
}

feedtag::FeedTag& TagHost::reader_of_slot(int slot) {
  return host().printer().lookup_object<feedtag::FeedTag>(feedhub::tag_reader_name(slot));
}

feedhub::TagReadSlot TagHost::slot(int slot) {
  feedlane::BoxExtruderStepper& lane = lanes_.lane(slot);
  return {host().reactor(), lanes_.hub(), lane.stepper_label(), lane.stepper_name()};
}

void TagHost::start_read(int slot_number) {
  mark_ = lanes_.output().size();
  lanes_.run_task([&] { reader_of_slot(slot_number).start_rfid_read(slot(slot_number)); });
}

bool TagHost::run_until_idle(int slot, double timeout_s) {
  feedtag::FeedTag& tag = reader_of_slot(slot);
  return host().run_until([&] { return !tag.is_reading(); }, timeout_s);
}

void TagHost::script_chip(std::vector<ChipAnswer> answers) {
  auto queue = std::make_shared<std::deque<ChipAnswer>>(answers.begin(), answers.end());
  *queries_ = 0;
  lanes_.box_mcu().register_device("fm17550_read_card_cb", [queue, count = queries_](
                                                               const std::vector<klippy::Value>&
                                                                   args) {
    ++*count;
    ChipAnswer next;
    if (!queue->empty()) {
      next = queue->front();
      queue->pop_front();
    }
    return feedtag::CardAnswer{{"oid", args.at(0)}, {"status", next.status}, {"data", next.data}};
  });
}

std::vector<std::string> TagHost::info_lines() {
  std::vector<std::string> lines;
  const auto& out = lanes_.output();
  for (std::size_t i = mark_; i < out.size(); ++i)
    if (out[i].rfind("// ", 0) == 0) lines.push_back(out[i].substr(3));
  return lines;
}

std::vector<std::string> TagHost::error_lines() {
  std::vector<std::string> lines;
  const auto& out = lanes_.output();
  for (std::size_t i = mark_; i < out.size(); ++i)
    if (out[i].rfind("!!", 0) == 0) lines.push_back(out[i]);
  return lines;
}

std::string codes(int filament, int color) {
  return std::string{static_cast<char>(filament), static_cast<char>(color)};
}

}  // namespace feedtag_test
