#include "bench/capture_check.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>

namespace {

constexpr int kRecord = 64;

// A record laid out as the load generator sends it: big-endian sequence,
// a varying send time, zero upper sequence bits, then a constant part.
std::string record(std::int32_t seq, int time = 0)
{
    std::string r(kRecord, '\0');
    const auto s = static_cast<std::uint32_t>(seq);
    r[0] = static_cast<char>(s >> 24);
    r[1] = static_cast<char>(s >> 16);
    r[2] = static_cast<char>(s >> 8);
    r[3] = static_cast<char>(s);
    r[4] = static_cast<char>(time);
    r[11] = static_cast<char>(time * 7);
    if (seq < 0)
        r.replace(12, 4, "\xff\xff\xff\xff");
    for (int i = CaptureCheck::kVaryingBytes; i < kRecord; ++i)
        r[i] = static_cast<char>('0' + i % 10);
    return r;
}

class CaptureCheckTest : public ::testing::Test {
protected:
    CaptureCheck checked(const std::string& contents)
    {
        std::FILE* file = std::fopen(path_.c_str(), "wb");
        std::fwrite(contents.data(), 1, contents.size(), file);
        std::fclose(file);
        CaptureCheck check(kRecord);
        EXPECT_TRUE(check.check(path_));
        return check;
    }
    void TearDown() override { std::remove(path_.c_str()); }

    std::string path_ = "capture_check_test." + std::to_string(getpid());
};

}   // namespace

TEST_F(CaptureCheckTest, WholeCaptureWithClosingRecordsIsExact)
{
    std::string contents;
    for (int seq = 1; seq <= 100; ++seq)
        contents += record(seq, seq);
    contents += record(-101) + record(-101);

    const CaptureCheck check = checked(contents);
    EXPECT_TRUE(check.exact());
    EXPECT_EQ(check.records(), 102u);
    EXPECT_EQ(check.finalRecords(), 2u);
    EXPECT_EQ(check.firstSeq(), 1);
    EXPECT_EQ(check.lastSeq(), 100);
}

TEST_F(CaptureCheckTest, FindsMissingReorderedAndLateRecords)
{
    EXPECT_EQ(checked(record(1) + record(2) + record(4)).gaps(), 1u);
    EXPECT_EQ(checked(record(1) + record(3) + record(2)).gaps(), 2u);
    EXPECT_EQ(checked(record(1) + record(1)).gaps(), 1u);
    EXPECT_EQ(checked(record(1) + record(-2) + record(2)).gaps(), 1u);
    EXPECT_FALSE(checked(record(1) + record(2) + record(4)).exact());
}

TEST_F(CaptureCheckTest, FindsChangedAndCutBytes)
{
    std::string changed = record(1) + record(2) + record(3);
    changed[kRecord + 40] ^= 1;
    const CaptureCheck changedCheck = checked(changed);
    EXPECT_EQ(changedCheck.mismatches(), 1u);
    EXPECT_FALSE(changedCheck.exact());

    std::string upperBits = record(1) + record(2);
    upperBits[kRecord + 13] = 1;
    EXPECT_EQ(checked(upperBits).mismatches(), 1u);

    const std::string cut = record(1) + record(2).substr(0, 10);
    const CaptureCheck cutCheck = checked(cut);
    EXPECT_EQ(cutCheck.records(), 1u);
    EXPECT_EQ(cutCheck.trailingBytes(), 10u);
    EXPECT_FALSE(cutCheck.exact());
}

TEST(CaptureCheckFileTest, MissingFileIsNotRead)
{
    CaptureCheck check(kRecord);
    EXPECT_FALSE(check.check("/nonexistent/capture"));
}
