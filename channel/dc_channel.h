#pragma once

#include "channel/csock.h"
#include "core/ip_address.h"
#include "core/settings.h"

#include <cstddef>
#include <optional>
#include <vector>

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
// The defaults are the system's interface, the run's default TTL, the channel's own
// address as its one group, any source, and a sender that joins its group.
struct MulticastOptions {
    static constexpr int kInterfaceSize = 64;   // a name or an address, terminated

    // A name or an address of this host; empty: the system's choice. Looked
    // up at every join: a link made again has a new index.
    char interface[kInterfaceSize] = {};
    int ttl = RunDefaults::kTtl;
    // A receiver's groups, of the channel address's family; empty: that
    // address alone.
    std::vector<IpAddress> groups;
    // Joins for this source's datagrams only; family None: any source.
    IpAddress source;
    // Whether a sender joins its group (one that sends many groups joins none).
    bool senderJoins = true;
};

// One network endpoint of a fixed kind. create() records kind, address and
// port, as numbers; build() makes and configures the socket; state() says whether the
// last build succeeded; destroy() leaves the groups and closes the socket.
// create, build, destroy and state each leave a short status line.
//
// A multicast receiver of more groups than one socket may join (the system's
// per-socket membership limit) spreads the memberships over several sockets;
// only the first is bound to the port, and it takes the datagrams of every
// group the host joined, so that one socket is read however many groups.
class DcChannel {
public:
    static constexpr int kStatusSize = 256;
    static constexpr int kLeaveAttempts = 5;
    static constexpr int kReceiveBufferBytes = 8 << 20;   // asked for by a multicast receiver
    // The system's default net.ipv4.igmp_max_memberships.
    static constexpr std::size_t kDefaultMemberships = 20;

    // Also puts the multicast options back to their defaults. An address of
    // family None is none: a receiver bound to every address of the port.
    int create(int kind, const SocketAddress& address);   // always 1
    // Takes effect at the next build.
    void setMulticastOptions(const MulticastOptions& options) { multicast_ = options; }
    int build();     // 0 when a socket step failed, 1 when the final step was reached
    int destroy();   // always 1
    int state();     // 1 usable, 0 not

    // Joins the groups again, on the interface of the options (a name is
    // looked up again: a re-created link has a new index) or on the system's
    // choice, each after leaving its membership of the latest join (which a
    // link deleted since leaves behind on the socket, where it would count
    // against the socket's limit for good). 1 when the sockets are members
    // afterwards; 0 otherwise, with the system's reason in joinError().
    // Leaves the status line as it was. With a group's index, only that group.
    // Called in the network namespace the channel was built in, whose routes
    // make the system's choice.
    int join();
    int join(std::size_t group);

    // 0 without sending when length is 0 or the state is 0; otherwise the
    // result of one sendTo (whoever sends decides whether to try again).
    int send(const void* data, int length, const SocketAddress& to);

    // One recvFrom of the first socket, result unchanged.
    int receive(void* buffer, int size, SocketAddress* sender = nullptr);

    // Sets the receive time-out of every socket: 1 when set, 0 when the
    // system refused it, -1 without a socket.
    int setReceiveTimeout(int milliseconds);

    void setId(int id) { id_ = id; }
    int id() const { return id_; }
    int kind() const { return kind_; }
    int port() const { return endpoint_.port; }
    const SocketAddress& endpoint() const { return endpoint_; }
    const char* statusLine() const { return status_; }
    SocketHandle socket() const { return socket_.handle(); }

    // The sockets of a built channel (one, or several for many groups; the
    // first receives), and the groups each joined: those of socket i are
    // groups [first(i), first(i + 1)).
    std::size_t socketCount() const;
    SocketHandle socket(std::size_t i) const;
    std::size_t firstGroup(std::size_t socket) const { return firstGroup_[socket]; }
    const std::vector<IpAddress>& groups() const { return groups_; }

    // errno of the step that failed the last build; 0 after one that worked.
    int lastError() const { return error_; }
    // errno of the latest join that failed since the build.
    int joinError() const { return joinError_; }

private:
    Csock& at(std::size_t i) { return i == 0 ? socket_ : more_[i - 1]; }
    // Makes another socket for memberships only; 0 on failure.
    int addSocket();
    // Sets up the receiving socket: where each datagram went, which groups, room.
    int receiveOptions(Csock& socket);
    int joinAll(unsigned interfaceIndex);
    // Joins group g on the socket; 1 when it took, with its interface recorded.
    int joinOn(Csock& socket, std::size_t g, unsigned interfaceIndex);
    // Leaves group g's recorded membership, if any.
    void leave(Csock& socket, std::size_t g);
    // The socket that joined the group, or nothing when the build did not
    // get that far.
    std::optional<std::size_t> socketOf(std::size_t group) const;
    void closeAll();

    Csock socket_;
    std::vector<Csock> more_;   // a receiver's further sockets, for memberships
    std::vector<IpAddress> groups_;
    std::vector<std::size_t> firstGroup_;   // per socket, and the end
    // Per group, the interface index its membership was made on; kNoMembership
    // while it has none.
    static constexpr unsigned kNoMembership = ~0U;
    std::vector<unsigned> memberOn_;
    int joinError_ = 0;
    int state_ = 0;
    int kind_ = 0;
    SocketAddress endpoint_;
    int id_ = 0;
    int error_ = 0;
    char status_[kStatusSize] = {};
    MulticastOptions multicast_;
};
