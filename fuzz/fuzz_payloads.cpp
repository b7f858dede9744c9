// The sender's payload rule against a model: batches of payloads read from
// the source file are what reads of one payload each would give, a short
// last chunk keeping the tail of the payload before it, the file starting
// again from its beginning at its end; the headers between them untouched.
//
// Input: [payload size][previous][batch counts, one byte each, until a
// 0xff][the file's bytes].

#include "core/datagram.h"
#include "engine/payload_reader.h"
#include "file/data_file.h"
#include "fuzz/fuzz_check.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kMaxCount = DataFile::kMaxChunks;

// The source file, rewritten for every input (in memory where /dev/shm is).
const std::string& sourceName()
{
    static const std::string name = [] {
        const char* folder = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        return std::string(folder) + "/fuzz_payloads_" + std::to_string(::getpid());
    }();
    return name;
}

void writeSource(const std::uint8_t* bytes, std::size_t size)
{
    const int fd = ::open(sourceName().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(::write(fd, bytes, size) == static_cast<ssize_t>(size));
    ::close(fd);
}

}   // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const int payloadSize = data[0] % 40 + 1;
    const int length = TestDatagram::kHeaderSize + payloadSize;
    int previous = data[1] % kMaxCount;
    std::size_t at = 2;
    std::vector<int> counts;
    while (at < size && data[at] != 0xff && counts.size() < 16)
        counts.push_back(data[at++] % kMaxCount + 1);
    while (at < size && data[at] != 0xff)
        ++at;
    if (at < size)
        ++at;
    const std::vector<std::uint8_t> file(data + at, data + size);
    writeSource(file.data(), file.size());

    DataFile source;
    FUZZ_CHECK(source.openRead(sourceName().c_str()) == 1);
    // The batch as the sender keeps it between calls, and the model's copy.
    std::vector<unsigned char> batch(static_cast<std::size_t>(length) * kMaxCount);
    for (std::size_t k = 0; k < batch.size(); ++k)
        batch[k] = static_cast<unsigned char>(k * 7);
    std::vector<unsigned char> model = batch;
    std::size_t position = 0;
    auto payload = [&](std::vector<unsigned char>& b, int i) {
        return b.data() + static_cast<std::size_t>(i) * length + TestDatagram::kHeaderSize;
    };

    for (const int count : counts) {
        int expected = count;
        for (int i = 0; i < count; ++i) {
            if (position == file.size())
                position = 0;
            if (file.empty()) {
                expected = i;
                break;
            }
            const std::size_t got =
                std::min(static_cast<std::size_t>(payloadSize), file.size() - position);
            std::memcpy(payload(model, i), file.data() + position, got);
            position += got;
            const int before = i > 0 ? i - 1 : previous;
            if (got < static_cast<std::size_t>(payloadSize) && before != i)
                std::memcpy(payload(model, i) + got, payload(model, before) + got,
                            static_cast<std::size_t>(payloadSize) - got);
        }
        SendStatus::Kind fault = SendStatus::Kind{};
        const int filled =
            readPayloads(source, batch.data(), length, payloadSize, count, previous, fault);
        FUZZ_CHECK(filled == expected);
        FUZZ_CHECK(filled == count || fault == SendStatus::EmptySource);
        FUZZ_CHECK(batch == model);
        if (filled < count)
            break;
        previous = count - 1;
    }
    return 0;
}
