// The channel states as the engine's hosts see them. The table itself lives
// with the stream buffers, which write their own channel's entry.
#pragma once

#include "streams/ChannelStates.h"
