// feedbox box-files: the files the box modules read at fixed paths, as a Klipper printer
// needs them: the filament table, the box's macros (the file printer.cfg includes), the box
// configuration templates for 0 to 4 boxes, the sections of each box, and the firmware
// flashing script.
#pragma once

#include <ostream>
#include <string>

namespace feedbox {

struct BoxFilesOptions {
  // The folder the files go into, laid out as the printer's base folder (/home/zur).
  std::string folder;
  // The Klipper checkout whose flashing tool the script calls.
  std::string klipper = "~/klipper";
};

// Writes every file (replacing what is there); 0 on success, 2 when a file cannot be
// written.
int write_box_files(const BoxFilesOptions& options, std::ostream& err);

}  // namespace feedbox
