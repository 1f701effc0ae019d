// The fixed files of box detection, as paths of this host (the simulator keeps them under
// its data folder), and what the detection functions need from the host.
#pragma once

#include <array>
#include <string>

#include "klippy/host/log.h"
#include "klippy/host/printer.h"
#include "klippy/host/system_services.h"

namespace feedscan {

inline constexpr int kMaxBoxes = 4;
inline constexpr const char* kDstBoxCfg = "/home/zur/printer_data/config/box.cfg";
inline constexpr const char* kSavedVariablesCfg =
    "/home/zur/printer_data/config/saved_variables.cfg";
inline constexpr const char* kHomeFolder = "/home/zur/";
inline constexpr const char* kImagePrefix = "mcu_box_to_v1";
inline constexpr const char* kUpdateScript = "/home/zur/mcu_update_BOX_to_v1.sh";
// The template for N boxes is kSrcBoxCfgWith + N.
inline constexpr const char* kSrcBoxCfgWith = "/home/zur/cfg_with_";
inline constexpr std::array<const char*, 2> kPerBoxCfgs = {
    "/home/zur/printer_data/config/box1.cfg", "/home/zur/printer_data/config/box2.cfg"};

struct BoxFiles {
  std::string dst_box_cfg;
  std::array<std::string, kMaxBoxes + 1> src_box_cfg_with;
  std::string saved_variables;
  std::array<std::string, kPerBoxCfgs.size()> per_box;
  std::string home_folder;
  std::string update_script;

  static BoxFiles resolve(const klippy::Printer& printer);
};

// Section of box N in the live box configuration: "mcu mcu_box" + N.
std::string box_mcu_section(int box_index);

struct ScanEnv {
  klippy::SystemServices& system;
  klippy::Logger& log;
  BoxFiles files;
};

}  // namespace feedscan
