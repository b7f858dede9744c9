// The texts a user types, through the run settings' parsers and the group
// list: a refusal or values in range, never a crash or an overflow.
//
// Input: fields separated by newlines: group, port, speed, packet size; the
// same fields again, every one, as the texts of a group list.

#include "core/group_list.h"
#include "core/settings.h"
#include "fuzz/fuzz_check.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace {

std::vector<std::string> fields(std::string_view text)
{
    std::vector<std::string> out;
    while (true) {
        const std::size_t end = text.find('\n');
        out.emplace_back(text.substr(0, end));
        if (end == std::string_view::npos)
            return out;
        text.remove_prefix(end + 1);
    }
}

}   // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> f = fields(text);
    const std::vector<std::string> typed = f;
    f.resize(4);

    const Parsed<SendSettings> send = SendSettings::parse(f[0], f[1], f[2], f[3]);
    FUZZ_CHECK(send.settings.has_value() == send.refusal.empty());
    if (send.settings) {
        const SendSettings& s = *send.settings;
        FUZZ_CHECK(s.port >= 1 && s.port <= 65535);
        FUZZ_CHECK(s.speedKbps >= SendSettings::kMinSpeedKbps);
        FUZZ_CHECK(s.packetSize >= 0 && s.packetSize <= SendSettings::kMaxPacketSize);
        FUZZ_CHECK(s.group.isV4() && s.group.isMulticast());
        // The group reads back from its text as the same address.
        FUZZ_CHECK(parseIpAddress(s.group.text()) == s.group);
    }
    const Parsed<ReceiveSettings> receive = ReceiveSettings::parse(f[0], f[1]);
    FUZZ_CHECK(receive.settings.has_value() == receive.refusal.empty());
    FUZZ_CHECK(!send.settings || receive.settings);

    const GroupList list = parseGroupList(typed, kMaxGroups);
    FUZZ_CHECK(list.groups.empty() != list.error.empty());
    FUZZ_CHECK(list.groups.size() <= kMaxGroups);
    std::unordered_set<IpAddress, IpAddressHash> seen;
    for (const IpAddress& g : list.groups) {
        FUZZ_CHECK(g.isMulticast());
        FUZZ_CHECK(g.family == list.groups.front().family);
        FUZZ_CHECK(seen.insert(g).second);
        // What is shown reads back as the same address.
        FUZZ_CHECK(parseIpAddress(g.text()) == g);
    }
    return 0;
}
