#pragma once

#include "cli/cli_output.h"
#include "core/interval_figures.h"
#include "core/ip_address.h"
#include "core/silence_cause.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// How kestil-cli tells why nothing arrives. Defaults for use; a test makes
// them short (see silenceWatchTimes).
struct SilenceWatchSettings {
    std::vector<IpAddress> groups;
    int port = 0;
    std::string interface;                  // as named by --interface; empty: the system's choice
    std::uint64_t silentMs = 5000;          // a silence this long is looked into
    std::uint64_t lookMs = 3000;            // for so long
    std::uint64_t membershipMs = 260'000;   // the group membership interval of IGMP and MLD
};

// Reads the times from the environment, for tests only (see the manual page):
// KESTIL_TEST_SILENT_S, KESTIL_TEST_LOOK_S, KESTIL_TEST_MEMBERSHIP_S.
void silenceWatchTimes(SilenceWatchSettings& settings);

// Watches, on a thread of its own, what the receiver's intervals say is
// silent, and says why: at the start where each group was joined and whether
// the kernel holds it; when a group has been silent for silentMs, what the
// links deliver of it and what this host's state makes of that; and all
// along, the multicast querier the links hear. Costs the receiver nothing
// while every group flows. Events go to the output.
class SilenceWatch {
public:
    SilenceWatch(CliOutput& output, SilenceWatchSettings settings);
    ~SilenceWatch();
    SilenceWatch(const SilenceWatch&) = delete;
    SilenceWatch& operator=(const SilenceWatch&) = delete;

    void start();
    void stop();

    // From the receiving thread, as each interval closes.
    void noteInterval(const ReceiveInterval& interval);

    // Whether the links are watched (the process has CAP_NET_RAW).
    bool watching() const { return watching_; }
    // What outages and the summary add: when a querier was last heard.
    std::string querierNote() const;
    std::vector<JsonField> querierFields() const;
    // Unix time the querier was last heard, 0 while none has been.
    double querierHeardAt() const;
    // Datagrams of silent groups the links delivered in the looks.
    std::uint64_t linkUnreceived() const { return unreceived_.load(std::memory_order_relaxed); }

private:
    void loop();
    std::uint64_t nowMs() const;
    void reportJoins();
    void takeQuery(bool v6, const unsigned char* packet, std::size_t length, unsigned interface);
    void endLook(const std::vector<LinkSighting>& seen, const std::vector<IpAddress>& groups);

    CliOutput& output_;
    const SilenceWatchSettings settings_;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    const unsigned named_;   // the named interface's index; 0: none named
    bool watching_ = false;
    std::atomic<bool> running_{false};
    std::atomic<std::uint64_t> unreceived_{0};
    std::thread thread_;

    mutable std::mutex lock_;   // what follows
    std::vector<IpAddress> silent_;
    std::optional<std::uint64_t> silentSinceMs_;
    bool intervals_ = false;   // an interval has closed: the groups are joined
    std::optional<QuerierHeard> querier_;
    std::optional<std::uint64_t> generalMs_;   // its last general query
};
