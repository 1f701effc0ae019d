#include "klippy/extras/feedhub/feedhub.h"

namespace feedhub {

void FeedHub::register_self_inspection_commands() {}

}  // namespace feedhub
