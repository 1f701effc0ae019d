// A simulated printer with one filament box, its slot feeders and its two card readers
// (reader 1 serves slots 0 and 1 on chip select PH0, reader 2 slots 2 and 3 on PH1), with
// or without the filament world in front of the readers.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "klippy/extras/feedhub/tag_reader.h"
#include "klippy/extras/feedtag/feedtag.h"
#include "tests/extras/feedlane_fixture.h"

namespace feedtag_test {

inline constexpr const char* kReaderPins[] = {"PH0", "PH1"};

struct TagSetup {
  // Adds the filament world with both readers wired; `world_options` go into its section
  // (spools, tags, geometry).
  bool world = false;
  std::string world_options;
};

// One answer of the chip: its status and data bytes.
struct ChipAnswer {
  int status = 0;
  std::string data;
};

class TagHost {
 public:
  TagHost();
  void start(const TagSetup& setup = {});

  feedlane_test::LaneHost& lanes() { return lanes_; }
  sim::SimHost& host() { return lanes_.host(); }
  feedtag::FeedTag& reader(int number);
  feedtag::FeedTag& reader_of_slot(int slot);
  // The slot object a slot feeder hands to its reader.
  feedhub::TagReadSlot slot(int slot);
  // Starts a read cycle for `slot` on its reader, as the slot feeder does in a command.
  void start_read(int slot);
  // Runs until the slot's reader has ended its cycle (or `timeout_s` passed).
  bool run_until_idle(int slot, double timeout_s = 40.0);

  // The chip answers from `answers` in order, then "no tag" for ever; answers() counts the
  // queries it got. Replaces the filament world's answers.
  void script_chip(std::vector<ChipAnswer> answers);
  int queries() const { return *queries_; }

  klippy::Value variable(const std::string& name) { return lanes_.variable(name); }
  // Console lines printed since the last start_read(): the "// " responses without their
  // prefix, and the "!!" errors.
  std::vector<std::string> info_lines();
  std::vector<std::string> error_lines();

 private:
  feedlane_test::LaneHost lanes_;
  std::shared_ptr<int> queries_ = std::make_shared<int>(0);
  std::size_t mark_ = 0;
};

// Two data bytes holding these codes.
std::string codes(int filament, int color);

}  // namespace feedtag_test
