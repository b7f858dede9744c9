// Received batches as the receive engine takes them: coalesced messages split
// into datagrams, counted for the groups joined, their payloads handed to the
// capture file. The system receive is scripted; the channel is a real one,
// joined on the loopback link of a network namespace of the process's own,
// where nothing is ever sent. The capture file's writes land in memory.
//
// Input: [run byte][options byte] and then calls. The run byte: bit 0 an
// IPv6 run, bits 1-2 how many of four groups are joined (1-3, 3 also for
// 3), bits 3-7 the datagram limit (0: none). The options byte: bit 0 only
// the first sender's datagrams count, bits 1-7 the interval in ms, less 1.
// A call: [byte]; bit 7 set: a receive that finds nothing; else bits 0-5
// are its messages less 1, each [kind][length, 2 bytes] and, with bit 6 of
// the kind, [segment size, 2 bytes]. The kind: bits 0-1 the sender, bits 2-4
// the destination (four groups, this host, none, the other family's group,
// the family's all-hosts), bit 5 made of datagrams of the wire format, bit 7
// longer than the buffer. A message of datagrams takes [first number][mask]:
// each segment whose bit (by its index, modulo 8) is set gets a header with
// the next number, the rest is filler; any other takes its bytes from the
// input.

#include "channel/batch_receive.h"
#include "channel/dc_pool.h"
#include "core/datagram.h"
#include "core/ip_address.h"
#include "core/settings.h"
#include "engine/receive_engine.h"
#include "engine/recording_sink.h"
#include "file/capture_file.h"
#include "file/data_file.h"
#include "fuzz/fuzz_check.h"
#include "tests/support/scripted_clock.h"
#include "tests/support/scripted_receiver.h"

#include <sched.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr std::size_t kCandidates = 4;
constexpr std::size_t kMostBytes = std::size_t{1} << 20;   // of all messages of one input
constexpr int kPort = 9000;

// A file whose writes append to memory; the file on disk stays empty.
class MemoryFile : public DataFile {
public:
    explicit MemoryFile(std::string& into) : into_(into) {}

protected:
    ssize_t systemWritev(int, const iovec* parts, int count) override
    {
        std::size_t total = 0;
        for (int i = 0; i < count; ++i) {
            into_.append(static_cast<const char*>(parts[i].iov_base), parts[i].iov_len);
            total += parts[i].iov_len;
        }
        return static_cast<ssize_t>(total);
    }
    // Direct writes would go past memory into the file.
    int systemOpenDirect(int) override { return -1; }

private:
    std::string& into_;
};

// What every input shares: the namespace, a pool, and the capture file open
// in a scratch folder, written to memory.
struct Bench {
    Bench()
    {
        pool.init(1);
        std::snprintf(folder, sizeof folder, "/tmp/fuzz_batches.XXXXXX");
        if (::mkdtemp(folder) == nullptr) {
            std::perror("fuzz_batches: mkdtemp");
            std::exit(1);
        }
        name = std::string(folder) + "/capture";
        if (capture.open(name) != 1) {
            std::perror("fuzz_batches: capture");
            std::exit(1);
        }
    }
    ~Bench()
    {
        capture.close();
        ::unlink(name.c_str());
        ::rmdir(folder);
    }
    Bench(const Bench&) = delete;
    Bench& operator=(const Bench&) = delete;

    // Everything written to the capture since the last call: once flush
    // returns, the writer has written it all and touches nothing more.
    std::string taken()
    {
        capture.flush();
        return std::exchange(written, {});
    }

    DcPool pool;
    std::string written;
    CaptureFile capture{
        CaptureFile::Options{CaptureFile::kQueueBytes, CaptureFile::kBlockBytes,
                             [this] { return std::make_unique<MemoryFile>(written); }}};
    char folder[64] = {};
    std::string name;
};

Bench* bench = nullptr;

struct Run {
    bool v6 = false;
    std::vector<IpAddress> candidates;   // the first joined ones are the run's groups
    std::size_t joined = 1;
    std::vector<SocketAddress> senders;
    std::vector<IpAddress> destinations;
    std::optional<IpAddress> source;
    std::uint64_t limit = 0;
    std::uint64_t intervalMs = 1;
    std::deque<ScriptedReceiver::Call> script;
};

