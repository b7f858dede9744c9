#include "engine/delay_factor.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// Twice the signed area of the triangle o, a, b: above 0 when b lies to the
// left of the line from o through a (times rightwards, bytes upwards).
template <typename P>
double turn(const P& o, const P& a, const P& b)
{
    const auto x1 = static_cast<double>(a.ns - o.ns);
    const auto y1 = static_cast<double>(a.bytes) - static_cast<double>(o.bytes);
    const auto x2 = static_cast<double>(b.ns - o.ns);
    const auto y2 = static_cast<double>(b.bytes) - static_cast<double>(o.bytes);
    return x1 * y2 - y1 * x2;
}

}   // namespace

void DelayFactor::add(std::vector<Point>& hull, Point at, bool upper)
{
    if (!hull.empty() && hull.back().ns == at.ns) {
        // One time, one point: the most bytes after, the fewest before.
        if (!upper)
            return;
        hull.pop_back();
    }
    // The upper hull turns right only, the lower left only.
    while (hull.size() >= 2) {
        const double t = turn(hull[hull.size() - 2], hull.back(), at);
        if (upper ? t < 0 : t > 0)
            break;
        hull.pop_back();
    }
    hull.push_back(at);
    if (hull.size() > kMaxPoints) {
        std::size_t kept = 1;
        for (std::size_t i = 2; i + 1 < hull.size(); i += 2)
            hull[kept++] = hull[i];
        hull[kept++] = hull.back();
        hull.resize(kept);
    }
}

void DelayFactor::take(std::int64_t ns, std::uint64_t bytes)
{
    if (!any_) {
        any_ = true;
        firstNs_ = ns;
        firstBytes_ = bytes;
    }
    latestNs_ = std::max(latestNs_, ns - firstNs_);
    add(lower_, {latestNs_, bytes_}, false);
    bytes_ += bytes;
    add(upper_, {latestNs_, bytes_}, true);
}

std::optional<std::uint64_t> DelayFactor::factorNs() const
{
    if (latestNs_ <= 0 || bytes_ <= firstBytes_)
        return std::nullopt;
    // Bytes per ns; the fill at time t after bytes b is b - rate * t.
    const double rate = static_cast<double>(bytes_ - firstBytes_) / static_cast<double>(latestNs_);
    double highest = -std::numeric_limits<double>::infinity();
    for (const Point& p : upper_)
        highest =
            std::max(highest, static_cast<double>(p.bytes) - rate * static_cast<double>(p.ns));
    double lowest = std::numeric_limits<double>::infinity();
    for (const Point& p : lower_)
        lowest = std::min(lowest, static_cast<double>(p.bytes) - rate * static_cast<double>(p.ns));
    return static_cast<std::uint64_t>(std::llround(std::max(highest - lowest, 0.0) / rate));
}

void DelayFactor::clear()
{
    any_ = false;
    latestNs_ = 0;
    firstNs_ = 0;
    firstBytes_ = 0;
    bytes_ = 0;
    upper_.clear();
    lower_.clear();
}
