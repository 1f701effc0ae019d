// BOX_HELP: the box's commands in the groups a user looks for them in, everyday use first.
// The host's own HELP stays as the host makes it, one list of every command.
#pragma once

namespace feedhub {

class FeedHub;

void register_box_help(FeedHub& hub);

}  // namespace feedhub
