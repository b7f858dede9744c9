#include "channel/group_receiver.h"

#include "channel/dc_channel.h"
#include "channel/dc_pool.h"

#include <unistd.h>

#include <algorithm>
#include <utility>

namespace {

// Up to this many groups a datagram's destination is looked for in the list;
// beyond, in a table.
constexpr std::size_t kScannedGroups = 32;

}   // namespace

GroupReceiver::GroupReceiver(DcPool& pool, int slot, BatchReceiver& batch,
                             std::vector<IpAddress> groups, IpAddress source, std::uint64_t nowMs)
    : pool_(pool), slot_(slot), batch_(batch), groups_(std::move(groups)), source_(source)
{
    const DcChannel* channel = pool_.channel(slot_);
    // A channel without a socket still has one to read: its receives fail at
    // once, and the caller makes each cost its time-out.
    const std::size_t count = std::max<std::size_t>(channel ? channel->socketCount() : 0, 1);
    for (std::size_t i = 0; i < count; ++i)
        sockets_.push_back(channel ? channel->socket(i) : kInvalidSocket);
    dropCounts_.assign(count, 0);

    poller_ = count > 1 ? ::epoll_create1(EPOLL_CLOEXEC) : -1;
    if (poller_ >= 0) {
        events_.resize(count);
        for (std::size_t i = 0; i < count; ++i) {
            epoll_event e{};
            e.events = EPOLLIN;
            e.data.u64 = i;
            ::epoll_ctl(poller_, EPOLL_CTL_ADD, sockets_[i], &e);
        }
    } else {
        // Without a poller each socket is read in turn, each receive waiting
        // out its time-out.
        for (std::size_t i = 0; i < count; ++i)
            ready_.push_back(i);
    }

    if (groups_.size() > kScannedGroups) {
        for (std::size_t g = 0; g < groups_.size(); ++g)
            index_.emplace(groups_[g], g);
    }
    rejoinAt_.assign(groups_.size(), nowMs + kRejoinMs);
    nextRejoin_ = nowMs + kRejoinMs;
}

GroupReceiver::~GroupReceiver()
{
    if (poller_ >= 0)
        ::close(poller_);
}

const std::vector<std::size_t>& GroupReceiver::ready(int timeoutMs)
{
    if (poller_ < 0)
        return ready_;
    ready_.clear();
    const int n =
        ::epoll_wait(poller_, events_.data(), static_cast<int>(events_.size()), timeoutMs);
    for (int k = 0; k < n; ++k)
        ready_.push_back(static_cast<std::size_t>(events_[static_cast<std::size_t>(k)].data.u64));
    return ready_;
}

int GroupReceiver::receiveFrom(std::size_t socket, int max)
{
    batch_.resumeDropCount(dropCounts_[socket]);
    const int n = batch_.receive(sockets_[socket], max);
    // The socket's count is 32-bit and wraps.
    const std::uint32_t count = batch_.dropCount();
    dropped_ += static_cast<std::uint32_t>(count - dropCounts_[socket]);
    dropCounts_[socket] = count;
    return n;
}

std::optional<std::size_t> GroupReceiver::groupOf(int i) const
{
    if (source_.family != IpAddress::Family::None && batch_.sender(i).address != source_)
        return std::nullopt;
    const IpAddress& destination = batch_.destination(i);
    if (index_.empty()) {
        for (std::size_t g = 0; g < groups_.size(); ++g) {
            if (groups_[g] == destination)
                return g;
        }
        return std::nullopt;
    }
    const auto it = index_.find(destination);
    if (it == index_.end())
        return std::nullopt;
    return it->second;
}

GroupReceiver::Rejoin GroupReceiver::rejoinSilent(std::uint64_t nowMs)
{
    Rejoin result;
    if (nowMs < nextRejoin_)
        return result;
    nextRejoin_ = nowMs + kRejoinMs;
    for (std::size_t g = 0; g < rejoinAt_.size(); ++g) {
        if (nowMs >= rejoinAt_[g]) {
            rejoinAt_[g] = nowMs + kRejoinMs;
            ++result.joined;
            if (pool_.join(slot_, g) != 1) {
                if (result.failed++ == 0) {
                    result.firstFailed = groups_[g];
                    result.error = pool_.channel(slot_)->joinError();
                }
            }
        }
        nextRejoin_ = std::min(nextRejoin_, rejoinAt_[g]);
    }
    return result;
}
