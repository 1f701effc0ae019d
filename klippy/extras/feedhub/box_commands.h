// Registration of the box's G-code commands. Every command of the box modules goes through
// here, so that the black-box recorder sees each one start and end, with its outcome.
#pragma once

#include <string>

#include "klippy/extras/feedhub/black_box.h"
#include "klippy/host/gcode.h"

namespace feedhub {

void register_box_command(klippy::GCodeDispatch& gcode, BlackBox& black_box,
                          const std::string& name, klippy::CommandHandler handler,
                          const std::string& help = "");
void register_box_mux_command(klippy::GCodeDispatch& gcode, BlackBox& black_box,
                              const std::string& command, const std::string& key,
                              const std::string& value, klippy::CommandHandler handler,
                              const std::string& help);
// A per-slot command, SLOT=<name>: the slot answers to every way the box names it, its
// label ("2B", "2b"), its name ("slot5") and its number ("5").
void register_box_slot_command(klippy::GCodeDispatch& gcode, BlackBox& black_box,
                               const std::string& command, int slot,
                               const klippy::CommandHandler& handler, const std::string& help);

}  // namespace feedhub
