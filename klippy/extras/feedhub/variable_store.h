// The box's access to the host's saved variables: every write replaces the whole file
// (off the event loop, atomically) and reloads the host's copy; reads see what the box
// state has not written yet. The per-slot usage counts ride along with each write.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "klippy/extras/feedhub/black_box.h"
#include "klippy/extras/feedhub/box_stats.h"
#include "klippy/host/components.h"
#include "klippy/host/printer.h"
#include "klippy/host/value.h"

namespace feedhub {

class BoxState;

class VariableStore {
 public:
  // `black_box` records every write; `box_state` holds the values not written yet. Both are
  // used only once the host runs.
  VariableStore(klippy::Printer& printer, klippy::SaveVariables& host, BlackBox& black_box,
                const BoxState& box_state);
  VariableStore(const VariableStore&) = delete;
  VariableStore& operator=(const VariableStore&) = delete;

  void save_variable(const std::string& varname, const klippy::Value& value);
  // Several values in one write: readers see all of them or, when it fails, none.
  void save_variables(const std::vector<std::pair<std::string, klippy::Value>>& values);
  // Takes the variables out of the file, so that their readers see their defaults again;
  // one write for all of them, none when none is saved.
  void remove_variables(const std::vector<std::string>& varnames);

  // The host's saved variables as they are now; valid until the next read or save.
  const klippy::VariableMap& all_variables() const { return host_.all_variables(); }
  const std::string& filename() const { return host_.filename(); }
  klippy::Value get_value_by_key(const std::string& varname,
                                 const klippy::Value& default_value = klippy::Value(0)) const;
  // First key, in key order, that contains `keyword` and holds `value`; else `default_key`.
  std::string get_key_by_value(const klippy::Value& value, const std::string& default_key,
                               const std::string& keyword) const;

  // Per-slot usage counts; what is counted reaches the file with the next save.
  BoxStats& stats() { return stats_; }

 private:
  // Writes the saved variables as `change` leaves them and reloads the host's copy.
  void write_variables(const std::function<void(klippy::VariableMap&)>& change);

  klippy::Printer& printer_;
  klippy::SaveVariables& host_;
  BlackBox& black_box_;
  const BoxState& box_state_;
  BoxStats stats_;
  // Saves reach the file one at a time, in the order they were asked for.
  std::unique_ptr<klippy::ReactorMutex> save_lock_;
};

}  // namespace feedhub
