// The box firmware's own commands: SPI devices and the FM17550 card reader behind one.
#include "mcu.h"

namespace mcu_emu {

std::vector<Mcu::Command> Mcu::box_commands() {
  return {
      {"config_spi oid=%c pin=%u cs_active_high=%c",
       [this](const Params& p) {
         if (!claim_oid(p.u32("oid"))) return;
         devices_.spis[p.u32("oid")] = {.cs_pin = p.u32("pin"),
                                        .cs_active_high = p.u32("cs_active_high") != 0};
         // Every chip select idles deselected before any bus is set up.
         devices_.pin_levels[p.u32("pin")] = p.u32("cs_active_high") ? 0 : 1;
       }},
      {"config_spi_without_cs oid=%c",
       [this](const Params& p) {
         if (claim_oid(p.u32("oid"))) devices_.spis[p.u32("oid")] = {};
       }},
      {"spi_set_bus oid=%c spi_bus=%u mode=%u rate=%u",
       [this](const Params& p) {
         if (auto* spi = find(devices_.spis, p.u32("oid"))) spi->bus_set = true;
       }},
      {"spi_set_software_bus oid=%c miso_pin=%u mosi_pin=%u sclk_pin=%u mode=%u rate=%u",
       [this](const Params& p) {
         if (auto* spi = find(devices_.spis, p.u32("oid"))) spi->bus_set = true;
       }},
      {"config_spi_shutdown oid=%c spi_oid=%c shutdown_msg=%*s",
       [this](const Params& p) {
         if (find(devices_.spis, p.u32("spi_oid"))) claim_other(p.u32("oid"), "spi_shutdown");
       }},
      // No chip on the bus answers: what a floating MISO line reads.
      {"spi_transfer oid=%c data=%*s",
       [this](const Params& p) {
         if (!find(devices_.spis, p.u32("oid"))) return;
         send("spi_transfer_response",
              {std::int64_t{p.u32("oid")}, std::string(p.bytes("data").size(), '\0')});
       }},
      {"spi_send oid=%c data=%*s", [this](const Params& p) { find(devices_.spis, p.u32("oid")); }},
      {"config_fm17550 oid=%c spi_oid=%c",
       [this](const Params& p) {
         if (!find(devices_.spis, p.u32("spi_oid")) || !claim_oid(p.u32("oid"))) return;
         devices_.card_readers[p.u32("oid")] = {.spi_oid = p.u32("spi_oid")};
       }},
      // The host sends it when it takes over an already configured box; the reader polls
      // nothing by itself, so there is nothing to restart.
      {"query_fm17550 oid=%c rest_ticks=%u",
       [this](const Params& p) { find(devices_.card_readers, p.u32("oid")); }},
      {"fm17550_read_card_cb oid=%c",
       [this](const Params& p) {
         const auto* reader = find(devices_.card_readers, p.u32("oid"));
         if (!reader) return;
         const SpiDevice& spi = devices_.spis.at(reader->spi_oid);
         std::optional<std::string> tag;
         if (tag_reader_ && spi.cs_pin) tag = tag_reader_(*spi.cs_pin, clock_());
         send("fm17550_read_card_return",
              {std::int64_t{p.u32("oid")}, std::int64_t{tag ? 1 : 0}, tag.value_or("")});
       }},
  };
}

}  // namespace mcu_emu
