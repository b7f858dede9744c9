#pragma once

#include "channel/dc_channel.h"

// One entry of the channel pool.
struct DcSlot {
    int inUse = 0;
    DcChannel channel;
};
