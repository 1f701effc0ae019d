#include "klippy/extras/feedhub/variable_store.h"

#include <algorithm>
#include <utility>

#include "klippy/extras/feedhub/box_state.h"
#include "klippy/extras/feedhub/gcode_lock.h"
#include "klippy/host/file_writer.h"
#include "klippy/host/log.h"
#include "klippy/host/variables_file.h"

namespace feedhub {

namespace {

constexpr int kMaxWriteRounds = 3;

}  // namespace

VariableStore::VariableStore(klippy::Printer& printer, klippy::SaveVariables& host,
                             BlackBox& black_box, const BoxState& box_state)
    : printer_(printer), host_(host), black_box_(black_box), box_state_(box_state) {}

void VariableStore::write_variables(const std::function<void(klippy::VariableMap&)>& change) {
  if (!save_lock_) save_lock_ = printer_.get_reactor().mutex();
  const ReactorLock lock(*save_lock_);
  // Other tasks run while the file is written. The host's own SAVE_VARIABLE among them
  // rewrites the file at once and reloads its copy, and our rename may land over that:
  // the whole write is done again over the host's new copy, so neither value is lost.
  // The counts ride along with whatever is saved; they wait for the next save if this fails.
  const StatsBySlot counted = stats_.take();
  klippy::VariableMap updated;
  bool host_unchanged = false;
  try {
    for (int round = 0; round < kMaxWriteRounds && !host_unchanged; ++round) {
      const klippy::VariableMap base = host_.all_variables();
      updated = base;
      change(updated);
      fold_stats(updated, counted);
      printer_.file_writer().write(host_.filename(), klippy::format_variables(updated));
      host_unchanged = host_.all_variables() == base;
    }
  } catch (...) {
    stats_.put_back(counted);
    throw;
  }
  // Only when no save of the host's raced ours is the file known to hold `updated`;
  // otherwise whichever rename landed last is read back.
  if (host_unchanged)
    host_.file_written(std::move(updated));
  else
    host_.load_variables();
}

void VariableStore::save_variable(const std::string& varname, const klippy::Value& value) {
  save_variables({{varname, value}});
}

void VariableStore::save_variables(
    const std::vector<std::pair<std::string, klippy::Value>>& requested) {
  // A value the file holds already costs a write and an fsync for nothing (an SD card takes
  // 10 to 100 ms for each, and a tool change would make about twenty).
  const klippy::VariableMap& saved = host_.all_variables();
  std::vector<std::pair<std::string, klippy::Value>> values;
  for (const auto& [varname, value] : requested) {
    const auto previous = saved.find(varname);
    if (previous == saved.end() || previous->second.repr() != value.repr())
      values.emplace_back(varname, value);
  }
  if (values.empty()) return;
  // A file the host cannot read back would stop the next start: refused before writing.
  for (const auto& [varname, value] : values) {
    const std::string failed = "Unable to save variable " + varname + " as " + value.str();
    if (!klippy::is_valid_variable_name(varname))
      throw klippy::CommandError(failed +
                                 ": the name may hold only lower-case letters, digits "
                                 "and '_'");
    if (!klippy::reads_back(value))
      throw klippy::CommandError(failed + ": its written form " + value.repr() +
                                 " does not read back as the same value");
  }
  std::vector<std::optional<std::string>> old_reprs;
  for (const auto& [varname, value] : values) {
    const auto previous = saved.find(varname);
    old_reprs.push_back(previous == saved.end()
                            ? std::nullopt
                            : std::optional<std::string>(previous->second.repr()));
  }
  const std::string failed =
      "Unable to save variable " + values.front().first + " as " + values.front().second.str();
  // Written off the event loop and replaced atomically, so a crash or a full disk leaves
  // the previous file intact; the values change only once the new file is in place.
  try {
    write_variables([&](klippy::VariableMap& updated) {
      for (const auto& [varname, value] : values) updated[varname] = value;
      if (const std::string* unwritable = klippy::find_unwritable(updated))
        throw klippy::CommandError(
            failed + ": the saved " + *unwritable + " = " + updated.at(*unwritable).repr() +
            " would not read back; correct that line of " + host_.filename());
    });
  } catch (const klippy::CommandError&) {
    throw;
  } catch (const std::exception& e) {
    printer_.log().error(std::string("Saving variable ") + values.front().first +
                         " failed: " + e.what());
    throw klippy::CommandError(failed + ": " + e.what());
  }
  for (size_t i = 0; i < values.size(); ++i)
    black_box_.variable_written(values[i].first, values[i].second.repr(), old_reprs[i]);
}

void VariableStore::remove_variables(const std::vector<std::string>& varnames) {
  const klippy::VariableMap& saved = host_.all_variables();
  if (std::none_of(varnames.begin(), varnames.end(),
                   [&](const std::string& varname) { return saved.count(varname) != 0; }))
    return;
  std::vector<std::pair<std::string, std::string>> removed;
  for (const std::string& varname : varnames) {
    if (auto it = saved.find(varname); it != saved.end())
      removed.emplace_back(varname, it->second.repr());
  }
  try {
    write_variables([&](klippy::VariableMap& updated) {
      for (const std::string& varname : varnames) updated.erase(varname);
    });
  } catch (const klippy::CommandError&) {
    throw;
  } catch (const std::exception& e) {
    printer_.log().error(std::string("Removing saved variables failed: ") + e.what());
    throw klippy::CommandError("Unable to remove saved variable " + varnames.front());
  }
  for (const auto& [varname, old_repr] : removed)
    black_box_.variable_written(varname, std::nullopt, old_repr);
}

klippy::Value VariableStore::get_value_by_key(const std::string& varname,
                                              const klippy::Value& default_value) const {
  if (const klippy::Value* pending = box_state_.pending_value(varname)) return *pending;
  const klippy::VariableMap& variables = host_.all_variables();
  auto it = variables.find(varname);
  return it == variables.end() ? default_value : it->second;
}

std::string VariableStore::get_key_by_value(const klippy::Value& value,
                                            const std::string& default_key,
                                            const std::string& keyword) const {
  for (const auto& [key, stored] : host_.all_variables()) {
    if (stored == value && key.find(keyword) != std::string::npos) return key;
  }
  return default_key;
}

}  // namespace feedhub
