#pragma once

#include <cstdint>
#include <string>

// Checks a capture file of the load generator's datagrams (iperf2's UDP
// client), saved whole, one after the other. Such a datagram starts with its
// sequence number (32 bits, big-endian, counting up from 1), then a send time
// (bytes 4-11) and the upper sequence bits (12-15, zero); every byte after
// that is the same in every datagram of one client run. The client ends its
// run with datagrams whose sequence number is negative. A capture is whole
// and byte-exact when it holds complete records, with sequence numbers that
// go up by exactly 1, and the same constant part in every record.
class CaptureCheck {
public:
    static constexpr int kVaryingBytes = 16;

    explicit CaptureCheck(int recordSize) : recordSize_(recordSize) {}

    // Reads and checks the file; false when it cannot be read.
    bool check(const std::string& path);

    std::uint64_t records() const { return records_; }
    std::uint64_t finalRecords() const { return finalRecords_; }
    std::int64_t firstSeq() const { return firstSeq_; }
    std::int64_t lastSeq() const { return lastSeq_; }
    std::uint64_t gaps() const { return gaps_; }
    std::uint64_t mismatches() const { return mismatches_; }
    std::uint64_t trailingBytes() const { return trailingBytes_; }

    bool exact() const { return gaps_ == 0 && mismatches_ == 0 && trailingBytes_ == 0; }

private:
    void checkRecord(const unsigned char* record);

    int recordSize_;
    std::string constantPart_;
    std::uint64_t records_ = 0;
    std::uint64_t finalRecords_ = 0;
    std::int64_t firstSeq_ = 0;
    std::int64_t lastSeq_ = 0;
    std::uint64_t gaps_ = 0;
    std::uint64_t mismatches_ = 0;
    std::uint64_t trailingBytes_ = 0;
};
