// Where a replay starts: the saved variables and the spools as they were when the recorded
// history began, and the simulated printer's files that put them in place.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "apps/feedbox/record_file.h"
#include "klippy/host/components.h"

namespace feedbox {

struct SlotStart {
  bool spool = false;
  double tip_mm = 0.0;  // along the path, 0 at the slot's runout sensor
  std::string where;    // why the tip is placed there, for the report
};

struct ReplayStart {
  int boxes = 1;
  // The history begins with the host's start, not somewhere later.
  bool from_host_start = false;
  // Simulated seconds from start-up to the first replayed command.
  double settle_s = 10.0;
  klippy::VariableMap variables;
  std::map<int, SlotStart> slots;
  // What could not be put back as it was.
  std::vector<std::string> notes;
};

// The variables of the dump with every recorded write undone, and each configured slot's
// spool where the model leaves a strand in the slot's saved state at that time.
ReplayStart replay_start(const RecordDump& dump);
// The simulator's part of `box` (1 to 4), sim_world_boxN.cfg, with the spools of `start`.
std::string replay_world_file(int box, const ReplayStart& start);

}  // namespace feedbox
