// The controller's access to the host's saved variables.
#include "klippy/extras/feedhub/feedhub.h"
#include "klippy/extras/feedhub/saved_values.h"
#include "klippy/host/atomic_file.h"
#include "klippy/host/variables_file.h"

namespace feedhub {

void FeedHub::save_variable(const std::string& varname, const klippy::Value& value) {
  const std::string failed = "Unable to save variable " + varname + " as " + value.str();
  // A file the host cannot read back would stop the next start: refused before writing.
  if (!klippy::is_valid_variable_name(varname))
    throw klippy::CommandError(failed +
                               ": the name may hold only lower-case letters, digits "
                               "and '_'");
  if (!klippy::reads_back(value))
    throw klippy::CommandError(failed + ": its written form " + value.repr() +
                               " does not read back as the same value");
  klippy::VariableMap updated = save_variables_.all_variables();
  updated[varname] = value;
  if (const std::string* unwritable = klippy::find_unwritable(updated))
    throw klippy::CommandError(
        failed + ": the saved " + *unwritable + " = " + updated.at(*unwritable).repr() +
        " would not read back; correct that line of " + save_variables_.filename());
  // Replaced atomically, so a crash or a full disk leaves the previous file intact.
  try {
    klippy::write_file_atomically(save_variables_.filename(), klippy::format_variables(updated));
  } catch (const std::exception& e) {
    printer_.log().error(std::string("Saving variable ") + varname + " failed: " + e.what());
    throw klippy::CommandError(failed + ": " + e.what());
  }
  save_variables_.load_variables();
}

void FeedHub::remove_variables(const std::vector<std::string>& varnames) {
  klippy::VariableMap updated = save_variables_.all_variables();
  bool removed = false;
  for (const std::string& varname : varnames) removed = updated.erase(varname) != 0 || removed;
  if (!removed) return;
  try {
    klippy::write_file_atomically(save_variables_.filename(), klippy::format_variables(updated));
  } catch (const std::exception& e) {
    printer_.log().error(std::string("Removing saved variables failed: ") + e.what());
    throw klippy::CommandError("Unable to remove saved variable " + varnames.front());
  }
  save_variables_.load_variables();
}

klippy::Value FeedHub::get_value_by_key(const std::string& varname,
                                        const klippy::Value& default_value) const {
  const klippy::VariableMap& variables = save_variables_.all_variables();
  auto it = variables.find(varname);
  return it == variables.end() ? default_value : it->second;
}

std::string FeedHub::get_key_by_value(const klippy::Value& value, const std::string& default_key,
                                      const std::string& keyword) const {
  for (const auto& [key, stored] : save_variables_.all_variables()) {
    if (stored == value && key.find(keyword) != std::string::npos) return key;
  }
  return default_key;
}

int FeedHub::search_index_by_value(const klippy::Value& value) const {
  const int slot_count = saved_slot_count(*this, 0);
  for (int slot = 0; slot < slot_count; ++slot) {
    if (get_value_by_key(slot_name(slot)) == value) return slot;
  }
  return -1;
}

std::optional<TempRange> FeedHub::slot_filament_temps(int slot, TempPurpose purpose) const {
  return lookup_filament_temps(
      printer_, get_value_by_key("filament_slot" + std::to_string(slot), 1), purpose);
}

}  // namespace feedhub
