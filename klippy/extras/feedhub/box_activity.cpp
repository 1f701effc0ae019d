#include "klippy/extras/feedhub/box_activity.h"

#include <algorithm>

#include "klippy/extras/feedhub/durations.h"
#include "klippy/extras/feedhub/feedhub.h"
#include "klippy/extras/feedhub/slots.h"

namespace feedhub {
namespace {

struct OperationWords {
  const char* name;
  // "%s" stands for the slot's label.
  const char* text;
  const char* done;
};

OperationWords words_of(Operation operation) {
  switch (operation) {
    case Operation::SlotLoad:
      return {"slot_load", "loading %s into the box", "Loaded %s into the box"};
    case Operation::SlotUnload:
      return {"slot_unload", "unloading %s to its sensor", "Unloaded %s to its sensor"};
    case Operation::ExtruderLoad:
      return {"extruder_load", "loading %s into the extruder", "Loaded %s into the extruder"};
    case Operation::ExtruderUnload:
      return {"extruder_unload", "unloading %s from the extruder", "Unloaded %s from the extruder"};
    case Operation::TagRead:
      return {"tag_read", "reading the tag of %s", "Read the tag of %s"};
    case Operation::PromptMove:
      return {"prompt_move", "nudging %s", "Nudged %s"};
    case Operation::TurnOver:
      return {"turn_over", "turning %s over", "Turned %s over"};
    case Operation::Cut:
      return {"cut", "cutting the filament", "Cut the filament"};
    case Operation::Reload:
      return {"reload", "loading the box's slots", "Reloaded the box"};
    case Operation::Retry:
      return {"retry", "repeating the failed step", "Repeated the failed step"};
    case Operation::SelfInspection:
      return {"self_inspection", "inspecting the slots", "Inspected the slots"};
    case Operation::HandOver:
      return {"hand_over", "handing the tool of %s over", "Handed the tool of %s over"};
    case Operation::Tighten:
      return {"tighten", "taking up slack", "Took up slack"};
  }
  return {"busy", "busy", "Done"};
}

std::string with_label(std::string text, std::optional<int> slot) {
  if (const size_t at = text.find("%s"); at != std::string::npos)
    text.replace(at, 2, slot ? slot_label(*slot) : std::string("a slot"));
  return text;
}

}  // namespace

Activity describe(Operation operation, std::optional<int> slot, double since) {
  const OperationWords words = words_of(operation);
  return Activity{words.name, slot.value_or(-1), with_label(words.text, slot), since};
}

std::string done_text(Operation operation, std::optional<int> slot) {
  return with_label(words_of(operation).done, slot);
}

void announce_success(FeedHub& hub, const std::string& what, double since,
                      const std::string& detail, std::optional<double> until) {
  // An operation ends no sooner than the moves of the steps it ran: a reload's last park, a
  // retried load's final push.
  const double now = hub.reactor().monotonic();
  const double end = std::max({now, until.value_or(0.0), hub.activities().planned_end(since)});
  if (until) hub.activities().plan_end(since, *until, now);
  std::string line = what + " in " + readable_duration(end - since);
  if (!detail.empty()) line += ": " + detail;
  hub.gcode().respond_info(line + ".");
}

unsigned long BoxActivities::begin(Activity activity) {
  const unsigned long token = next_token_++;
  running_.emplace_back(token, std::move(activity));
  return token;
}

void BoxActivities::end(unsigned long token) {
  running_.erase(std::remove_if(running_.begin(), running_.end(),
                                [token](const auto& entry) { return entry.first == token; }),
                 running_.end());
}

void BoxActivities::plan_end(double since, double until, double now) {
  std::erase_if(planned_ends_, [now](const auto& plan) { return plan.second <= now; });
  planned_ends_.emplace_back(since, until);
}

double BoxActivities::planned_end(double since) const {
  double end = 0.0;
  for (const auto& [begun, until] : planned_ends_)
    if (begun >= since) end = std::max(end, until);
  return end;
}

void BoxActivities::set_step(const std::string& step, double since, double until) {
  if (running_.empty()) return;
  Activity& running = running_.back().second;
  running.step = step;
  running.step_since = since;
  running.step_until = until;
}

const Activity* BoxActivities::current() const {
  return running_.empty() ? nullptr : &running_.back().second;
}

ActivityScope::ActivityScope(FeedHub& hub, Operation operation, std::optional<int> slot)
    : hub_(hub), operation_(operation), slot_(slot), since_(hub.reactor().monotonic()) {
  // An operation that starts while the host's sensors are still unknown would act on false
  // readings (an outlet full of filament, an empty extruder entry).
  hub.sensors().await_first_reports();
  since_ = hub.reactor().monotonic();
  token_ = hub.activities().begin(describe(operation, slot, since_));
}

ActivityScope::~ActivityScope() {
  hub_.activities().end(token_);
}

void ActivityScope::succeeded(const std::string& detail, std::optional<double> until) {
  succeeded_as(done_text(operation_, slot_), detail, until);
}

void ActivityScope::succeeded_as(const std::string& what, const std::string& detail,
                                 std::optional<double> until) {
  if (announced_) return;
  announced_ = true;
  announce_success(hub_, what, since_, detail, until);
  count_success();
}

void ActivityScope::count_success() {
  // No save is made for a count alone (each costs an fsync, 10 to 100 ms on an SD card): a
  // load counts itself before its last save, which carries the count into the file; an
  // unload's count rides along with the next save, in a tool change the load's first.
  if (slot_ && operation_ == Operation::ExtruderUnload)
    hub_.variables().stats().count_unload(*slot_);
}

}  // namespace feedhub
