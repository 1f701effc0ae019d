// The read-only filament table: nozzle and drying temperature ranges per filament type,
// in sections "fila<type id>".
#pragma once

#include <optional>
#include <string>

#include "klippy/host/ini.h"
#include "klippy/host/printer.h"
#include "klippy/host/value.h"

namespace feedhub {

inline constexpr const char* kFilamentTablePath =
    "/home/zur/printer_data/config/officiall_filas_list.cfg";

enum class TempPurpose { Nozzle, BoxDrying };

struct TempRange {
  int min_temp;
  int max_temp;
};

// The table as it is on disk now (it is maintained outside the box, so never cached). A
// missing, unreadable or malformed file reads as empty.
klippy::IniDocument read_filament_table(klippy::Printer& printer);

// "fila" + the type id as text ("fila1" for 1).
std::string filament_section_name(const klippy::Value& filament_id);

// The range of the filament type for `purpose`; nullopt when the table has no section for
// it. CommandError when the section lacks one of the two options or holds a non-integer.
std::optional<TempRange> lookup_filament_temps(klippy::Printer& printer,
                                               const klippy::Value& filament_id,
                                               TempPurpose purpose);

}  // namespace feedhub
