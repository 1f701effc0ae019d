// The box files of the embedded printer under the data folder: the live box configuration
// that the printer includes, its templates for 0 to 4 boxes, one file per box with that
// box's sections, and the firmware flashing script of the simulated computer.
#pragma once

#include <string>

#include "sim/printer.h"

namespace feedbox {

inline constexpr const char* kLiveBoxCfg = "/home/zur/printer_data/config/box.cfg";
inline constexpr const char* kPrinterConfigDir = "/home/zur/printer_data/config";
// Where the simulated flashing script records the arguments of every call.
inline constexpr const char* kFlashLog = "/home/zur/mcu_update.log";

// "[include box1.cfg]" ... for `boxes` boxes, then each box's [mcu mcu_boxN] with the by-id
// link of a simulated box on the default firmware.
std::string box_template(int boxes);
// The sections of box `box` (1 to 4): its slot feeders and filament-world pins and spools;
// box 1 also carries the controller and the motion sensor.
// `with_world` false leaves out the simulator's own filament-world options (for Klipper).
std::string per_box_file(int box, bool with_world = true);

// Writes the templates, the per-box files and the flashing script where they are missing,
// and the live box configuration from the template for `boxes` boxes.
void install_box_files(const sim::SimPrinter& printer, int boxes);

}  // namespace feedbox
