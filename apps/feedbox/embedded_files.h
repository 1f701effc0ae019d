// Files carried inside the simulator: its default printer, filament table and demo print.
#pragma once

#include <string>
#include <vector>

namespace feedbox {

struct EmbeddedFile {
  std::string name;
  std::string content;
};

const std::vector<EmbeddedFile>& embedded_files();
// The box panel's page and its style and script (web/panel/), which `--serve` serves; only
// the simulator carries them.
const std::vector<EmbeddedFile>& panel_files();
// Content of the embedded file `name`; std::out_of_range when there is none.
const std::string& embedded_file(const std::string& name);
// The default printer with the embedded files it includes (the box's macros) written in
// place. Their includes of files that are not embedded (the live box configuration) are
// left out: the simulator includes that file itself, after the printer.
std::string embedded_printer_config();

}  // namespace feedbox
