// CFile64Ex: reads served from two blocks, direct reads of large requests,
// seeks past the end, and unreadable sectors delivered as zeros.
#include <gtest/gtest.h>
#include <numeric>

#include "EngineHarness.h"
#include "FaultySys.h"
#include "File64Ex.h"

using namespace zelt;
using test::Bytes;
using test::TempDir;

namespace {

constexpr uint32_t kSourceFlags = modeRead | shareDenyWrite | typeBinary;

Bytes Numbered(std::size_t n)
{
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = uint8_t(i * 7 + i / 251);
    return b;
}

class CFile64ExTest : public ::testing::Test {
protected:
    void Make(std::size_t size)
    {
        data = Numbered(size);
        test::WriteFile(dir / "src", data);
        ASSERT_TRUE(file.Open(dir / "src", kSourceFlags));
        file.SeekTo(0);
    }
    Bytes Read(uint64_t at, uint32_t n)
    {
        Bytes out(n);
        file.SeekTo(at);
        out.resize(file.Read(out.data(), n));
        return out;
    }
    Bytes Expect(uint64_t at, std::size_t n)
    {
        at = std::min<uint64_t>(at, data.size());
        n = std::min<std::size_t>(n, data.size() - at);
        return Bytes(data.begin() + long(at), data.begin() + long(at + n));
    }
    TempDir dir;
    Bytes data;
    CFile64Ex file{4096};
};

TEST_F(CFile64ExTest, ConstructionDefaults)
{
    CFile64Ex zero(0);
    EXPECT_EQ(zero.BlockSize(), 4096u);
    EXPECT_EQ(zero.SectorSize(), 512u);
    EXPECT_EQ(zero.GetPosition(), 0u);
    EXPECT_EQ(zero.BlockA().valid, 0u);
    EXPECT_EQ(zero.BlockB().data, zero.BlockA().data + 4096) << "both blocks in one allocation";
}

TEST_F(CFile64ExTest, ReadsAtEveryKindOfPosition)
{
    Make(20000);
    const std::pair<uint64_t, uint32_t> cases[] = {
        {0, 1}, {19999, 1}, {20000, 1}, {25000, 5}, {4090, 20}, {100, 4096}, {4096, 8192},
        {1, 12289}, {19000, 5000}, {0, 20000}, {0, 0},
    };
    for (const auto &[at, n] : cases) {
        EXPECT_EQ(Read(at, n), Expect(at, n)) << at << "+" << n;
        EXPECT_EQ(file.GetPosition(), at + Expect(at, n).size());
    }
}

TEST_F(CFile64ExTest, LargeUncachedReadGoesDirectThenThroughABlock)
{
    Make(30000);
    test::FaultPlan plan;
    test::FaultySys faulty(plan);
    EXPECT_EQ(Read(5000, 10000), Expect(5000, 10000));
    ASSERT_EQ(plan.preads.size(), 2u);
    EXPECT_EQ(plan.preads[0], (std::pair<uint64_t, uint64_t>{5000, 8192}));
    EXPECT_EQ(plan.preads[1], (std::pair<uint64_t, uint64_t>{13192, 4096}));
    EXPECT_EQ(file.BlockA().offset, 13192u);
}

TEST_F(CFile64ExTest, ReadAcrossBlockEndUsesTheOtherBlockWhenItHoldsTheRest)
{
    Make(30000);
    Read(0, 10);     // A = [0, 4096)
    Read(4096, 10);  // B = [4096, 8192)
    test::FaultPlan plan;
    test::FaultySys faulty(plan);
    EXPECT_EQ(Read(4000, 200), Expect(4000, 200));
    EXPECT_TRUE(plan.preads.empty());
    // Past B's end nothing holds the rest: the earlier block is refilled.
    EXPECT_EQ(Read(8100, 200), Expect(8100, 200));
    ASSERT_EQ(plan.preads.size(), 1u);
    EXPECT_EQ(plan.preads[0].first, 8192u);
    EXPECT_EQ(file.BlockA().offset, 8192u);
    EXPECT_EQ(file.BlockB().offset, 4096u);
}

TEST_F(CFile64ExTest, FillBlockPrefersTheBlockAtOrAfterThePosition)
{
    Make(40000);
    Read(20000, 1); // A = [20000, ...)
    Read(30000, 1); // B = [30000, ...)
    Read(100, 1);   // both start after: B is chosen
    EXPECT_EQ(file.BlockA().offset, 20000u);
    EXPECT_EQ(file.BlockB().offset, 100u);
    Read(10000, 1); // A starts after the position: A is chosen
    EXPECT_EQ(file.BlockA().offset, 10000u);
}

TEST_F(CFile64ExTest, SeekPastTheEndReadsNothing)
{
    Make(100);
    EXPECT_EQ(file.Seek(1000, begin), 1000u);
    uint8_t b;
    EXPECT_EQ(file.Read(&b, 1), 0u);
    EXPECT_EQ(file.Seek(-10, end), 90u);
    EXPECT_EQ(file.Seek(5, current), 95u);
    EXPECT_EQ(file.Read(&b, 1), 1u);
    EXPECT_EQ(b, data[95]);
}

TEST_F(CFile64ExTest, UnreadableSectorIsZerosWithCorrectDataAround)
{
    Make(20000);
    test::FaultPlan plan;
    plan.badRanges = {{5120, 5632}}; // sector 10
    test::FaultySys faulty(plan);
    for (const auto &[at, n] : {std::pair<uint64_t, uint32_t>{4096, 4096}, {5000, 1000}, {0, 12000}, {5200, 10}}) {
        CFile64Ex f(4096);
        ASSERT_TRUE(f.Open(dir / "src", kSourceFlags));
        Bytes got(n);
        f.SeekTo(at);
        ASSERT_EQ(f.Read(got.data(), n), n) << at;
        Bytes want = Expect(at, n);
        for (uint64_t i = std::max<uint64_t>(at, 5120); i < std::min<uint64_t>(at + n, 5632); ++i)
            want[i - at] = 0;
        EXPECT_EQ(got, want) << at << "+" << n;
    }
}

TEST_F(CFile64ExTest, FailingBlockRequestFallsBackToSectorRequests)
{
    Make(20000);
    test::FaultPlan plan;
    plan.badRanges = {{5120, 5632}};
    test::FaultySys faulty(plan);
    Read(4096 + 100, 1);
    // One block request, then the head to the sector boundary, seven whole
    // sectors and the tail.
    ASSERT_EQ(plan.preads.size(), 1u + 1u + 7u + 1u);
    EXPECT_EQ(plan.preads[0], (std::pair<uint64_t, uint64_t>{4196, 4096}));
    EXPECT_EQ(plan.preads[1], (std::pair<uint64_t, uint64_t>{4196, 412}));
    EXPECT_EQ(plan.preads.back(), (std::pair<uint64_t, uint64_t>{8192, 100}));
}

TEST_F(CFile64ExTest, FailingLastSectorIsZeroFilledOnlyUpToTheLength)
{
    Make(5000); // last sector holds 5000 - 4608 = 392 bytes
    test::FaultPlan plan;
    plan.badRanges = {{4608, 5120}};
    test::FaultySys faulty(plan);
    Bytes got = Read(4000, 4096);
    ASSERT_EQ(got.size(), 1000u);
    Bytes want = Expect(4000, 1000);
    std::fill(want.begin() + 608, want.end(), 0);
    EXPECT_EQ(got, want);
    EXPECT_EQ(Read(5000, 1).size(), 0u);
    EXPECT_EQ(Read(4999, 1), Bytes{0});
}

TEST_F(CFile64ExTest, UnsupportedOperationsRaise)
{
    Make(10);
    EXPECT_THROW(file.Duplicate(), NotSupportedError);
    EXPECT_THROW(file.LockRange(0, 1), NotSupportedError);
    EXPECT_THROW(file.UnlockRange(0, 1), NotSupportedError);
}

TEST_F(CFile64ExTest, WriteAtTheLogicalPosition)
{
    test::WriteFile(dir / "rw", Bytes(10, 0));
    CFile64Ex f;
    ASSERT_TRUE(f.Open(dir / "rw", modeReadWrite | shareDenyNone));
    f.SeekTo(4);
    f.Write("ab", 2);
    EXPECT_EQ(f.GetPosition(), 6u);
    f.Flush();
    f.SetLength(8);
    EXPECT_EQ(f.GetPosition(), 0u);
    EXPECT_EQ(test::ReadFile(dir / "rw"), (Bytes{0, 0, 0, 0, 'a', 'b', 0, 0}));
}

TEST_F(CFile64ExTest, SectorSizeComesFromTheDeviceOr512)
{
    Make(10);
    const uint32_t device = DeviceSectorSize(file.Handle());
    EXPECT_EQ(file.SectorSize(), device == 0 ? 512u : device);
    EXPECT_EQ(file.SectorSize() % 512, 0u);
}

} // namespace
