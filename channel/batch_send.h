#pragma once

#include "channel/csock.h"
#include "core/ip_address.h"

#include <sys/socket.h>

#include <cstddef>
#include <vector>

// Sends runs of datagrams of one length to its destinations, IPv4 or IPv6,
// with as few system calls as the kernel allows: UDP segmentation offload
// (one call; the kernel cuts the run into ordinary datagrams of that length),
// else sendmmsg (one call, one message per datagram), else one sendto per
// datagram. A path the kernel refuses is dropped for the sender's lifetime
// and the datagrams go again on the next one, so a fallback neither loses nor
// reorders any.
//
// With several destinations the datagrams of a run go to them in turn; the
// offload carries one destination per call, so such a sender starts on
// sendmmsg, whose messages each name their own.
class BatchSender {
public:
    enum class Path { Segmented, Multiple, Single };

    // The most datagrams one call of a path carries.
    static constexpr int kMaxPerCall = 64;

    // Starts on fastest (sendmmsg at the fastest for several destinations);
    // a refusal moves it towards Single. The destinations are read here, once.
    BatchSender(SocketHandle socket, const SocketAddress& to, Path fastest = Path::Segmented);
    BatchSender(SocketHandle socket, const std::vector<SocketAddress>& to,
                Path fastest = Path::Segmented);
    virtual ~BatchSender() = default;
    BatchSender(const BatchSender&) = delete;
    BatchSender& operator=(const BatchSender&) = delete;

    // Sends count datagrams of length bytes each, lying back to back from
    // data, in order, the i-th to destination (first + i) modulo their
    // number. Returns how many went out, counted from the first; 0 when not
    // even the first could be sent (errno then says why).
    int send(const unsigned char* data, int length, int count, std::size_t first = 0);

    std::size_t destinationCount() const { return to_.size(); }

    // The path the next call starts on.
    Path path() const { return path_; }

    // "segmented", "multiple" or "single".
    static const char* pathName(Path path);

protected:
    // One system call of path for count datagrams (no more than the path
    // carries per call), the first to destination first; the datagrams it
    // sent, or -1 with errno set. Tests override it to refuse a path.
    virtual int sendOnce(Path path, const unsigned char* data, int length, int count,
                         std::size_t first);

private:
    // How many of count datagrams of length bytes one call of path carries.
    static int perCall(Path path, int length, int count);
    // Whether error means the kernel does not do path at all (as opposed to
    // a send that failed this time).
    static bool refuses(Path path, int error);

    struct Destination {
        sockaddr_storage address{};
        socklen_t length = 0;
    };

    SocketHandle socket_;
    std::vector<Destination> to_;
    Path path_;
};
