#pragma once

#include <functional>
#include <string>
#include <thread>
#include <vector>

// A throw-away network of hosts for tests: one network namespace per host,
// all joined by veth to a bridge, each with a private IPv4 and IPv6 address
// and a route for 224.0.0.0/4, so multicast crosses between them and never
// leaves the machine. Needs root; everything made is removed by the destructor.
class NetnsLab {
public:
    explicit NetnsLab(int hosts = 2);
    ~NetnsLab();
    NetnsLab(const NetnsLab&) = delete;
    NetnsLab& operator=(const NetnsLab&) = delete;

    // False when the lab could not be made; reason() says why (for example
    // "needs root").
    bool ok() const { return ok_; }
    const std::string& reason() const { return reason_; }

    int hostCount() const { return static_cast<int>(names_.size()); }
    const std::string& hostName(int host) const { return names_.at(host); }
    const std::string& hostAddress(int host) const { return addresses_.at(host); }
    const std::string& hostAddress6(int host) const { return addresses6_.at(host); }

    // Moves the calling thread into the host's network namespace: sockets it
    // opens afterwards live there (and stay there, whichever thread uses
    // them). The move is for good; prefer start() over entering the main
    // thread. True on success.
    bool enter(int host) const;

    // Starts a thread that enters the host's namespace and then runs fn. When
    // the namespace cannot be entered, fn is not run at all.
    std::thread start(int host, std::function<void()> fn) const;

    // Deletes the host's cable and makes it again, as an adapter unplugged
    // and plugged back in: the same name, address and route, but a new
    // interface without the memberships of the old one. True once it is up.
    bool replaceLink(int host) const;

    // Runs a shell command inside the host ("ip netns exec NAME sh -c ...");
    // returns its exit status.
    int exec(int host, const std::string& command) const;
    // The same inside the namespace of the bridge that joins the hosts (br0).
    int execSwitch(const std::string& command) const;

private:
    static bool awaitCarrier(const std::string& name);

    bool ok_ = false;
    std::string reason_;
    std::string prefix_;
    std::vector<std::string> names_;
    std::vector<std::string> addresses_;
    std::vector<std::string> addresses6_;
};

// In a GoogleTest body: skip with a clear message when the lab is not there.
#define NETNS_LAB_OR_SKIP(lab)                                                                     \
    do {                                                                                           \
        if (!(lab).ok())                                                                           \
            GTEST_SKIP() << "network namespace lab unavailable: " << (lab).reason();               \
    } while (0)
