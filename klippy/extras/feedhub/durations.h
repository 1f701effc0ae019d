// How long something took, in words a console reader takes in at a glance: tenths of a
// second below a minute, whole seconds below an hour, whole minutes above.
#pragma once

#include <string>

namespace feedhub {

// "0.8 s", "14.2 s", "2 min 05 s", "4 h 00 min". A negative or unknown length reads as
// "0.0 s": clocks of different tasks may disagree by a hair.
std::string readable_duration(double seconds);

}  // namespace feedhub
