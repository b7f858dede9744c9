#pragma once

#include "report/metrics_text.h"

#include <memory>
#include <mutex>
#include <string>

namespace prometheus {
class Exposer;
}

// Serves the receiver's metrics over HTTP at /metrics, in the exposition
// format a monitoring system scrapes, and nothing else: any other path is not
// found. Its own small server runs on threads of its own; the receiver hands
// it the figures once per interval, and a scrape reads the latest handed over,
// so that a scrape never waits for the receiver nor the receiver for it.
class MetricsEndpoint {
public:
    // Listens on address (an IPv4 or IPv6 address; empty: every address of
    // the host) and port; nullptr, with the reason in error, when it cannot.
    static std::unique_ptr<MetricsEndpoint> open(const std::string& address, int port,
                                                 std::string& error);
    ~MetricsEndpoint();
    MetricsEndpoint(const MetricsEndpoint&) = delete;
    MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

    void publish(MetricsTotals totals);

    // The port it listens on (the one asked for, or the system's choice for 0).
    int port() const { return port_; }

private:
    class Figures;

    MetricsEndpoint() = default;

    std::shared_ptr<Figures> figures_;
    std::unique_ptr<prometheus::Exposer> exposer_;
    int port_ = 0;
};
