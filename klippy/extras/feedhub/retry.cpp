#include "klippy/extras/feedhub/feedhub.h"

namespace feedhub {

void FeedHub::register_recovery_commands() {}

}  // namespace feedhub
