#pragma once

#include "channel/csock.h"

// Kind codes that select how DcChannel::build sets up its socket.
enum DcKind : int {
    StreamListenA = 20,
    StreamListenB = 21,
    StreamConnect = 22,
    DatagramSend = 23,
    DatagramReceive = 24,
    MulticastSend = 25,
    MulticastReceive = 26,
    BroadcastSend = 27,
    BroadcastReceive = 28,
};

// Where a multicast channel sends and joins, and how far its datagrams go.
// The defaults are the system's interface and a TTL of 20.
struct MulticastOptions {
    static constexpr int kDefaultTtl = 20;
    static constexpr int kInterfaceSize = 64;   // a name or a dotted address, terminated

    char interface[kInterfaceSize] = {};   // empty: the system's choice
    int ttl = kDefaultTtl;
};

// One network endpoint of a fixed kind. create() records kind, address and
// port; build() makes and configures the socket; state() says whether the
// last build succeeded; destroy() leaves the group and closes the socket.
// create, build, destroy and state each leave a short status line.
class DcChannel {
public:
    static constexpr int kAddressSize = 20;   // 19 characters and the terminator
    static constexpr int kStatusSize = 256;
    static constexpr int kMulticastTtl = MulticastOptions::kDefaultTtl;
    static constexpr int kSendAttempts = 100;
    static constexpr int kLeaveAttempts = 5;
    static constexpr int kReceiveBufferBytes = 8 << 20;   // asked for by a multicast receiver

    // Also puts the multicast options back to their defaults.
    int create(int kind, const char* address, int port);   // always 1
    // Takes effect at the next build.
    void setMulticastOptions(const MulticastOptions& options) { multicast_ = options; }
    int build();     // 0 when a socket step failed, 1 when the final step was reached
    int destroy();   // always 1
    int state();     // 1 usable, 0 not

    // Joins the group again, on the interface of the options (a name is
    // looked up again: a re-created link has a new index) or on the system's
    // choice: 1 when the socket is a member afterwards, also when it already
    // was; 0 otherwise. Leaves the status line as it was.
    int join();

    // 0 without sending when length is 0 or the state is 0; otherwise the
    // result of the last of up to 100 sendTo attempts.
    int send(const void* data, int length, const char* address, int port);

    // One recvFrom, result unchanged.
    int receive(void* buffer, int size, char* senderText, std::uint64_t* sender = nullptr);

    void setId(int id) { id_ = id; }
    int id() const { return id_; }
    int kind() const { return kind_; }
    int port() const { return port_; }
    const char* address() const { return address_; }
    const char* statusLine() const { return status_; }
    SocketHandle socket() const { return socket_.handle(); }

private:
    Csock socket_;
    int state_ = 0;
    int kind_ = 0;
    char address_[kAddressSize] = {};
    int port_ = 0;
    int id_ = 0;
    char status_[kStatusSize] = {};
    bool addressTooLong_ = false;
    MulticastOptions multicast_;
};
