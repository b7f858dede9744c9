#include "engine/payload_reader.h"

#include "core/datagram.h"
#include "file/data_file.h"

#include <cstring>

int readPayloads(DataFile& source, unsigned char* batch, int length, int payloadSize, int count,
                 int previous, SendStatus::Kind& fault)
{
    unsigned char* const payloads = batch + TestDatagram::kHeaderSize;
    const auto stride = static_cast<std::size_t>(length);
    auto payload = [&](int i) { return payloads + stride * static_cast<std::size_t>(i); };
    int filled = 0;
    bool rewound = false;
    while (filled < count) {
        const int got = source.readChunks(payload(filled), stride, payloadSize, count - filled);
        if (got == 0 && !rewound) {
            if (source.seek(0) < 0) {
                fault = SendStatus::UnreadableSource;
                return filled;
            }
            rewound = true;
            continue;
        }
        if (got <= 0) {
            fault = got == 0 ? SendStatus::EmptySource : SendStatus::UnreadableSource;
            return filled;
        }
        rewound = false;
        filled += got / payloadSize;
        if (const int rest = got % payloadSize; rest > 0) {
            const int before = filled > 0 ? filled - 1 : previous;
            if (before != filled)
                std::memcpy(payload(filled) + rest, payload(before) + rest,
                            static_cast<std::size_t>(payloadSize - rest));
            ++filled;
        }
    }
    return filled;
}
