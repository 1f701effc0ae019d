#include "klippy/extras/feedhub/feedhub.h"

namespace feedhub {

void FeedHub::register_front_button_commands() {}

}  // namespace feedhub
