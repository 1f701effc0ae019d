#include "sim/host/world_card_reader.h"

#include <set>

#include "klippy/host/errors.h"
#include "sim/host/mcu.h"

namespace sim {
namespace {

// Value of `key=` in a configuration command, "" when absent.
std::string field(const std::string& cmd, const std::string& key) {
  const std::string wanted = " " + key + "=";
  const auto at = cmd.find(wanted);
  if (at == std::string::npos) return "";
  const auto start = at + wanted.size();
  return cmd.substr(start, cmd.find(' ', start) - start);
}

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

std::string card_reader_cs_pin(const SimMcu& mcu, int oid) {
  std::string spi_oid;
  for (const McuConfigCommand& c : mcu.config_commands()) {
    if (starts_with(c.cmd, "config_fm17550 ") && field(c.cmd, "oid") == std::to_string(oid))
      spi_oid = field(c.cmd, "spi_oid");
  }
  if (spi_oid.empty()) return "";
  for (const McuConfigCommand& c : mcu.config_commands()) {
    if (starts_with(c.cmd, "config_spi ") && field(c.cmd, "oid") == spi_oid)
      return field(c.cmd, "pin");
  }
  return "";
}

WorldCardReaders::WorldCardReaders(klippy::ConfigSection& config, const WorldGeometry& geometry)
    : slot_count_(geometry.slot_count) {
  for (int first_slot = 0; first_slot < geometry.slot_count; first_slot += 2) {
    const std::string option = "reader" + std::to_string(first_slot / 2 + 1) + "_cs_pin";
    const auto desc = config.get_optional(option);
    if (!desc) continue;
    std::string pin = *desc;
    const auto colon = pin.find(':');
    const std::string chip = colon == std::string::npos ? "mcu" : pin.substr(0, colon);
    if (colon != std::string::npos) pin.erase(0, colon + 1);
    readers_.push_back({first_slot, option, chip, pin});
  }
}

void WorldCardReaders::attach(klippy::Printer& printer, const FilamentWorld& world,
                              const PrintClock& clock) {
  world_ = &world;
  std::set<std::string> answering;
  for (const Reader& reader : readers_) {
    const std::string mcu_name = reader.chip == "mcu" ? "mcu" : "mcu " + reader.chip;
    auto* mcu = printer.lookup_object_or_null<SimMcu>(mcu_name);
    if (!mcu)
      throw klippy::ConfigError("Option '" + reader.option +
                                "' in section 'filament_world' names a pin of '" + reader.chip +
                                "', but there is no [" + mcu_name + "] section");
    if (!answering.insert(mcu_name).second) continue;
    mcu->register_device(kReadCommand, [this, mcu, &clock](const std::vector<klippy::Value>& args) {
      const int oid = args.empty() ? -1 : static_cast<int>(args[0].as_int());
      const double now = clock.print_time(mcu->reactor().monotonic());
      return answer(*mcu, card_reader_cs_pin(*mcu, oid), oid, now);
    });
  }
}

std::map<std::string, klippy::Value> WorldCardReaders::answer(const SimMcu& mcu,
                                                              const std::string& cs_pin, int oid,
                                                              double print_time) const {
  std::vector<int> tags;
  for (const Reader& reader : readers_) {
    if (reader.cs_pin != cs_pin || reader.chip != mcu.get_name()) continue;
    for (int slot = reader.first_slot; slot < reader.first_slot + 2 && slot < slot_count_; ++slot)
      if (world_ && world_->tag_at_reader(slot, print_time)) tags.push_back(slot);
  }
  std::map<std::string, klippy::Value> result{{"oid", oid}, {"status", 0}, {"data", ""}};
  if (tags.size() != 1) return result;
  const Spool& spool = world_->spool(tags[0]);
  if (spool.tag_unreadable) return result;
  result["status"] = 1;
  result["data"] = std::string(spool.tag->begin(), spool.tag->end());
  return result;
}

}  // namespace sim
