#include "bench/capture_check.h"

#include <cstdio>
#include <cstring>
#include <vector>

bool CaptureCheck::check(const std::string& path)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return false;
    std::vector<unsigned char> record(static_cast<std::size_t>(recordSize_));
    std::size_t got = 0;
    while ((got = std::fread(record.data(), 1, record.size(), file)) == record.size())
        checkRecord(record.data());
    trailingBytes_ = got;
    const bool readError = std::ferror(file) != 0;
    std::fclose(file);
    return !readError;
}

void CaptureCheck::checkRecord(const unsigned char* record)
{
    const auto seq = static_cast<std::int32_t>(
        (std::uint32_t{record[0]} << 24) | (std::uint32_t{record[1]} << 16) |
        (std::uint32_t{record[2]} << 8) | std::uint32_t{record[3]});
    const char* constant = reinterpret_cast<const char*>(record) + kVaryingBytes;
    const std::size_t constantSize = static_cast<std::size_t>(recordSize_ - kVaryingBytes);

    if (records_ == 0) {
        constantPart_.assign(constant, constantSize);
        firstSeq_ = seq;
    } else if (constantPart_.compare(0, constantSize, constant, constantSize) != 0) {
        ++mismatches_;
    }
    ++records_;

    if (seq < 0) {
        ++finalRecords_;
        return;
    }
    if (std::memcmp(record + 12, "\0\0\0\0", 4) != 0)
        ++mismatches_;
    // A numbered datagram after the closing ones, or a step other than +1.
    if (records_ > 1 && (finalRecords_ != 0 || seq != lastSeq_ + 1))
        ++gaps_;
    lastSeq_ = seq;
}
