#include "klippy/extras/feedhub/op_result.h"

#include "klippy/extras/feedhub/feedhub.h"

namespace feedhub {

bool conclude(FeedHub& hub, const OpResult& result) {
  if (result.ok()) return true;
  if (!result.seen().empty()) hub.gcode().respond_info(result.seen());
  if (!result.reported()) return false;
  if (result.general_step())
    hub.errors().report_error_general_step(result.report(), *result.slot());
  else
    hub.errors().report_error(result.report(), result.slot());
  if (hub.print_stats().state() == "printing")
    hub.errors().pause_for_error(result.report(), result.slot());
  return false;
}

}  // namespace feedhub
