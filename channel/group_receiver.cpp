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
        // Open addressing in a table at most half full, of places in the
        // list (plus one; 0 is empty): small enough to stay in the cache.
        std::size_t size = 1;
        while (size < 2 * groups_.size())
            size *= 2;
        index_.assign(size, 0);
        mask_ = size - 1;
        for (std::size_t g = 0; g < groups_.size(); ++g) {
            std::size_t at = slotOf(groups_[g]);
            while (index_[at] != 0 && groups_[index_[at] - 1] != groups_[g])
                at = (at + 1) & mask_;
            if (index_[at] == 0)
                index_[at] = static_cast<std::uint32_t>(g + 1);
        }
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
    for (std::size_t at = slotOf(destination); index_[at] != 0; at = (at + 1) & mask_) {
        if (groups_[index_[at] - 1] == destination)
            return index_[at] - 1;
    }
    return std::nullopt;
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
