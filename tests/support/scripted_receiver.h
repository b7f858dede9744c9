#pragma once

#include "channel/batch_receive.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <utility>
#include <vector>

// A batch receiver whose system receives follow a script instead of a
// socket. Each receive takes the messages of the script's next call, up to
// the receive's max; what it leaves stays first in line for the next, as in
// a socket's queue. A call without messages is a receive that found nothing.
// Once the script is spent every receive finds nothing, and the first such
// one calls whenSpent (a test stops its run there).
class ScriptedReceiver : public BatchReceiver {
public:
    // One message as the system would bring it: its bytes (longer than the
    // buffer: it did not fit), who sent it, where to, and the segment size
    // carried with it (0: none), its hop limit (-1: none) and the system's
    // time of its arrival (0: none).
    struct Message {
        std::vector<unsigned char> bytes;
        SocketAddress sender;
        IpAddress destination;
        int segment = 0;
        int hopLimit = -1;
        std::int64_t arrivalNs = 0;
    };
    using Call = std::vector<Message>;

    explicit ScriptedReceiver(std::deque<Call> script, std::function<void()> whenSpent = {},
                              int bufferSize = kBufferSize)
        : BatchReceiver(bufferSize), script_(std::move(script)), whenSpent_(std::move(whenSpent))
    {
    }

    // System receives made so far, those that found nothing included.
    int calls() const { return calls_; }

protected:
    int receiveSystem(SocketHandle, int max, BatchReceiver::Message* messages) override
    {
        ++calls_;
        if (script_.empty()) {
            if (whenSpent_)
                std::exchange(whenSpent_, {})();
            return 0;
        }
        Call& call = script_.front();
        const int got = std::min(max, static_cast<int>(call.size()));
        for (int i = 0; i < got; ++i) {
            const Message& from = call[static_cast<std::size_t>(i)];
            BatchReceiver::Message& m = messages[i];
            const std::size_t n = std::min(from.bytes.size(), bufferSize());
            if (n != 0)
                std::memcpy(buffer(i), from.bytes.data(), n);
            m = {};
            m.length = from.bytes.size() > bufferSize() ? -1 : static_cast<int>(n);
            m.segment = from.segment;
            m.sender = from.sender;
            m.destination = from.destination;
            m.hopLimit = from.hopLimit;
            m.arrivalNs = from.arrivalNs;
        }
        call.erase(call.begin(), call.begin() + got);
        if (call.empty())
            script_.pop_front();
        return got;
    }

private:
    std::deque<Call> script_;
    std::function<void()> whenSpent_;
    int calls_ = 0;
};
