// The source file's chunked reads against a model: whatever short reads,
// failures and end of file the system gives, the bytes placed are the
// file's next bytes, chunk after chunk at their places, and nothing else is
// touched.
//
// Input: [chunk size][chunk count][stride extra][the system's answers, one
// byte each, until a 0xff][the file's bytes]. An answer byte of 0 fails the
// call, 1 ends the file early, n gives at most n - 1 bytes.

#include "file/data_file.h"
#include "fuzz/fuzz_check.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr unsigned char kUntouched = 0xA5;

// A file whose reads come from memory, as the script of answers says.
class ScriptedFile : public DataFile {
public:
    std::vector<std::uint8_t> bytes;
    std::vector<std::uint8_t> answers;
    std::size_t position = 0;
    std::size_t nextAnswer = 0;

protected:
    ssize_t systemReadv(int /*fd*/, const iovec* parts, int count) override
    {
        std::size_t limit = SIZE_MAX;
        if (nextAnswer < answers.size()) {
            const std::uint8_t answer = answers[nextAnswer++];
            if (answer == 0) {
                errno = EIO;
                return -1;
            }
            limit = answer - 1u;
        }
        std::size_t given = 0;
        for (int i = 0; i < count && given < limit && position < bytes.size(); ++i) {
            const std::size_t n =
                std::min({parts[i].iov_len, limit - given, bytes.size() - position});
            std::memcpy(parts[i].iov_base, bytes.data() + position, n);
            position += n;
            given += n;
            if (n < parts[i].iov_len)
                break;
        }
        return static_cast<ssize_t>(given);
    }
};

// One empty file for the whole run, so that the file counts as open.
const std::string& backingFile()
{
    static const std::string name = [] {
        char pattern[] = "/tmp/fuzz_chunks_XXXXXX";
        const int fd = ::mkstemp(pattern);
        FUZZ_CHECK(fd >= 0);
        ::close(fd);
        return std::string(pattern);
    }();
    return name;
}

}   // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 3)
        return 0;
    const int chunkSize = data[0] % 64 + 1;
    const int count = data[1] % (DataFile::kMaxChunks + 1);
    const std::size_t stride = static_cast<std::size_t>(chunkSize) + data[2] % 16;
    std::size_t at = 3;
    ScriptedFile file;
    while (at < size && data[at] != 0xff)
        file.answers.push_back(data[at++]);
    if (at < size)
        ++at;
    file.bytes.assign(data + at, data + size);
    FUZZ_CHECK(file.openRead(backingFile().c_str()) == 1);

    std::vector<unsigned char> buffer(stride * static_cast<std::size_t>(std::max(count, 1)),
                                      kUntouched);
    const int got = file.readChunks(buffer.data(), stride, chunkSize, count);
    const std::size_t wanted =
        static_cast<std::size_t>(chunkSize) * static_cast<std::size_t>(count);
    FUZZ_CHECK(got >= -1);
    FUZZ_CHECK(got == -1 || static_cast<std::size_t>(got) <= wanted);
    // What was placed is the file's start, in order; what was not is untouched.
    const std::size_t placed = got < 0 ? 0 : static_cast<std::size_t>(got);
    FUZZ_CHECK(placed == file.position);
    for (std::size_t k = 0; k < buffer.size(); ++k) {
        const std::size_t chunk = k / stride;
        const std::size_t offset = k % stride;
        const std::size_t index = chunk * static_cast<std::size_t>(chunkSize) + offset;
        const bool inChunk =
            offset < static_cast<std::size_t>(chunkSize) && chunk < static_cast<std::size_t>(count);
        if (inChunk && index < placed)
            FUZZ_CHECK(buffer[k] == file.bytes[index]);
        else
            FUZZ_CHECK(buffer[k] == kUntouched);
    }
    return 0;
}
