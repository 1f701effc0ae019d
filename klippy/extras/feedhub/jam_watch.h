// The print's jam watch: the host's motion sensor on the box outlet calls
// _BOX_FILAMENT_STOPPED when the extruder extrudes and the filament does not move.
#pragma once

namespace feedhub {

class FeedHub;

// Pauses a running print fed by a coupled slot, saying what happened and what to do. The
// box's own moves have their own stall detector, so the call is ignored while one runs.
void on_filament_stopped(FeedHub& hub);

}  // namespace feedhub
