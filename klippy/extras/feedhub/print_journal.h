// What the box did during a print, told when it matters: "Print resumed" once a print the box
// paused goes on, and one line at the print's end with its tool changes, the time they took,
// the box's failures and the retries.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "klippy/extras/feedhub/scoped_timer.h"

namespace feedhub {

class FeedHub;

struct PrintTally {
  int tool_changes = 0;
  double change_time_s = 0.0;
  int errors = 0;
  int retries = 0;
};

class PrintJournal {
 public:
  explicit PrintJournal(FeedHub& hub) : hub_(hub) {}
  PrintJournal(const PrintJournal&) = delete;
  PrintJournal& operator=(const PrintJournal&) = delete;

  // Starts following the print state; the host has no event for a print's end or resume.
  void start();
  void count_tool_change(double duration_s);
  // A plain tool command (T<n>) about to swap the strand in the extruder for `to_slot`'s:
  // one tool change, whose time runs until that slot is loaded. The slicer's tool-change
  // blocks are counted at their end instead.
  void count_tool_swap(int to_slot);
  void count_error();
  void count_retry();
  // The box paused the print: its resume is worth telling.
  void note_box_pause() { box_paused_ = true; }
  // Follows the print state now rather than at the next look: after a resume the box ran.
  void check();
  const PrintTally& tally() const { return tally_; }

 private:
  double watch(double eventtime);
  // Follows a change of the print state from `before` to `now`.
  void follow(const std::string& before, const std::string& now);

  FeedHub& hub_;
  ScopedTimer watch_;
  std::string state_ = "standby";
  bool box_paused_ = false;
  PrintTally tally_;
  struct Swap {
    int to_slot;
    double since;
  };
  std::optional<Swap> swap_;
};

// "Print ended (complete): 3 tool changes in 2 min 10 s, 1 error, 1 retry." The state is
// the host's print state.
std::string print_end_line(const std::string& state, const PrintTally& tally);

}  // namespace feedhub
