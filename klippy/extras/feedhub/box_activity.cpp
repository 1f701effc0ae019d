#include "klippy/extras/feedhub/box_activity.h"

#include <algorithm>

#include "klippy/extras/feedhub/feedhub.h"
#include "klippy/extras/feedhub/slots.h"

namespace feedhub {
namespace {

struct OperationWords {
  const char* name;
  // "%s" stands for the slot's label.
  const char* text;
};

OperationWords words_of(Operation operation) {
  switch (operation) {
    case Operation::SlotLoad:
      return {"slot_load", "loading %s into the box"};
    case Operation::SlotUnload:
      return {"slot_unload", "unloading %s to its sensor"};
    case Operation::ExtruderLoad:
      return {"extruder_load", "loading %s into the extruder"};
    case Operation::ExtruderUnload:
      return {"extruder_unload", "unloading %s from the extruder"};
    case Operation::TagRead:
      return {"tag_read", "reading the tag of %s"};
    case Operation::PromptMove:
      return {"prompt_move", "nudging %s"};
    case Operation::TurnOver:
      return {"turn_over", "turning %s over"};
    case Operation::Cut:
      return {"cut", "cutting the filament"};
    case Operation::Reload:
      return {"reload", "loading the box's slots"};
    case Operation::Retry:
      return {"retry", "repeating the failed step"};
    case Operation::SelfInspection:
      return {"self_inspection", "inspecting the slots"};
    case Operation::Tighten:
      return {"tighten", "taking up slack"};
  }
  return {"busy", "busy"};
}

}  // namespace

Activity describe(Operation operation, std::optional<int> slot, double since) {
  const OperationWords words = words_of(operation);
  std::string text = words.text;
  if (const size_t at = text.find("%s"); at != std::string::npos)
    text.replace(at, 2, slot ? slot_label(*slot) : std::string("a slot"));
  return Activity{words.name, slot.value_or(-1), std::move(text), since};
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

const Activity* BoxActivities::current() const {
  return running_.empty() ? nullptr : &running_.back().second;
}

ActivityScope::ActivityScope(FeedHub& hub, Operation operation, std::optional<int> slot)
    : hub_(hub),
      token_(hub.activities().begin(describe(operation, slot, hub.reactor().monotonic()))) {}

ActivityScope::~ActivityScope() {
  hub_.activities().end(token_);
}

}  // namespace feedhub
