#pragma once

#include "channel/dc_channel.h"

#include <atomic>

// One entry of the channel pool. inUse is written under the pool's lock and
// read without it by per-index calls on any thread: it is set, with release
// ordering, only once the channel is made, so that a call that sees 1 sees
// the whole channel.
struct DcSlot {
    std::atomic<int> inUse = 0;
    DcChannel channel;
};