IpAddress v6(std::uint16_t head, std::uint8_t last)
{
    IpAddress a;
    a.family = IpAddress::Family::V6;
    a.bytes[0] = static_cast<std::uint8_t>(head >> 8);
    a.bytes[1] = static_cast<std::uint8_t>(head);
    a.bytes[15] = last;
    return a;
}

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint16_t word()
    {
        const std::uint16_t high = byte();
        return static_cast<std::uint16_t>(high << 8 | byte());
    }
    std::size_t left() const { return size_ - std::min(at_, size_); }
    const std::uint8_t* take(std::size_t n)
    {
        const std::uint8_t* p = data_ + at_;
        at_ += n;
        return p;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// The bytes of a message made of wire-format datagrams, segment by segment.
std::vector<unsigned char> datagrams(std::size_t length, int segment, Input& in)
{
    std::uint32_t seq = in.byte();
    const std::uint8_t mask = in.byte();
    std::vector<unsigned char> bytes(length);
    const std::size_t step = segment > 0 ? static_cast<std::size_t>(segment) : length;
    std::size_t index = 0;
    for (std::size_t at = 0; at < length; at += std::max<std::size_t>(step, 1), ++index) {
        const std::size_t n = std::min(step, length - at);
        for (std::size_t k = 0; k < n; ++k)
            bytes[at + k] = static_cast<unsigned char>(std::size_t{seq} * 7 + k);
        if ((mask >> (index % 8) & 1u) != 0 && n >= TestDatagram::kHeaderSize)
            TestDatagram::encodeHeader(bytes.data() + at, seq++);
    }
    return bytes;
}

Run parse(const std::uint8_t* data, std::size_t size)
{
    Input in(data, size);
    Run run;
    const std::uint8_t head = in.byte();
    const std::uint8_t options = in.byte();
    run.v6 = (head & 1u) != 0;
    run.joined = std::clamp<std::size_t>((head >> 1) & 3u, 1, 3);
    run.limit = head >> 3;
    run.intervalMs = 1 + (options >> 1);
    for (std::uint8_t i = 0; i < kCandidates; ++i) {
        run.candidates.push_back(run.v6 ? v6(0xff3e, static_cast<std::uint8_t>(i + 1))
                                        : IpAddress::v4(0xef010101u + i));
        run.senders.push_back(
            {run.v6 ? v6(0xfd00, static_cast<std::uint8_t>(i + 1)) : IpAddress::v4(0x0a000001u + i),
             static_cast<std::uint16_t>(5000 + i)});
    }
    run.destinations = run.candidates;
    run.destinations.push_back(run.v6 ? v6(0xfd00, 9) : IpAddress::v4(0x0a000009u));
    run.destinations.push_back(IpAddress{});
    run.destinations.push_back(run.v6 ? IpAddress::v4(0xef010101u) : v6(0xff3e, 1));
    run.destinations.push_back(run.v6 ? v6(0xff02, 1) : IpAddress::v4(0xe0000001u));
    if ((options & 1u) != 0)
        run.source = run.senders.front().address;

    std::size_t bytes = 0;
    while (!in.empty() && bytes < kMostBytes) {
        const std::uint8_t call = in.byte();
        ScriptedReceiver::Call messages;
        if ((call & 0x80u) != 0) {
            run.script.push_back(std::move(messages));
            continue;
        }
        const int count = (call & 0x3f) + 1;
        for (int m = 0; m < count && !in.empty() && bytes < kMostBytes; ++m) {
            const std::uint8_t kind = in.byte();
            std::size_t length = in.word();
            ScriptedReceiver::Message message;
            message.sender = run.senders[kind & 3u];
            message.destination = run.destinations[(kind >> 2) & 7u];
            if ((kind & 0x40u) != 0)
                message.segment = in.word();
            if ((kind & 0x80u) != 0) {
                message.bytes.assign(BatchReceiver::kBufferSize + 1, 0);
            } else if ((kind & 0x20u) != 0) {
                message.bytes = datagrams(length, message.segment, in);
            } else {
                length = std::min(length, in.left());
                const std::uint8_t* p = in.take(length);
                message.bytes.assign(p, p + length);
            }
            bytes += message.bytes.size();
            messages.push_back(std::move(message));
        }
        run.script.push_back(std::move(messages));
    }
    return run;
}

// What the engine should count: every datagram in the order of the script,
// split as coalesced receives are.
struct Expected {
    std::uint64_t datagrams = 0;
    std::uint64_t bytes = 0;
    std::vector<std::uint64_t> perGroup;
    std::vector<std::uint64_t> perGroupBytes;
    // Sent elsewhere, up to the datagram that reached the limit: a receive
    // never presents more than the limit still allows, so the engine sees no
    // datagram after that one.
    std::uint64_t stray = 0;
    std::string payloads;
};

Expected expect(const Run& run)
{
    Expected e;
    e.perGroup.assign(run.joined, 0);
    e.perGroupBytes.assign(run.joined, 0);
    for (const ScriptedReceiver::Call& call : run.script) {
        for (const ScriptedReceiver::Message& message : call) {
            const std::size_t length = message.bytes.size();
            if (length > static_cast<std::size_t>(BatchReceiver::kBufferSize))
                continue;   // a failed receive
            const bool split =
                message.segment > 0 && length > static_cast<std::size_t>(message.segment);
            const std::size_t step = split ? static_cast<std::size_t>(message.segment) : length;
            for (std::size_t at = 0; at == 0 || at < length; at += step) {
                const std::size_t n = std::min(step, length - at);
                if (run.limit != 0 && e.datagrams == run.limit)
                    return e;
                const auto group =
                    std::find(run.candidates.begin(),
                              run.candidates.begin() + static_cast<std::ptrdiff_t>(run.joined),
                              message.destination);
                const bool fromSource = !run.source || *run.source == message.sender.address;
                if (group == run.candidates.begin() + static_cast<std::ptrdiff_t>(run.joined) ||
                    !fromSource) {
                    ++e.stray;
                } else {
                    const std::size_t g = static_cast<std::size_t>(group - run.candidates.begin());
                    ++e.datagrams;
                    e.bytes += n;
                    ++e.perGroup[g];
                    e.perGroupBytes[g] += n;
                    const unsigned char* d = message.bytes.data() + at;
                    const TestDatagram parsed = TestDatagram::parse(d, static_cast<int>(n));
                    e.payloads.append(reinterpret_cast<const char*>(d) + parsed.headerLength,
                                      n - static_cast<std::size_t>(parsed.headerLength));
                }
                if (n == 0)
                    break;
            }
        }
    }
    return e;
}

}   // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // A namespace of its own: the channel's joins stay in it. Without root,
    // a user namespace gives the right to make one.
    if (::unshare(CLONE_NEWNET) != 0 && ::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
        std::fprintf(stderr, "fuzz_batches: no network namespace of its own: %s\n",
                     std::strerror(errno));
        std::exit(1);
    }
    static Bench shared;
    bench = &shared;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const Run run = parse(data, size);
    const Expected e = expect(run);

    RecordingSink sink;
    ScriptedClock clock({1000}, 1);
    ReceiveEngine engine(sink, bench->capture, clock, bench->pool, ReceiveSettings{{}, kPort});
    MulticastOptions multicast;
    std::snprintf(multicast.interface, sizeof multicast.interface, "lo");
    engine.setMulticastOptions(multicast);
    engine.setGroups(
        {run.candidates.begin(), run.candidates.begin() + static_cast<std::ptrdiff_t>(run.joined)},
        run.source.value_or(IpAddress{}));
    engine.setDatagramLimit(run.limit);
    engine.setIntervals(run.intervalMs, 50);
    engine.setReceiverFactory([&] {
        return std::make_unique<ScriptedReceiver>(run.script, [&] { sink.setRunning(false); });
    });
    engine.run();
    if (engine.buildError() != 0 || sink.events().statusCount(ReceiveStatus::BuildFailed) != 0) {
        std::fprintf(stderr, "fuzz_batches: the channel was not built: %s\n",
                     std::strerror(engine.buildError()));
        std::exit(1);
    }

    // The capture holds exactly, in order, the payloads of the datagrams
    // counted, and every one counted as saved.
    const std::string captured = bench->taken();
    FUZZ_CHECK(captured == e.payloads);
    FUZZ_CHECK(bench->capture.lost() == 0 && bench->capture.failures() == 0);
    const ReceiveReport& totals = engine.totals();
    FUZZ_CHECK(totals.datagrams == e.datagrams);
    FUZZ_CHECK(totals.bytes == e.bytes);
    FUZZ_CHECK(totals.saved == e.datagrams);
    FUZZ_CHECK(totals.lost >= 0);
    FUZZ_CHECK(totals.overflowed == 0);
    FUZZ_CHECK(totals.stray == e.stray);

    // The last interval's totals are the run's; every group's add up to them.
    const ReceiveInterval& last = engine.lastInterval();
    FUZZ_CHECK(last.total.datagrams == e.datagrams && last.total.bytes == e.bytes);
    FUZZ_CHECK(last.total.lost == totals.lost);
    FUZZ_CHECK(last.total.lossPercent() >= 0 && last.total.lossPercent() <= 100);
    FUZZ_CHECK(last.groups.size() == run.joined);
    std::uint64_t datagrams = 0;
    std::uint64_t bytes = 0;
    std::int64_t lost = 0;
    for (std::size_t g = 0; g < run.joined; ++g) {
        const GroupFigures& group = last.groups[g];
        FUZZ_CHECK(group.group == run.candidates[g]);
        FUZZ_CHECK(group.total.datagrams == e.perGroup[g]);
        FUZZ_CHECK(group.total.bytes == e.perGroupBytes[g]);
        FUZZ_CHECK(group.total.lost >= 0);
        datagrams += group.total.datagrams;
        bytes += group.total.bytes;
        lost += group.total.lost;
    }
    FUZZ_CHECK(datagrams == last.total.datagrams && bytes == last.total.bytes);
    FUZZ_CHECK(lost == last.total.lost);
    // Every report along the way counted no more than the end.
    for (const ReceiveReport& report : sink.events().statistics) {
        FUZZ_CHECK(report.datagrams <= totals.datagrams && report.bytes <= totals.bytes);
        FUZZ_CHECK(report.saved <= report.datagrams && report.lost >= 0);
    }
    return 0;
}
