// The boxes' card readers as the filament world drives them. Reader N sits at the world's
// reader_mm on the paths of slots 2N-2 and 2N-1 and is wired to the chip select named by
// [filament_world] option readerN_cs_pin. It answers the read queries
// (fm17550_read_card_cb) that its MCU receives for the reader configured on that chip
// select: status 1 with the tag's data while exactly one tag lies in front of it, status 0
// while none does, while two tags collide or while the one there is unreadable.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "klippy/host/config.h"
#include "klippy/host/printer.h"
#include "klippy/host/value.h"
#include "sim/host/print_clock.h"
#include "sim/world/filament_world.h"

namespace sim {

class SimMcu;

class WorldCardReaders {
 public:
  static constexpr const char* kReadCommand = "fm17550_read_card_cb";

  // Reads the readerN_cs_pin options for the world's slots.
  WorldCardReaders(klippy::ConfigSection& config, const WorldGeometry& geometry);

  // Answers read queries on every MCU that carries a reader. ConfigError when an option
  // names an MCU that does not exist.
  void attach(klippy::Printer& printer, const FilamentWorld& world, const PrintClock& clock);

  // The answer of the reader behind chip select `cs_pin` of `mcu` at `print_time`.
  std::map<std::string, klippy::Value> answer(const SimMcu& mcu, const std::string& cs_pin, int oid,
                                              double print_time) const;

 private:
  struct Reader {
    int first_slot;
    std::string option;
    std::string chip;  // "mcu" or the NAME of [mcu NAME]
    std::string cs_pin;
  };

  const FilamentWorld* world_ = nullptr;
  int slot_count_;
  std::vector<Reader> readers_;
};

// The chip select of the card reader configured as `oid` on `mcu`, from the configuration
// block the MCU received; empty when there is none.
std::string card_reader_cs_pin(const SimMcu& mcu, int oid);

}  // namespace sim
