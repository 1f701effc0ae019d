// Checked reads of saved values. Anyone can write any literal under any key with
// SAVE_VARIABLE, and the host shuts the printer down when a command fails with anything
// but a command error: so a saved value of the wrong type or out of range is a command
// error naming the key, the value found and what is expected, never a crash further on.
#pragma once

#include <string>

#include "klippy/extras/feedhub/slots.h"
#include "klippy/host/errors.h"
#include "klippy/host/value.h"

namespace feedhub {

class FeedHub;

// Bound of the saved counters (runouts, load retries): far beyond any real count, and far
// from overflowing when one is added.
inline constexpr long long kMaxSavedCount = 1'000'000'000;

// "Saved variable <key> = <value> is not <expected>; correct it with SAVE_VARIABLE ..."
klippy::CommandError bad_saved_value(const std::string& key, const klippy::Value& found,
                                     const std::string& expected);

// An integer (True and False count as 1 and 0, as in the host language) from `min` to
// `max`; `default_value` when the key is absent.
long long saved_int(const FeedHub& hub, const std::string& key, long long default_value,
                    long long min, long long max);

// `box_count`: 0 to 4 attached boxes. Not saved yet: the configured boxes, at least
// `default_count`.
int saved_box_count(const FeedHub& hub, int default_count);
// Boxes whose four slot feeders are all configured ([feedlane slotN] sections / 4).
int configured_box_count(const FeedHub& hub);

}  // namespace feedhub
