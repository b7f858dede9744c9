#pragma once

#include <algorithm>
#include <string>

// The payloads of a sender run of n datagrams over source, read in chunks of
// p bytes and rewound at its end: a short last chunk keeps the tail of the
// chunk before it in the rest of the payload.
inline std::string payloadStream(const std::string& source, int p, int n)
{
    std::string payload(static_cast<std::size_t>(p), '\0');
    std::string stream;
    std::size_t at = 0;
    for (int i = 0; i < n; ++i) {
        if (at == source.size())
            at = 0;
        const std::size_t chunk = std::min<std::size_t>(p, source.size() - at);
        payload.replace(0, chunk, source, at, chunk);
        at += chunk;
        stream += payload;
    }
    return stream;
}
