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

  bool ok() const { return report_ == nullptr; }
  // Only for a failed result.
  const ErrorReport& report() const { return *report_; }
  std::optional<int> slot() const { return slot_; }
  const std::string& seen() const { return seen_; }

 private:
  OpResult() = default;

  const ErrorReport* report_ = nullptr;
  std::optional<int> slot_;
  std::string seen_;
};

// For a failed result: says where the filament was seen, makes the numbered report with its
// recorded step and pauses a running print. True when the operation was done.
bool conclude(FeedHub& hub, const OpResult& result);

}  // namespace feedhub
