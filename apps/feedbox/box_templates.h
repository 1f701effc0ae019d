// The box files of the embedded printer under the data folder: the live box configuration
// that the printer includes, its templates for 0 to 4 boxes, one file per box with that
// box's sections and one with its part of the filament world, and the firmware flashing
// script of the simulated computer.
#pragma once

#include <string>
#include <vector>

namespace feedbox {

inline constexpr const char* kLiveBoxCfg = "/home/zur/printer_data/config/box.cfg";
inline constexpr const char* kPrinterConfigDir = "/home/zur/printer_data/config";
// Where the simulated flashing script records the arguments of every call.
inline constexpr const char* kFlashLog = "/home/zur/mcu_update.log";

// "[include box1.cfg]" ... for `boxes` boxes, then each box's [mcu mcu_boxN] with the by-id
// link of a simulated box on the default firmware.
std::string box_template(int boxes);
// The sections of box `box` (1 to 4) for the printer: its slot feeders and card readers;
// box 1 also carries the controller and the motion sensor.
std::string per_box_file(int box);
// The simulator's part of box `box`: its [filament_world] pins and spools, in the file named
// by per_box_world_name(box), which the embedded printer includes for each included box.
std::string per_box_world_file(int box);
std::string per_box_world_name(int box);
// The box numbers of the "[include boxN.cfg]" lines of a live box configuration.
std::vector<int> included_boxes(const std::string& box_config);

}  // namespace feedbox
