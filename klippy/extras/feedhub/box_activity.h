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
  HandOver,
};

struct Activity {
  std::string name;  // "extruder_load"; "idle" when nothing runs
  int slot = -1;     // the slot it concerns, -1 for none
  std::string text;  // "loading 1B into the extruder"
  double since = 0.0;
  // The step it is in ("pushing to the extruder entry"; empty before the first), when the
  // step began and when its move ends (reactor times; 0 when the step is no move of a
  // known end).
  std::string step;
  double step_since = 0.0;
  double step_until = 0.0;
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
  // Sets the step of the operation begun last; nothing when none runs.
  void set_step(const std::string& step, double since, double until);
  // An operation begun at `since` announced its success with moves queued until `until`
  // (reactor times); `now` drops the plans of moves that have ended.
  void plan_end(double since, double until, double now);
  // When the last of those moves ends that belong to operations begun at `since` or later,
  // the steps of an operation begun then; 0 when none is pending.
  double planned_end(double since) const;

 private:
  std::vector<std::pair<double, double>> planned_ends_;
  std::vector<std::pair<unsigned long, Activity>> running_;
  unsigned long next_token_ = 1;
};

// What an operation did once it has succeeded, with the slot's label in it: "Loaded 1B into
// the extruder".
std::string done_text(Operation operation, std::optional<int> slot);

// Tells the console in one line that something begun at reactor time `since` has succeeded:
// "<what> in <duration>." or "<what> in <duration>: <detail>". It took until `until` (moves
// still queued end later than now), or until now.
void announce_success(FeedHub& hub, const std::string& what, double since,
                      const std::string& detail = "", std::optional<double> until = std::nullopt);

// Registers an operation with the controller for the lifetime of the scope.
class ActivityScope {
 public:
  ActivityScope(FeedHub& hub, Operation operation, std::optional<int> slot = std::nullopt);
  ~ActivityScope();
  ActivityScope(const ActivityScope&) = delete;
  ActivityScope& operator=(const ActivityScope&) = delete;

  // Announces the operation's success in its own words, once; only an operation that knows
  // it succeeded calls it. `until`: when its last queued move ends, if later than now.
  void succeeded(const std::string& detail = "", std::optional<double> until = std::nullopt);
  // The same, in other words for what was done.
  void succeeded_as(const std::string& what, const std::string& detail = "",
                    std::optional<double> until = std::nullopt);

 private:
  // Counts a succeeded extruder load or unload of the slot in the box's statistics.
  void count_success();

  FeedHub& hub_;
  unsigned long token_;
  Operation operation_;
  std::optional<int> slot_;
  double since_;
  bool announced_ = false;
};

}  // namespace feedhub
