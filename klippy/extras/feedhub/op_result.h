// What a box operation came to: done, or the numbered report it failed with. Operations
// return it instead of reporting: the report, its recorded step and a pause are made from
// it once, where the command ends (conclude), so that a sequence of operations stops at its
// first failure and keeps that failure's step.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "klippy/extras/feedhub/error_report.h"

namespace feedhub {

class FeedHub;

class [[nodiscard]] OpResult {
 public:
  static OpResult done() { return OpResult(); }
  // `seen` says where the sensors saw the filament when that is what failed the operation.
  static OpResult failed(const ErrorReport& report, std::optional<int> slot,
                         std::string seen = {}) {
    OpResult result;
    result.report_ = &report;
    result.slot_ = slot;
    result.seen_ = std::move(seen);
    return result;
  }
  // Failed in a way no single slot's retry can repeat: the recorded step names no slot,
  // though the report does.
  static OpResult failed_general(const ErrorReport& report, int slot) {
    OpResult result = failed(report, slot);
    result.general_step_ = true;
    return result;
  }
  // Not begun, for a reason the user can remove (`why` says which and how); no report.
  static OpResult not_run(std::string why) {
    OpResult result;
    result.seen_ = std::move(why);
    return result;
  }

  bool ok() const { return report_ == nullptr && seen_.empty(); }
  bool reported() const { return report_ != nullptr; }
  // Only for a reported failure.
  const ErrorReport& report() const { return *report_; }
  std::optional<int> slot() const { return slot_; }
  bool general_step() const { return general_step_; }
  // Where the sensors saw the filament, or why the operation did not run.
  const std::string& seen() const { return seen_; }

 private:
  OpResult() = default;

  const ErrorReport* report_ = nullptr;
  std::optional<int> slot_;
  std::string seen_;
  bool general_step_ = false;
};

// For a failed result: says where the filament was seen, makes the numbered report with its
// recorded step and pauses a running print; for one not run, says why. True when the
// operation was done.
bool conclude(FeedHub& hub, const OpResult& result);

}  // namespace feedhub
