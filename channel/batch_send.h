#pragma once

#include "channel/csock.h"

#include <netinet/in.h>

// Sends runs of datagrams of one length to one address and port with as few
// system calls as the kernel allows: UDP segmentation offload (one call; the
// kernel cuts the run into ordinary datagrams of that length), else sendmmsg
// (one call, one message per datagram), else one sendto per datagram. A path
// the kernel refuses is dropped for the sender's lifetime and the datagrams
// go again on the next one, so a fallback neither loses nor reorders any.
class BatchSender {
public:
    enum class Path { Segmented, Multiple, Single };

    // The most datagrams one call of a path carries.
    static constexpr int kMaxPerCall = 64;

    // Starts on fastest; a refusal moves it towards Single.
    BatchSender(SocketHandle socket, const char* address, int port, Path fastest = Path::Segmented);
    virtual ~BatchSender() = default;
    BatchSender(const BatchSender&) = delete;
    BatchSender& operator=(const BatchSender&) = delete;

    // Sends count datagrams of length bytes each, lying back to back from
    // data, in order. Returns how many went out, counted from the first; 0
    // when not even the first could be sent (errno then says why).
    int send(const unsigned char* data, int length, int count);

    // The path the next call starts on.
    Path path() const { return path_; }

    // "segmented", "multiple" or "single".
    static const char* pathName(Path path);

protected:
    // One system call of path for count datagrams (no more than the path
    // carries per call); the datagrams it sent, or -1 with errno set. Tests
    // override it to refuse a path.
    virtual int sendOnce(Path path, const unsigned char* data, int length, int count);

private:
    // How many of count datagrams of length bytes one call of path carries.
    static int perCall(Path path, int length, int count);
    // Whether error means the kernel does not do path at all (as opposed to
    // a send that failed this time).
    static bool refuses(Path path, int error);

    SocketHandle socket_;
    sockaddr_in to_{};
    Path path_;
};
