#include "cli/silence_watch.h"

#include "channel/csock.h"
#include "channel/link_watch.h"
#include "platform/host_state.h"
#include "report/silence_lines.h"

#include <poll.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <memory>
#include <set>

namespace {

constexpr int kPollMs = 100;

void readSeconds(const char* name, std::uint64_t& ms)
{
    const char* text = std::getenv(name);
    if (text == nullptr)
        return;
    char* end = nullptr;
    const double seconds = std::strtod(text, &end);
    if (end != text && *end == '\0' && seconds > 0 && seconds < 1e6)
        ms = static_cast<std::uint64_t>(seconds * 1000);
}

bool sameGroup(const HostMembership& m, const IpAddress& group)
{
    return m.v6 == group.isV6() &&
           std::equal(m.group.begin(), m.group.begin() + (m.v6 ? 16 : 4), group.bytes.begin());
}

HostAnswers hostAnswers()
{
    return {[](unsigned index) { return interfaceName(index); },
            [](unsigned index) { return reversePathFilter(interfaceName(index)).value_or(0); },
            [](const IpAddress& address) { return routeInterface(address); },
            [] { return firewallInput(); }};
}

}   // namespace

void silenceWatchTimes(SilenceWatchSettings& settings)
{
    readSeconds("KESTIL_TEST_SILENT_S", settings.silentMs);
    readSeconds("KESTIL_TEST_LOOK_S", settings.lookMs);
    readSeconds("KESTIL_TEST_MEMBERSHIP_S", settings.membershipMs);
}

SilenceWatch::SilenceWatch(CliOutput& output, SilenceWatchSettings settings)
    : output_(output), settings_(std::move(settings)),
      named_(settings_.interface.empty() ? 0 : interfaceIndex(settings_.interface).value_or(0))
{
}

SilenceWatch::~SilenceWatch()
{
    stop();
}

void SilenceWatch::start()
{
    watching_ = mayWatchLink();
    running_.store(true, std::memory_order_relaxed);
    thread_ = std::thread([this] { loop(); });
}

void SilenceWatch::stop()
{
    running_.store(false, std::memory_order_relaxed);
    if (thread_.joinable())
        thread_.join();
}

std::uint64_t SilenceWatch::nowMs() const
{
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - start_)
                                          .count());
}

void SilenceWatch::noteInterval(const ReceiveInterval& interval)
{
    std::vector<IpAddress> silent;
    for (const GroupFigures& g : interval.groups)
        if (g.silent)
            silent.push_back(g.group);
    const std::uint64_t now = nowMs();
    std::lock_guard lock(lock_);
    intervals_ = true;
    if (silent.empty())
        silentSinceMs_.reset();
    else if (!silentSinceMs_)
        silentSinceMs_ = now;
    silent_ = std::move(silent);
}

std::string SilenceWatch::querierNote() const
{
    std::lock_guard lock(lock_);
    return ::querierNote(querier_, nowMs(), settings_.membershipMs);
}

std::vector<JsonField> SilenceWatch::querierFields() const
{
    std::lock_guard lock(lock_);
    return querierNoteFields(querier_, nowMs());
}

double SilenceWatch::querierHeardAt() const
{
    std::lock_guard lock(lock_);
    if (!querier_)
        return 0;
    const auto at = std::chrono::system_clock::now() -
                    std::chrono::milliseconds(nowMs() - std::min(nowMs(), querier_->atMs));
    return std::chrono::duration<double>(at.time_since_epoch()).count();
}

void SilenceWatch::reportJoins()
{
    // Where each group was meant to be joined: the named interface, else
    // where the routes send it.
    const std::vector<HostMembership> held = kernelMemberships();
    std::vector<IpAddress> missing;
    std::string heldOn;
    for (const IpAddress& group : settings_.groups) {
        const auto m = std::find_if(held.begin(), held.end(),
                                    [&](const HostMembership& h) { return sameGroup(h, group); });
        if (m == held.end())
            missing.push_back(group);
        else if (heldOn.empty())
            heldOn = m->interface;
    }
    const unsigned meant =
        named_ != 0 ? named_ : routeInterface(settings_.groups.front()).value_or(0);
    const std::string interface = !heldOn.empty() ? heldOn : interfaceName(meant);
    const unsigned index = !heldOn.empty() ? interfaceIndex(heldOn).value_or(meant) : meant;
    const std::string address = interfaceAddress(index, settings_.groups.front().isV6());
    output_.event(
        "joined", joinedText(settings_.groups, interface, address),
        {jsonText("group", settings_.groups.front().text()),
         jsonNumber("groups", static_cast<std::uint64_t>(settings_.groups.size())),
         jsonText("interface", interface), jsonText("address", address),
         jsonNumber("held", static_cast<std::uint64_t>(settings_.groups.size() - missing.size()))});
    if (!missing.empty())
        output_.alert("membership-missing",
                      membershipMissingText(missing, settings_.groups.size(), interface),
                      {jsonText("group", missing.front().text()),
                       jsonNumber("missing", static_cast<std::uint64_t>(missing.size())),
                       jsonText("interface", interface)});
}

