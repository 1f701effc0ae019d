// The read-only filament table: nozzle and drying temperature ranges per filament type,
// in sections "fila<type id>".
#pragma once

#include <map>
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

// The filament codes of the table's "fila<code>" sections and the `name` each gives (empty
// when a section has none).
std::map<long long, std::string> filament_names(const klippy::IniDocument& table);

// The code of the filament `text` names: a code of a section of the table ("2"), or the
// `name` of one (any case, "petg"); nullopt when the table knows neither.
std::optional<long long> find_filament_code(const klippy::IniDocument& table,
                                            const std::string& text);

// The code of the table's filament that a name outside the table is a kind of: the one
// whose `name` begins it, longest first ("PLA+" and "pla silk" are PLA, "PETG-HF" PETG);
// nullopt when no name does.
std::optional<long long> kin_filament_code(const klippy::IniDocument& table,
                                           const std::string& text);

}  // namespace feedhub
