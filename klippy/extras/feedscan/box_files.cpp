#include "klippy/extras/feedscan/box_files.h"

namespace feedscan {

BoxFiles BoxFiles::resolve(const klippy::Printer& printer) {
  BoxFiles files;
  files.dst_box_cfg = printer.resolve_path(kDstBoxCfg);
  for (std::size_t n = 0; n < files.src_box_cfg_with.size(); ++n)
    files.src_box_cfg_with[n] = printer.resolve_path(kSrcBoxCfgWith + std::to_string(n));
  files.saved_variables = printer.resolve_path(kSavedVariablesCfg);
  for (std::size_t i = 0; i < files.per_box.size(); ++i)
    files.per_box[i] = printer.resolve_path(kPerBoxCfgs[i]);
  files.home_folder = printer.resolve_path(kHomeFolder);
  if (files.home_folder.back() != '/') files.home_folder += '/';
  files.update_script = printer.resolve_path(kUpdateScript);
  return files;
}

std::string box_mcu_section(int box_index) {
  return "mcu mcu_box" + std::to_string(box_index);
}

}  // namespace feedscan