void SilenceWatch::takeQuery(bool v6, const unsigned char* packet, std::size_t length,
                             unsigned interface)
{
    const std::optional<LinkQuery> query = parseQuery({packet, length}, v6);
    if (!query || (named_ != 0 && interface != named_))
        return;
    const std::uint64_t now = nowMs();
    std::optional<IpAddress> previous;
    bool news = false;
    QuerierHeard heard{query->querier, query->version, interface, now, 0};
    {
        std::lock_guard lock(lock_);
        if (querier_ && querier_->querier == heard.querier) {
            news = querier_->version != heard.version;
            // A query of one group answers a leave: not the querier's pace.
            heard.intervalMs = querier_->intervalMs;
            if (query->general && generalMs_)
                heard.intervalMs = now - *generalMs_;
        } else {
            news = true;
            if (querier_)
                previous = querier_->querier;
            generalMs_.reset();
        }
        if (query->general)
            generalMs_ = now;
        querier_ = heard;
    }
    if (news) {
        const std::string name = interfaceName(interface);
        output_.event(previous ? "querier-changed" : "querier-heard",
                      querierHeardText(heard, name, previous),
                      querierHeardFields(heard, name, previous));
    }
}

void SilenceWatch::endLook(const std::vector<LinkSighting>& seen,
                           const std::vector<IpAddress>& groups)
{
    // The interfaces the groups are joined on, as the kernel holds them;
    // else the one they were meant for.
    std::vector<unsigned> joinedOn;
    for (const HostMembership& m : kernelMemberships()) {
        if (std::none_of(groups.begin(), groups.end(),
                         [&](const IpAddress& g) { return sameGroup(m, g); }))
            continue;
        if (const std::optional<unsigned> index = interfaceIndex(m.interface);
            index && std::find(joinedOn.begin(), joinedOn.end(), *index) == joinedOn.end())
            joinedOn.push_back(*index);
    }
    if (joinedOn.empty()) {
        const unsigned meant = named_ != 0 ? named_ : routeInterface(groups.front()).value_or(0);
        if (meant != 0)
            joinedOn.push_back(meant);
    }
    SilenceCause cause = silenceCause(seen, settings_.port, joinedOn, hostAnswers());
    cause.groups = groups.size();
    unreceived_.fetch_add(cause.seenDatagrams, std::memory_order_relaxed);
    std::vector<JsonField> fields = silenceCauseFields(cause, groups.front());
    std::string text = silenceCauseText(cause, groups.front(), settings_.port);
    output_.event("silence-cause", text, fields);
}

void SilenceWatch::loop()
{
    std::array<LinkTap, 2> queries;   // IPv4, IPv6
    const bool v6 = settings_.groups.front().isV6();
    if (watching_ && queries[v6 ? 1 : 0].open(v6, queryFilter(v6)) != 0)
        watching_ = false;
    LinkTap look;
    std::uint64_t lookEndMs = 0;
    std::vector<IpAddress> looked;   // the silent groups looked for, sorted
    std::vector<LinkSighting> seen;
    bool joinsSaid = false;
    bool lookedThisSilence = false;
    bool unavailableSaid = false;
    bool missingSaid = false;
    std::array<unsigned char, 256> buffer{};

    for (bool last = false; !last;) {
        last = !running_.load(std::memory_order_relaxed);
        std::array<pollfd, 2> fds{};
        fds[0] = {queries[v6 ? 1 : 0].handle(), POLLIN, 0};
        fds[1] = {look.handle(), POLLIN, 0};
        ::poll(fds.data(), fds.size(), last ? 0 : kPollMs);
        while (const auto frame = queries[v6 ? 1 : 0].read(buffer))
            takeQuery(v6, buffer.data(), frame->length, frame->interface);
        while (const auto frame = look.read(buffer)) {
            const std::optional<LinkDatagram> d =
                parseGroupDatagram({buffer.data(), frame->length}, v6);
            // A range taken for many groups holds others too.
            if (d && std::binary_search(looked.begin(), looked.end(), d->group))
                addSighting(seen, *d, frame->interface);
        }

        const std::uint64_t now = nowMs();
        std::vector<IpAddress> silent;
        std::optional<std::uint64_t> silentSince;
        bool joined = false;
        std::optional<std::uint64_t> heardMs;
        {
            std::lock_guard lock(lock_);
            silentSince = silentSinceMs_;
            joined = intervals_;
            if (querier_)
                heardMs = querier_->atMs;
            if (silentSince && now - *silentSince >= settings_.silentMs && !lookedThisSilence &&
                look.handle() < 0)
                silent = silent_;
        }
        if (joined && !joinsSaid) {
            joinsSaid = true;
            reportJoins();
        }
        if (!silentSince)
            lookedThisSilence = false;

        if (watching_) {
            const std::uint64_t quietMs = now - heardMs.value_or(0);
            if (quietMs > settings_.membershipMs && !missingSaid) {
                missingSaid = true;
                output_.event("querier-missing",
                              querierMissingText(quietMs, settings_.membershipMs),
                              {jsonNumber("seconds", quietMs / 1000),
                               jsonNumber("membership_interval", settings_.membershipMs / 1000)});
            } else if (quietMs <= settings_.membershipMs) {
                missingSaid = false;
            }
        }

        if (!silent.empty() && !last) {
            lookedThisSilence = true;
            if (!watching_) {
                if (!unavailableSaid)
                    output_.event("link-look-unavailable", linkLookUnavailableText());
                unavailableSaid = true;
            } else if (look.open(v6, groupFilter(silent, v6)) == 0) {
                std::vector<unsigned> interfaces;
                for (const HostInterface& i : multicastInterfaces())
                    interfaces.push_back(i.index);
                look.takeAllMulticast(interfaces);
                looked = std::move(silent);
                std::sort(looked.begin(), looked.end());
                seen.clear();
                lookEndMs = now + settings_.lookMs;
            }
        }
        // A look the run's end cuts short still tells what it saw.
        if (look.handle() >= 0 && (now >= lookEndMs || last)) {
            look.close();
            // A silence that ended while the look went on needs no cause.
            if (silentSince)
                endLook(seen, looked);
            seen.clear();
        }
    }
}
