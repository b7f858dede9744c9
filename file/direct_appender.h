#pragma once

#include "file/data_file.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

// Appends a stream of bytes to a file that takes direct writes (see
// DataFile::startDirect). The bytes gather in a stage aligned in memory and
// go out in whole pages at page-aligned positions, bypassing the cache; the
// partial page at the stream's end stays behind until finish() appends it
// by an ordinary write, and is written again, directly, once more bytes
// complete it. A direct write that fails is tried again by an ordinary one,
// and after EINVAL every write is ordinary. The file must not be changed
// meanwhile but by appending; a stream started anew (reset) reads its
// partial last page back from it.
class DirectAppender {
public:
    static constexpr std::size_t kPage = DataFile::kDirectAlign;
    static constexpr std::size_t kStageBytes = std::size_t{4} << 20;

    // The bytes newly in the file, and whether a write failed. After a
    // failure the file ends right behind the bytes counted, the rest is
    // dropped and the next append starts from the file's end.
    struct Result {
        std::uint64_t stored = 0;
        bool failed = false;
        int error = 0;   // errno of the failed write
    };

    explicit DirectAppender(std::size_t stageBytes = kStageBytes);

    Result append(DataFile& file, const iovec* parts, int count);
    // Appends the used bytes at block + offset, block being page-aligned
    // with room before them: when offset is what the partial page holds,
    // the page is put there and the block is written from its start with
    // no more copying; else the bytes are appended as by append().
    Result appendBlock(DataFile& file, unsigned char* block, std::size_t offset, std::size_t used);
    // Writes the partial page still behind.
    Result finish(DataFile& file);
    // Bytes taken but not yet in the file.
    std::size_t pending() const { return started_ ? base_ + used_ - inFile_ : 0; }
    // Forgets the stream: the file failed or was changed meanwhile.
    void reset() { started_ = false; }
    // A new file: its stream starts at its end, direct writes tried again.
    void restart()
    {
        started_ = false;
        direct_ = true;
    }

private:
    struct Free {
        void operator()(unsigned char* bytes) const { std::free(bytes); }
    };

    // Takes up the stream at the file's end, with its partial page.
    bool start(DataFile& file);
    // Writes the whole pages staged; false when the bytes could not be
    // written even by an ordinary write.
    bool writePages(DataFile& file, Result& result);
    // Writes length bytes of whole pages directly at base_; the bytes
    // written. One refused as such (EINVAL) ends direct writes for the file.
    std::size_t writeDirect(DataFile& file, const unsigned char* pages, std::size_t length);
    // Counts as stored what written bytes at base_ took beyond the stream.
    void noteWritten(std::size_t written, Result& result);
    // Cuts from the file what a failed write left beyond the stream.
    void dropBeyondStream(DataFile& file);
    // Appends the staged bytes not yet in the file by an ordinary write.
    bool appendRest(DataFile& file, Result& result);
    Result failed(Result result, int error);

    std::size_t size_;
    std::unique_ptr<unsigned char, Free> stage_;
    bool started_ = false;
    bool direct_ = true;         // direct writes still taken
    std::uint64_t base_ = 0;     // the file position of the stage's first byte
    std::size_t used_ = 0;       // bytes staged
    std::uint64_t inFile_ = 0;   // the stream is in the file up to here
};
