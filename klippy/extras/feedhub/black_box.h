// The box's black-box recorder: what the sensors saw, how the feed motors moved, which box
// commands ran and how they ended, the error reports and the saved-variable writes, kept in
// a fixed ring and written out as JSON lines into the printer's log folder on every error
// report and on BOX_RECORD_DUMP, so that a failure can be understood and replayed later.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "klippy/extras/feedhub/error_report.h"
#include "klippy/extras/feedhub/record_ring.h"
#include "klippy/host/components.h"
#include "klippy/host/config.h"
#include "klippy/host/gcode.h"
#include "klippy/host/mcu.h"
#include "klippy/host/printer.h"
#include "klippy/host/toolhead.h"

namespace feedhub {

// Dumps kept in the log folder, away from the configuration front ends edit; a new one
// removes the oldest beyond this. Records of older versions, next to the saved variables,
// stay there and count among the kept ones.
inline constexpr const char* kRecordFolder = "/home/zur/printer_data/logs";
inline constexpr int kMaxRecordDumps = 10;
inline constexpr const char* kRecordDumpPrefix = "box_record_";
inline constexpr const char* kRecordDumpSuffix = ".jsonl";

class BoxState;

class BlackBox {
 public:
  // Takes the options of [feedhub] that describe the box's wiring.
  BlackBox(klippy::ConfigSection& config, klippy::SaveVariables& save_variables);
  BlackBox(const BlackBox&) = delete;
  BlackBox& operator=(const BlackBox&) = delete;

  // Hooks. None of them throws or allocates; a hook that cannot record drops the event.
  // A sensor report; only a change of its level is kept. `eventtime` is reactor time.
  void sensor_report(RecordedSensor sensor, int slot, bool filament, double eventtime) noexcept;
  // A feed move of `slot` planned on its queue, print times in s.
  void feed_move(int slot, double distance_mm, double speed_mm_s, double accel_mm_s2,
                 double start_time, double end_time) noexcept;
  // A homing trip cut the slot's last move short at `print_time`.
  void move_stopped(int slot, double print_time) noexcept;
  void error_reported(const ErrorReport& report, std::optional<int> slot,
                      std::string_view text) noexcept;
  // `old_repr` absent: the variable was not saved before; `value_repr` absent: removed.
  void variable_written(std::string_view name, std::optional<std::string_view> value_repr,
                        std::optional<std::string_view> old_repr) noexcept;
  // Commands and the host's ready event also note the toolhead's extruder position: the
  // print's extrusion in between moves every strand the extruder grips.
  // Returns the seq that command_ended() takes.
  std::uint64_t command_started(std::string_view line) noexcept;
  void host_ready() noexcept;
  void command_ended(std::uint64_t start_seq, bool ok, std::string_view error) noexcept;
  // The box's picture, whose changes each recorded command writes once when it ends.
  void set_command_state(BoxState& state) { command_state_ = &state; }
  BoxState* command_state() const { return command_state_; }

  // While one lives, the commands that start are the box's own (start-up tasks), which a
  // replay does not repeat: the replayed host starts them itself.
  class OwnCommands {
   public:
    explicit OwnCommands(BlackBox& box) : box_(box) { ++box_.own_commands_; }
    ~OwnCommands() { --box_.own_commands_; }
    OwnCommands(const OwnCommands&) = delete;
    OwnCommands& operator=(const OwnCommands&) = delete;

   private:
    BlackBox& box_;
  };

  // The history as JSON lines with the saved variables and the box configuration of now.
  std::string format_dump(const std::string& reason);
  // Writes the dump atomically and durably into dump_folder(), off the event loop
  // (the calling task waits), and removes the oldest dumps beyond kMaxRecordDumps. Returns
  // its path; std::runtime_error naming the path and the cause when it could not be written.
  std::string write_dump(const std::string& reason);
  // After an error report: writes a dump and logs where; a failure is logged, never thrown.
  // Not noexcept: the task may be unwound while it waits for the disk. The dump's path;
  // nullopt when none could be written.
  std::optional<std::string> dump_after_error(const ErrorReport& report, std::optional<int> slot);
  // BOX_RECORD_DUMP [REASON=text], recorded like every box command.
  void register_commands(klippy::GCodeDispatch& gcode);
  // The commands registered through register_box_command, which are all a box records; a
  // replay runs no other.
  void command_registered(const std::string& name, const std::string& help);
  bool is_box_command(std::string_view name) const;
  // Each box command with its help text, for BOX_HELP.
  const std::map<std::string, std::string, std::less<>>& box_commands() const {
    return box_commands_;
  }

  const RecordRing& ring() const { return ring_; }
  std::string dump_folder() const;
  // dump_folder() and, if it differs, the folder of the saved variables, where older
  // versions wrote their records.
  std::vector<std::string> dump_folders() const;

 private:
  void cmd_BOX_RECORD_DUMP(klippy::GCodeCommand& gcmd);
  double print_time_of(double eventtime) const noexcept;
  // NaN before the host is ready or when the toolhead cannot tell.
  double extruder_position() const noexcept;
  std::string next_dump_path();
  void remove_old_dumps() const;

  klippy::Printer& printer_;
  klippy::Reactor& reactor_;
  klippy::Mcu& mcu_;
  klippy::SaveVariables& save_variables_;
  klippy::Toolhead* toolhead_ = nullptr;  // known once the host is ready
  std::vector<std::pair<std::string, std::string>> wiring_;
  RecordRing ring_;
  int command_depth_ = 0;
  BoxState* command_state_ = nullptr;
  int own_commands_ = 0;
  std::array<std::uint64_t, kMaxSlots> last_move_{};
  std::map<std::string, std::string, std::less<>> box_commands_;
  // The number of the next dump; 0 until the folder was looked at.
  long next_dump_number_ = 0;
};

}  // namespace feedhub
