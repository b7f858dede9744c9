#pragma once

#include "core/datagram.h"
#include "engine/send_engine.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// A send engine whose datagrams go nowhere: each attempt is taken whole and
// recorded, every datagram with the group it was for and its sequence.
class RecordingSender : public SendEngine {
public:
    struct Datagram {
        std::size_t group = 0;
        std::uint32_t sequence = 0;

        bool operator==(const Datagram&) const = default;
    };

    using SendEngine::SendEngine;

    std::vector<Datagram> datagrams;
    std::vector<int> calls;   // the datagrams of each attempt

protected:
    int sendDatagrams(int /*slot*/, const unsigned char* first, int length, int count,
                      std::size_t group) override
    {
        const std::size_t groupCount = groups().empty() ? 1 : groups().size();
        for (int i = 0; i < count; ++i) {
            const TestDatagram d =
                TestDatagram::parse(first + static_cast<std::ptrdiff_t>(i) * length, length);
            datagrams.push_back({(group + static_cast<std::size_t>(i)) % groupCount,
                                 static_cast<std::uint32_t>(d.seq)});
        }
        calls.push_back(count);
        return count;
    }
};
