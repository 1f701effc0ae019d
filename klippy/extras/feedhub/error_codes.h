// Every numbered report of the box, in one table: its code, how front ends show it, its
// message, what TRY_MOVE_AGAIN does for the step it records, and what it means and what the
// user should do (BOX_ERROR_HELP, the line after each report, the README's error table).
// Behaviour follows from an entry, never from comparing code strings, so a renumbered code
// keeps its retry.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "klippy/extras/feedhub/error_report.h"

namespace feedhub::reports {

inline constexpr ErrorReport kSlotLoadFailed{
    .code = 1,
    .way = ReportWay::Error,
    .message = "Slot loading failure, please check the trigger, please reload %s.",
    .retry = RetryAction::ClearFailedSlotLoad,
    .meaning =
        "The feeder of %s could not bring the filament to the box outlet sensor: the "
        "filament slipped, is tangled on the spool, or the outlet sensor did not "
        "trigger.",
    .advice =
        "Check that the filament of %s runs freely from the spool and that its end is "
        "cut clean, then push it into the slot again (or run RELOAD_ALL)."};
inline constexpr ErrorReport kExtruderLoaded{
    .code = 2,
    .way = ReportWay::Error,
    .message = "Extruder has been loaded, cannot load %s.",
    .retry = RetryAction::UnloadLoadedThenLoadSlot,
    .meaning =
        "%s was to be loaded while filament of another slot occupies the box outlet "
        "path.",
    .advice =
        "Unload the slot that is in the extruder first (EXTRUDER_UNLOAD), or let "
        "TRY_MOVE_AGAIN unload it and load %s."};
inline constexpr ErrorReport kSlotUnloadFailed{
    .code = 3,
    .way = ReportWay::Warning,
    .message = "Slot unloading failure, please unload %s again.",
    .retry = RetryAction::UnloadSlot,
    .meaning =
        "The filament of %s did not leave the slot sensor while it was pulled back into "
        "the box.",
    .advice = "Check that nothing holds the filament of %s in the tube, then unload it again."};
inline constexpr ErrorReport kUnloadExtruderFirst{
    .code = 4,
    .way = ReportWay::Error,
    .message = "Please unload extruder first.",
    .retry = RetryAction::UnloadExtruderThenSlot,
    .meaning =
        "%s was to be unloaded from the box while its filament is still in the "
        "extruder.",
    .advice =
        "Unload the extruder first (EXTRUDER_UNLOAD SLOT=slotN), or let TRY_MOVE_AGAIN "
        "unload both."};
inline constexpr ErrorReport kLoadFilamentFirst{
    .code = 5,
    .way = ReportWay::Info,
    .message = "Please load the filament to %s first.\n",
    .retry = RetryAction::LoadExtruder,
    .meaning = "%s was to feed the extruder, but its slot sensor sees no filament.",
    .advice = "Insert filament into %s (the box pulls it in), then retry."};
inline constexpr ErrorReport kExtruderLoadFailed{
    .code = 6,
    .way = ReportWay::Info,
    .message = "Extruder loading failure.",
    .retry = RetryAction::LoadExtruder,
    .meaning =
        "The filament of %s did not reach the extruder entry sensor, or the extruder "
        "did not take it: a jam in the tube or the toolhead, a bent tube, or a cold "
        "nozzle.",
    .advice =
        "Check the tube from the box to the toolhead and the extruder gears for a jam or "
        "a broken piece of filament and remove it, then retry."};
inline constexpr ErrorReport kExtruderNotLoaded{
    .code = 7,
    .way = ReportWay::Info,
    .message = "Extruder not loaded.",
    .retry = RetryAction::None,
    .meaning =
        "An extruder unload of %s found no filament in the box outlet path: there was "
        "nothing to withdraw.",
    .advice =
        "Nothing to fix if the extruder is really empty; otherwise check the outlet "
        "sensor."};
inline constexpr ErrorReport kExtruderUnloadFailed{
    .code = 9,
    .way = ReportWay::Info,
    .message = "Extruder unloading failure.",
    .retry = RetryAction::UnloadExtruder,
    .meaning =
        "The filament of %s did not leave the extruder and the outlet path when it was "
        "pulled back: it is stuck in the nozzle or the cutter did not cut through.",
    .advice =
        "Heat the nozzle, check the cutter and pull the filament out of the toolhead if "
        "needed, then retry."};
inline constexpr ErrorReport kFeedingStateIncorrect{
    .code = 10,
    .way = ReportWay::Error,
    .message =
        "The current feeding status is incorrect. Please exit the filament from the extruder.",
    .retry = RetryAction::Forget,
    .meaning =
        "The saved state says a slot follows the extruder, but no such slot is "
        "configured (fewer boxes than when it was saved).",
    .advice =
        "Pull the filament out of the extruder by hand, or connect the box it came "
        "from again."};
inline constexpr ErrorReport kOutletOccupied{
    .code = 11,
    .way = ReportWay::Info,
    .message = "Detected that filament have been loaded, please unload filament first",
    .retry = RetryAction::Forget,
    .meaning = "A tag was to be read while filament occupies the box outlet path.",
    .advice = "Unload the extruder first, then read the tag again (RFID_READ)."};
inline constexpr ErrorReport kWrappingFilament{
    .code = 13,
    .way = ReportWay::Info,
    .message = "Detected wrapping filament,please check the filament.",
    .retry = RetryAction::Forget,
    .meaning =
        "The filament did not move while a slot fed it: it is wrapped around the spool "
        "or its holder.",
    .advice = "Unwind the spool so that the filament runs freely."};
inline constexpr ErrorReport kSelfInspectionFailed{
    .code = 15,
    .way = ReportWay::Info,
    .message = "Box self-inspection failed, please try manually withdrawing the fed filament.",
    .retry = RetryAction::Forget,
    .meaning = "Filament is in the box outlet path, and no slot could move it.",
    .advice = "Pull the filament out of the outlet by hand, then run BOX_SELF_INSPECTION."};
inline constexpr ErrorReport kFilamentExhausted{
    .code = 16,
    .way = ReportWay::Info,
    .message = "The filament has been exhausted, please load the filament to %s.",
    .retry = RetryAction::Forget,
    .meaning =
        "The spool of %s ran out during the print, and automatic switching is off or "
        "found no slot to take over.",
    .advice =
        "The rest of the strand is still in the tube and the extruder: unload it "
        "(EXTRUDER_UNLOAD SLOT=slotN), insert a new spool into %s and load it "
        "(EXTRUDER_LOAD SLOT=slotN), then run TRY_MOVE_AGAIN and RESUME."};
inline constexpr ErrorReport kFlushFailed{
    .code = 17,
    .way = ReportWay::Info,
    .message = "Filament flush failed, please clean and then load the filament in %s.",
    .retry = RetryAction::Forget,
    .meaning =
        "After a runout the old filament was still at the toolhead after every purge "
        "pass.",
    .advice =
        "Clean the toolhead and the purge chute and load the filament of %s, then run "
        "TRY_MOVE_AGAIN and RESUME."};
inline constexpr ErrorReport kNoFilamentSpecified{
    .code = 18,
    .way = ReportWay::Info,
    .message = "No filament specified, %s cannot be automatically replaced.",
    .retry = RetryAction::Forget,
    .meaning =
        "The spool of %s ran out, but its filament, colour and vendor are not known, so "
        "no slot with the same spool can take over.",
    .advice = "Describe the spool (BOX_SET_SLOT or a tag read), or insert a new spool."};
inline constexpr ErrorReport kTubeBent{
    .code = 19,
    .way = ReportWay::Error,
    .message = "Please check if your PTFE Tube is bent",
    .retry = RetryAction::Forget,
    .meaning =
        "Filament fed for a tag read did not reach the box outlet, although the slot "
        "sensor still sees it.",
    .advice = "Straighten the tube between the slot and the outlet, then read the tag again."};
inline constexpr ErrorReport kFilamentGone{
    .code = 20,
    .way = ReportWay::Error,
    .message = "Detected that the filament has been unloaded, please reload.",
    .retry = RetryAction::Forget,
    .meaning = "The filament left the slot while it was fed for a tag read.",
    .advice = "Insert the filament into the slot again."};
inline constexpr ErrorReport kUnrecognisedFilament{
    .code = 21,
    .way = ReportWay::Error,
    .message = "Unable to recognize loaded filament.",
    .retry = RetryAction::Forget,
    .meaning =
        "Filament is in the outlet path, but the box does not know which slot it "
        "belongs to.",
    .advice =
        "Pull the filament out of the extruder and the outlet by hand, then load the "
        "slot again."};
inline constexpr ErrorReport kNoReplaceableSlot{
    .code = 22,
    .way = ReportWay::Info,
    .message = "No replaceable slot found.",
    .retry = RetryAction::Forget,
    .meaning =
        "A spool ran out and no other loaded slot holds the same filament, colour and "
        "vendor.",
    .advice =
        "Insert a spool of the same filament into a slot, or a new spool into the empty "
        "one."};
inline constexpr ErrorReport kAutoReloadFailed{
    .code = 23,
    .way = ReportWay::Info,
    .message = "Auto reload failed.",
    .retry = RetryAction::Forget,
    .meaning = "AUTO_RELOAD_FILAMENT found no slot to take over from the empty one.",
    .advice =
        "Load a slot by hand (EXTRUDER_LOAD SLOT=slotN), then run TRY_MOVE_AGAIN and "
        "RESUME."};
inline constexpr ErrorReport kFilamentStopped{
    .code = 24,
    .way = ReportWay::Error,
    .message = "The filament of %s stopped moving while the extruder printed.",
    .retry = RetryAction::Forget,
    .meaning =
        "The box's motion sensor saw no movement of %s's filament while the extruder "
        "extruded: a jam in the tube or the toolhead, a tangled spool, or gears that grind "
        "the filament.",
    .advice =
        "Check the spool of %s, the tube and the extruder gears and free the filament; purge "
        "until it flows from the nozzle, then run TRY_MOVE_AGAIN and RESUME."};

inline constexpr std::array kAll = {
    kSlotLoadFailed,        kExtruderLoaded,       kSlotUnloadFailed,    kUnloadExtruderFirst,
    kLoadFilamentFirst,     kExtruderLoadFailed,   kExtruderNotLoaded,   kExtruderUnloadFailed,
    kFeedingStateIncorrect, kOutletOccupied,       kWrappingFilament,    kSelfInspectionFailed,
    kFilamentExhausted,     kFlushFailed,          kNoFilamentSpecified, kTubeBent,
    kFilamentGone,          kUnrecognisedFilament, kNoReplaceableSlot,   kAutoReloadFailed,
    kFilamentStopped};

}  // namespace feedhub::reports

namespace feedhub {

// The table's entry for a recorded step name ("ZKE_004_005"); nullopt for a name of no code
// in the table.
std::optional<ErrorReport> report_of_step(std::string_view step_name);
// The entry of a code as users write it: "6", "006", "ZKE_004_006" or a recorded step
// "ZKE_004_006_2"; nullopt when no entry has that code.
std::optional<ErrorReport> report_of_code(std::string_view text);
// "1-7, 9-11, 13, 15-23": the codes of the table, for error messages.
std::string known_codes();

// What TRY_MOVE_AGAIN does for a step of this report, in one sentence.
std::string retry_effect(const ErrorReport& report, std::optional<int> slot);
// "error", "warning" or "information": how front ends show the report.
std::string_view severity_name(ReportWay way);
// The line the box sends after each report: what to do, and what TRY_MOVE_AGAIN will do.
std::string advice_line(const ErrorReport& report, std::optional<int> slot);
// BOX_ERROR_HELP's answer: the report, what it means, what to do, what a retry does.
std::string catalogue_entry_text(const ErrorReport& report, std::optional<int> slot);
// The README's error table (Markdown), one row per code.
std::string catalogue_markdown();

}  // namespace feedhub
