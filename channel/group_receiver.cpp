#include "channel/group_receiver.h"

#include "channel/dc_channel.h"
#include "channel/dc_pool.h"

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
    // A channel without a socket fails every receive at once; the caller
    // makes each cost its time-out.
    const DcChannel* channel = pool_.channel(slot_);
    socket_ = channel ? channel->socket() : kInvalidSocket;
    if (groups_.size() > kScannedGroups) {
        for (std::size_t g = 0; g < groups_.size(); ++g)
            index_.emplace(groups_[g], g);
    }
    rejoinAt_.assign(groups_.size(), nowMs + kRejoinMs);
    nextRejoin_ = nowMs + kRejoinMs;
}

int GroupReceiver::receive(int max)
{
    const int n = batch_.receive(socket_, max);
    // The socket's count is 32-bit and wraps.
    const std::uint32_t count = batch_.dropCount();
    dropped_ += static_cast<std::uint32_t>(count - dropCount_);
    dropCount_ = count;
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
