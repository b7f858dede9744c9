#include "cli/metrics_endpoint.h"

#include <prometheus/collectable.h>
#include <prometheus/exposer.h>
#include <prometheus/metric_family.h>

#include <cstdlib>
#include <exception>
#include <utility>
#include <vector>

// The latest figures, as the server's threads collect them.
class MetricsEndpoint::Figures : public prometheus::Collectable {
public:
    void set(MetricsTotals totals)
    {
        std::lock_guard lock(mutex_);
        totals_ = std::move(totals);
        any_ = true;
    }

    std::vector<prometheus::MetricFamily> Collect() const override
    {
        MetricsTotals totals;
        {
            std::lock_guard lock(mutex_);
            if (!any_)
                return {};
            totals = totals_;
        }
        std::vector<prometheus::MetricFamily> out;
        for (const MetricsFamily& family : metricsFamilies(totals)) {
            prometheus::MetricFamily f;
            f.name = family.name;
            f.help = family.help;
            f.type =
                family.counter ? prometheus::MetricType::Counter : prometheus::MetricType::Gauge;
            for (const MetricsSample& sample : family.samples) {
                prometheus::ClientMetric metric;
                for (const auto& label : sample.labels)
                    metric.label.push_back({label.first, label.second});
                const double value = std::strtod(sample.value.c_str(), nullptr);
                if (family.counter)
                    metric.counter.value = value;
                else
                    metric.gauge.value = value;
                f.metric.push_back(std::move(metric));
            }
            out.push_back(std::move(f));
        }
        return out;
    }

private:
    mutable std::mutex mutex_;
    MetricsTotals totals_;
    bool any_ = false;   // nothing is served before the first interval
};

std::unique_ptr<MetricsEndpoint> MetricsEndpoint::open(const std::string& address, int port,
                                                       std::string& error)
{
    std::unique_ptr<MetricsEndpoint> endpoint(new MetricsEndpoint);
    endpoint->figures_ = std::make_shared<Figures>();
    // The server's own words for where to listen: "127.0.0.1:9000",
    // "[::1]:9000", or the port alone for every address.
    std::string where = std::to_string(port);
    if (!address.empty())
        where =
            (address.find(':') != std::string::npos ? "[" + address + "]" : address) + ":" + where;
    try {
        endpoint->exposer_ = std::make_unique<prometheus::Exposer>(
            std::vector<std::string>{"listening_ports", where, "num_threads", "2"});
        endpoint->exposer_->RegisterCollectable(endpoint->figures_);
        const std::vector<int> ports = endpoint->exposer_->GetListeningPorts();
        endpoint->port_ = ports.empty() ? port : ports.front();
    } catch (const std::exception& e) {
        error = e.what();
        return nullptr;
    }
    return endpoint;
}

MetricsEndpoint::~MetricsEndpoint() = default;

void MetricsEndpoint::publish(MetricsTotals totals)
{
    figures_->set(std::move(totals));
}
