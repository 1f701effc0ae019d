// What the slot feeders and the controller need from a card reader ("feedtag card_reader_N").
// The readers live in their own module, which links against this one; calling them through
// this interface keeps the dependency one-way.
#pragma once

#include <string>

#include "klippy/host/object.h"
#include "klippy/host/reactor.h"

namespace feedhub {

class FeedHub;

// The slot whose spool a reader reads: where its console messages name the slot and where
// the values it reads are saved. The references must outlive the read cycle (host objects
// live as long as the configuration).
struct TagReadSlot {
  klippy::Reactor& reactor;
  FeedHub& feedhub;
  std::string stepper_label;  // "1A" ... "4D", in console messages
  std::string stepper_name;   // "slot0" ... "slot15", suffix of the saved keys
  // The command that started the read says that it succeeded, once its moves have ended;
  // otherwise the reader says so as soon as it has saved the values.
  bool caller_announces = false;
};

class TagReader : public klippy::PrinterObject {
 public:
  // Starts a read cycle for `slot`, replacing a running one (whose slot is then told that
  // its filament was not recognised). The reader polls on its own timer for up to 30 s and
  // saves filament_<slot>, color_<slot> and vendor_<slot> once two reads agree. Sends one
  // read to the chip first and waits for it: CommandError when the box does not answer.
  virtual void start_rfid_read(const TagReadSlot& slot) = 0;
  // Ends a running read cycle; without saved values the slot is told that its filament was
  // not recognised. Does nothing when no cycle runs.
  virtual void stop_read() = 0;
  virtual bool is_reading() const = 0;
  // What the last cycle saved, in words ("PLA, red, vendor 1"); empty when it saved nothing.
  virtual std::string read_words() const = 0;
};

// One reader serves two neighbouring slots: slots 0 and 1 use "feedtag card_reader_1",
// slots 2 and 3 "feedtag card_reader_2", and so on.
inline std::string tag_reader_name(int slot_number) {
  return "feedtag card_reader_" + std::to_string(slot_number / 2 + 1);
}

}  // namespace feedhub
