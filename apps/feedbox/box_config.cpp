#include "apps/feedbox/box_config.h"

#include <array>

#include "klippy/extras/feedhub/slots.h"
#include "klippy/host/errors.h"

namespace feedbox {
namespace {

using feedhub::kSlotsPerBox;

// Spool colours of the four slots of every box.
constexpr std::array<const char*, kSlotsPerBox> kSpoolColors = {"FF0000", "00FF00", "0000FF",
                                                                "FFFFFF"};

void check_boxes(int boxes) {
  if (boxes < 0 || boxes > kMaxBoxes)
    throw klippy::ConfigError("--boxes " + std::to_string(boxes) +
                              " is not a number of filament boxes; give 0 to " +
                              std::to_string(kMaxBoxes));
}

std::string mcu_name(int box) {
  return "mcu_box" + std::to_string(box + 1);
}

// The runout sensor of the box's k-th slot sits on PA<k + 1>; PA0 is the motion encoder
// and PB0 to PB2 the outlet sensor and the two software endstops.
std::string runout_pin(int box, int k) {
  return mcu_name(box) + ":PA" + std::to_string(k + 1);
}

// One card reader serves two neighbouring slots: reader 2b + 1 slots A and B of box b + 1 on
// chip select PH0, reader 2b + 2 slots C and D on PH1, both on the box MCU's SPI bus.
constexpr int kSlotsPerReader = 2;

int reader_number(int box, int pair) {
  return box * (kSlotsPerBox / kSlotsPerReader) + pair + 1;
}

std::string reader_cs_pin(int box, int pair) {
  return mcu_name(box) + ":PH" + std::to_string(pair);
}

}  // namespace

std::string box_sections(int boxes) {
  check_boxes(boxes);
  if (boxes == 0) return "";
  // The controller and the shared sensors live on the first box. The encoder serves the
  // controller's stall detection and, in a print, its jam watch: the box decides whether
  // a stop pauses the print, never the host by itself.
  std::string text =
      "[mcu mcu_box1]\nserial: /dev/serial/by-id/usb-Klipper_box1\n\n"
      "[filament_motion_sensor box_motion_sensor]\nswitch_pin: mcu_box1:PA0\n"
      "extruder: extruder\ndetection_length: 7\npause_on_runout: False\n"
      "runout_gcode: _BOX_FILAMENT_STOPPED\n\n"
      "[feedhub]\nb_button_pin: ^!mcu_box1:PB0\nb_endstop_pin: mcu_box1:PB1\n"
      "e_endstop_pin: mcu_box1:PB2\n\n";
  for (int box = 0; box < boxes; ++box) {
    if (box > 0)
      text += "[mcu " + mcu_name(box) + "]\nserial: /dev/serial/by-id/usb-Klipper_box" +
              std::to_string(box + 1) + "\n\n";
    for (int k = 0; k < kSlotsPerBox; ++k) {
      const std::string n = std::to_string(k), chip = mcu_name(box) + ":";
      // Inverted: the sensor reads 1 with filament, the slot wants 1 for runout.
      text += "[feedlane slot" + std::to_string(box * kSlotsPerBox + k) + "]\n" + "runout_pin: ^!" +
              runout_pin(box, k) + "\nstep_pin: " + chip + "PC" + n + "\ndir_pin: " + chip + "PD" +
              n + "\nenable_pin: !" + chip + "PE" + n +
              "\nmicrosteps: 16\nrotation_distance: 22.67\ngear_ratio: 50:17\nred_pin: " + chip +
              "PF" + n + "\nwhite_pin: " + chip + "PG" + n + "\n\n";
    }
    // Box 1's drying heater is part of the printer's own configuration (its main board);
    // every further box brings its heater on its own MCU.
    if (box > 0)
      text += "[heater_generic heater_box" + std::to_string(box + 1) +
              "]\nheater_pin: " + mcu_name(box) +
              ":PJ0\nsensor_type: EPCOS 100K B57560G104F\nsensor_pin: " + mcu_name(box) +
              ":PJ1\ncontrol: watermark\nmin_temp: 0\nmax_temp: 70\n\n";
    for (int pair = 0; pair < kSlotsPerBox / kSlotsPerReader; ++pair)
      text += "[feedtag card_reader_" + std::to_string(reader_number(box, pair)) +
              "]\ncs_pin: " + reader_cs_pin(box, pair) + "\n\n";
  }
  return text;
}

std::string box_world_options(int boxes) {
  check_boxes(boxes);
  std::string text = boxes > 0 ? "encoder_pin: mcu_box1:PA0\n" : "";
  // The controller watches one outlet sensor, on box 1: further boxes are chained through
  // box 1, so that their filament passes that sensor too.
  if (boxes > 1) text += "boxes_share_outlet: True\n";
  for (int box = 0; box < boxes; ++box) {
    if (box == 0) text += "box1_outlet_pin: " + mcu_name(box) + ":PB0\n";
    for (int k = 0; k < kSlotsPerBox; ++k) {
      const std::string slot = "slot" + std::to_string(box * kSlotsPerBox + k);
      text += slot + "_runout_pin: " + runout_pin(box, k) + "\n" + slot + "_spool: PLA " +
              kSpoolColors[k] + "\n";
    }
    for (int pair = 0; pair < kSlotsPerBox / kSlotsPerReader; ++pair)
      text += "reader" + std::to_string(reader_number(box, pair)) +
              "_cs_pin: " + reader_cs_pin(box, pair) + "\n";
  }
  return text;
}

}  // namespace feedbox
