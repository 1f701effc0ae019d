// What the box is busy with, for its status. Each filament operation registers itself for
// as long as it runs. Operations nest (a reload loads slots, a load reads a tag) and tasks
// interleave, so the status shows the one begun last among those still running.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace feedhub {

class FeedHub;

enum class Operation {
  SlotLoad,
  SlotUnload,
  ExtruderLoad,
  ExtruderUnload,
  TagRead,
  PromptMove,
  TurnOver,
  Cut,
  Reload,
  Retry,
  SelfInspection,
  Tighten,
};

struct Activity {
  std::string name;  // "extruder_load"; "idle" when nothing runs
  int slot = -1;     // the slot it concerns, -1 for none
  std::string text;  // "loading 1B into the extruder"
  double since = 0.0;
};

// The status name of an operation and its text, with the slot's label in it.
Activity describe(Operation operation, std::optional<int> slot, double since);

class BoxActivities {
 public:
  // A token for end().
  unsigned long begin(Activity activity);
  void end(unsigned long token);
  // The operation begun last among those still running; null when the box is idle.
  const Activity* current() const;

 private:
  std::vector<std::pair<unsigned long, Activity>> running_;
  unsigned long next_token_ = 1;
};

// Registers an operation with the controller for the lifetime of the scope.
class ActivityScope {
 public:
  ActivityScope(FeedHub& hub, Operation operation, std::optional<int> slot = std::nullopt);
  ~ActivityScope();
  ActivityScope(const ActivityScope&) = delete;
  ActivityScope& operator=(const ActivityScope&) = delete;

 private:
  FeedHub& hub_;
  unsigned long token_;
};

}  // namespace feedhub
