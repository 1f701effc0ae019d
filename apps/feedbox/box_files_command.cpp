#include "apps/feedbox/box_files_command.h"

#include <sys/stat.h>

#include <filesystem>
#include <sstream>

#include "apps/feedbox/box_config.h"
#include "apps/feedbox/box_templates.h"
#include "apps/feedbox/embedded_files.h"
#include "klippy/host/atomic_file.h"

namespace feedbox {
namespace {

namespace fs = std::filesystem;

// Flashes a box controller over USB with the flashing tool of the Klipper checkout, the
// way the box detection calls it: the image, then the controller's by-id link.
std::string flash_script(const std::string& klipper) {
  return "#!/bin/sh\n"
         "# Flashes a filament box controller: $1 is the firmware image, $2 the controller's\n"
         "# /dev/serial/by-id link. Called by the box detection when a newer image is in the\n"
         "# base folder.\n"
         "set -e\n"
         "KLIPPER=\"${KLIPPER:-" +
         klipper +
         "}\"\n"
         "if [ ! -f \"$KLIPPER/scripts/flash_usb.py\" ]; then\n"
         "  echo \"$0: $KLIPPER/scripts/flash_usb.py not found; set KLIPPER to the Klipper "
         "checkout\" >&2\n"
         "  exit 1\n"
         "fi\n"
         "exec python3 \"$KLIPPER/scripts/flash_usb.py\" -t stm32f072xb -d \"$2\" \"$1\"\n";
}

void write(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  klippy::write_file_atomically(path.string(), content);
}

}  // namespace

int write_box_files(const BoxFilesOptions& options, std::ostream& err) {
  const fs::path base(options.folder);
  try {
    const fs::path config_dir = base / "printer_data" / "config";
    write(config_dir / "officiall_filas_list.cfg", embedded_file("officiall_filas_list.cfg"));
    write(config_dir / "box" / "box_macros.cfg", embedded_file("box/box_macros.cfg"));
    for (int n = 0; n <= kMaxBoxes; ++n)
      write(base / ("cfg_with_" + std::to_string(n)), box_template(n));
    for (int box = 1; box <= kMaxBoxes; ++box)
      write(config_dir / ("box" + std::to_string(box) + ".cfg"), per_box_file(box));
    const fs::path script = base / "mcu_update_BOX_to_v1.sh";
    write(script, flash_script(options.klipper));
    ::chmod(script.c_str(), 0755);
  } catch (const std::exception& e) {
    err << "feedbox box-files: " << e.what() << "\n";
    return 2;
  }
  return 0;
}

}  // namespace feedbox
