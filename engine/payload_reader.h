#pragma once

#include "core/send_events.h"

class DataFile;

// Fills the payloads of count datagrams lying length bytes apart from batch
// as count reads of one payload each would: a short chunk keeps the tail of
// the payload before it (that of the datagram at previous for the first),
// and at the end of the file the payload starts again from its beginning.
// The payloads filled; fewer than count when the source turned out empty or
// unreadable, which fault then says.
int readPayloads(DataFile& source, unsigned char* batch, int length, int payloadSize, int count,
                 int previous, SendStatus::Kind& fault);
