#include "klippy/extras/feedhub/box_commands.h"

#include <exception>
#include <utility>

#include "klippy/extras/feedhub/box_state.h"
#include "klippy/extras/feedhub/slots.h"

namespace feedhub {
namespace {

// Ends the command's record however the handler leaves: an unwound task (the host shutting
// down while the command waits) counts as failed.
class CommandRecord {
 public:
  CommandRecord(BlackBox& box, const klippy::GCodeCommand& gcmd)
      : box_(box), seq_(box.command_started(gcmd.get_commandline())) {}
  ~CommandRecord() {
    if (!ended_) box_.command_ended(seq_, false, "interrupted");
  }
  CommandRecord(const CommandRecord&) = delete;
  CommandRecord& operator=(const CommandRecord&) = delete;

  void end(bool ok, std::string_view error) {
    ended_ = true;
    box_.command_ended(seq_, ok, error);
  }

 private:
  BlackBox& box_;
  std::uint64_t seq_;
  bool ended_ = false;
};

klippy::CommandHandler recorded(BlackBox& black_box, klippy::CommandHandler handler) {
  return [&black_box, handler = std::move(handler)](klippy::GCodeCommand& gcmd) {
    CommandRecord record(black_box, gcmd);
    BoxState::Batch changes(black_box.command_state());
    try {
      handler(gcmd);
    } catch (const std::exception& e) {
      // The failure is what the user must see; a write that fails as well is said too,
      // and what it carried is written with the next one.
      try {
        changes.close();
      } catch (const std::exception& save) {
        gcmd.respond_raw(std::string("!! ") + save.what());
      }
      record.end(false, e.what());
      throw;
    }
    try {
      changes.close();
    } catch (const std::exception& e) {
      record.end(false, e.what());
      throw;
    }
    record.end(true, {});
  };
}

}  // namespace

void register_box_command(klippy::GCodeDispatch& gcode, BlackBox& black_box,
                          const std::string& name, klippy::CommandHandler handler,
                          const std::string& help) {
  black_box.command_registered(name, help);
  gcode.register_command(name, recorded(black_box, std::move(handler)), help);
}

void register_box_mux_command(klippy::GCodeDispatch& gcode, BlackBox& black_box,
                              const std::string& command, const std::string& key,
                              const std::string& value, klippy::CommandHandler handler,
                              const std::string& help) {
  black_box.command_registered(command, help);
  gcode.register_mux_command(command, key, value, recorded(black_box, std::move(handler)), help);
}

void register_box_slot_command(klippy::GCodeDispatch& gcode, BlackBox& black_box,
                               const std::string& command, int slot,
                               const klippy::CommandHandler& handler, const std::string& help) {
  const std::string label = slot_label(slot);
  std::string lower = label;
  lower.back() = static_cast<char>(lower.back() - 'A' + 'a');
  for (const std::string& value : {slot_name(slot), std::to_string(slot), label, lower})
    register_box_mux_command(gcode, black_box, command, "SLOT", value, handler, help);
}

}  // namespace feedhub
