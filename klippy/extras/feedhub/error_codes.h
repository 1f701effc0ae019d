// Every numbered report of the box, in one table: its code, how front ends show it, its
// message, and what TRY_MOVE_AGAIN does for the step it records. Behaviour follows from an
// entry, never from comparing code strings, so a renumbered code keeps its retry.
#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "klippy/extras/feedhub/error_report.h"

namespace feedhub::reports {

inline constexpr ErrorReport kSlotLoadFailed{
    1, ReportWay::Error, "Slot loading failure, please check the trigger, please reload %s.",
    RetryAction::ClearFailedSlotLoad};
inline constexpr ErrorReport kExtruderLoaded{2, ReportWay::Error,
                                             "Extruder has been loaded, cannot load %s.",
                                             RetryAction::UnloadLoadedThenLoadSlot};
inline constexpr ErrorReport kSlotUnloadFailed{3, ReportWay::Warning,
                                               "Slot unloading failure, please unload %s again.",
                                               RetryAction::UnloadSlot};
inline constexpr ErrorReport kUnloadExtruderFirst{
    4, ReportWay::Error, "Please unload extruder first.", RetryAction::UnloadExtruderThenSlot};
inline constexpr ErrorReport kLoadFilamentFirst{
    5, ReportWay::Info, "Please load the filament to %s first.\n", RetryAction::LoadExtruder};
inline constexpr ErrorReport kExtruderLoadFailed{6, ReportWay::Info, "Extruder loading failure.",
                                                 RetryAction::LoadExtruder};
inline constexpr ErrorReport kExtruderNotLoaded{7, ReportWay::Info, "Extruder not loaded.",
                                                RetryAction::None};
inline constexpr ErrorReport kExtruderUnloadFailed{
    9, ReportWay::Info, "Extruder unloading failure.", RetryAction::UnloadExtruder};
inline constexpr ErrorReport kFeedingStateIncorrect{
    10, ReportWay::Error,
    "The current feeding status is incorrect. Please exit the filament from the extruder.",
    RetryAction::None};
inline constexpr ErrorReport kOutletOccupied{
    11, ReportWay::Info, "Detected that filament have been loaded, please unload filament first",
    RetryAction::None};
inline constexpr ErrorReport kWrappingFilament{
    13, ReportWay::Info, "Detected wrapping filament,please check the filament.",
    RetryAction::None};
inline constexpr ErrorReport kSelfInspectionFailed{
    15, ReportWay::Info,
    "Box self-inspection failed, please try manually withdrawing the fed filament.",
    RetryAction::None};
inline constexpr ErrorReport kFilamentExhausted{
    16, ReportWay::Info, "The filament has been exhausted, please load the filament to %s.",
    RetryAction::None};
inline constexpr ErrorReport kFlushFailed{
    17, ReportWay::Info, "Filament flush failed, please clean and then load the filament in %s.",
    RetryAction::None};
inline constexpr ErrorReport kNoFilamentSpecified{
    18, ReportWay::Info, "No filament specified, %s cannot be automatically replaced.",
    RetryAction::None};
inline constexpr ErrorReport kTubeBent{19, ReportWay::Error,
                                       "Please check if your PTFE Tube is bent", RetryAction::None};
inline constexpr ErrorReport kFilamentGone{
    20, ReportWay::Error, "Detected that the filament has been unloaded, please reload.",
    RetryAction::None};
inline constexpr ErrorReport kUnrecognisedFilament{
    21, ReportWay::Error, "Unable to recognize loaded filament.", RetryAction::None};
inline constexpr ErrorReport kNoReplaceableSlot{22, ReportWay::Info, "No replaceable slot found.",
                                                RetryAction::None};
inline constexpr ErrorReport kAutoReloadFailed{23, ReportWay::Info, "Auto reload failed.",
                                               RetryAction::None};

inline constexpr std::array kAll = {
    kSlotLoadFailed,        kExtruderLoaded,       kSlotUnloadFailed,    kUnloadExtruderFirst,
    kLoadFilamentFirst,     kExtruderLoadFailed,   kExtruderNotLoaded,   kExtruderUnloadFailed,
    kFeedingStateIncorrect, kOutletOccupied,       kWrappingFilament,    kSelfInspectionFailed,
    kFilamentExhausted,     kFlushFailed,          kNoFilamentSpecified, kTubeBent,
    kFilamentGone,          kUnrecognisedFilament, kNoReplaceableSlot,   kAutoReloadFailed};

}  // namespace feedhub::reports

namespace feedhub {

// The table's entry for a recorded step name ("ZKE_004_005"); nullopt for a name of no code
// in the table.
std::optional<ErrorReport> report_of_step(std::string_view step_name);

}  // namespace feedhub
