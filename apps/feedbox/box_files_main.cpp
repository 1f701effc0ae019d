// feedbox-box-files: the box files of `feedbox box-files`, from a printer build that has no
// simulator (the install script seeds the printer's base folder with them).
#include <cstring>
#include <iostream>
#include <string>

#include "apps/feedbox/box_files_command.h"

int main(int argc, char** argv) {
  feedbox::BoxFilesOptions options;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--klipper") == 0 && i + 1 < argc) {
      options.klipper = argv[++i];
    } else if (argv[i][0] != '-' && options.folder.empty()) {
      options.folder = argv[i];
    } else {
      options.folder.clear();
      break;
    }
  }
  if (options.folder.empty()) {
    std::cerr << "usage: feedbox-box-files [--klipper KLIPPER_CHECKOUT] FOLDER\n"
                 "Writes the filament table, the box templates, the per-box sections and the\n"
                 "flashing script into FOLDER, laid out as the printer's base folder.\n";
    return 2;
  }
  return feedbox::write_box_files(options, std::cerr);
}
