#include "klippy/extras/feedhub/jam_watch.h"

#include "klippy/extras/feedhub/error_codes.h"
#include "klippy/extras/feedhub/feedhub.h"
#include "klippy/extras/feedhub/slots.h"

namespace feedhub {

void on_filament_stopped(FeedHub& hub) {
  if (hub.print_stats().state() != "printing" || hub.activities().current()) return;
  const std::optional<int> slot = hub.box_state().coupled_slot();
  // Filament of no slot of the box: the encoder does not see what feeds the print.
  if (!slot) return;
  hub.errors().report_error(reports::kFilamentStopped, *slot);
  hub.errors().pause_for_error(reports::kFilamentStopped, *slot);
}

}  // namespace feedhub
