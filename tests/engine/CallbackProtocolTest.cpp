// What a caller hears from RecoverFile: the order of reports, polls and
// errors, the result, and how the options record is taken over.
#include <cstring>
#include <gtest/gtest.h>

#include "EngineHarness.h"

using namespace test;

namespace {

std::vector<Event> Seq(std::initializer_list<Event> e) { return e; }

Event Progress(int pct) { return {MSG_PROGRESS, std::to_string(pct)}; }
const Event kPoll{MSG_QUERY_ABORT, ""};

TEST(RecoverFile, EmptySourceGivesOnePollAndNoScanReports)
{
    TempDir dir;
    WriteFile(dir / "empty.psd", {});
    CallbackRecorder rec;
    EXPECT_EQ(Recover(dir / "empty.psd", dir / "out", &rec), 0);
    EXPECT_EQ(rec.events, Seq({Progress(0), {MSG_SOURCE_FILE, dir / "empty.psd"}, kPoll, Progress(100)}));
}

TEST(RecoverFile, BytesWithoutStructureGiveOnePollAndReportPerPosition)
{
    for (std::size_t n : {1u, 3u, 7u, 250u, 5000u}) {
        TempDir dir;
        WriteFile(dir / "noise.bin", Bytes(n, 0x11));
        CallbackRecorder rec;
        EXPECT_EQ(Recover(dir / "noise.bin", dir / "out", &rec), 0);
        ASSERT_EQ(rec.Count(MSG_QUERY_ABORT), int(n + 1)) << n;
        // Poll, report for every position; the last scan report is 100.
        std::vector<Event> expected{Progress(0), {MSG_SOURCE_FILE, dir / "noise.bin"}};
        for (std::size_t p = 0; p < n; ++p) {
            expected.push_back(kPoll);
            expected.push_back(Progress(int(double(p + 1) * 100.0 / double(n))));
        }
        expected.push_back(kPoll);
        expected.push_back(Progress(100));
        EXPECT_EQ(rec.events, expected) << n;
        EXPECT_EQ(rec.events[rec.events.size() - 3], Progress(100));
    }
}

TEST(RecoverFile, AbortAtKthPollStopsTheScan)
{
    for (int k : {1, 2, 10}) {
        TempDir dir;
        WriteFile(dir / "noise.bin", Bytes(100, 0x22));
        CallbackRecorder rec;
        rec.abortAtPoll = k;
        EXPECT_EQ(Recover(dir / "noise.bin", dir / "out", &rec), 0);
        EXPECT_EQ(rec.Count(MSG_QUERY_ABORT), k);
        EXPECT_EQ(rec.Count(MSG_PROGRESS), (k - 1) + 2); // scan reports, then 0 and the final 100
        EXPECT_EQ(rec.events.back(), Progress(100));
    }
}

TEST(RecoverFile, MissingSourceReportsNestedOpenError)
{
    TempDir dir;
    const std::string missing = dir / "nowhere/cat.psd";
    CallbackRecorder rec;
    EXPECT_EQ(Recover(missing, dir / "out", &rec), 0);
    EXPECT_EQ(rec.events,
              Seq({Progress(0),
                   {MSG_SOURCE_FILE, missing},
                   {MSG_ERROR, "Error 1: Cannot open the file to be repaired. " + missing + " was not found."},
                   Progress(100)}));
}

TEST(RecoverFile, RelativeSourcePathIsReportedAsGiven)
{
    CallbackRecorder rec;
    EXPECT_EQ(Recover("no-such-file-here.psd", "", &rec), 0);
    ASSERT_EQ(rec.Errors().size(), 1u);
    EXPECT_EQ(rec.Errors()[0], "Error 1: Cannot open the file to be repaired. no-such-file-here.psd was not found.");
}

TEST(RecoverFile, DirectoryAsSourceIsAccessDenied)
{
    TempDir dir;
    CallbackRecorder rec;
    EXPECT_EQ(Recover(dir.Path(), dir / "out", &rec), 0);
    EXPECT_EQ(rec.Errors(),
              std::vector<std::string>{"Error 1: Cannot open the file to be repaired. Access to " + dir.Path() +
                                       " was denied."});
}

TEST(RecoverFile, PercentSignInPathReachesCallerUnchanged)
{
    TempDir dir;
    const std::string path = dir / "100%s %1 %d.psd";
    WriteFile(path, Bytes(4, 0));
    CallbackRecorder rec;
    Recover(path, dir / "out", &rec);
    EXPECT_EQ(rec.events[1], (Event{MSG_SOURCE_FILE, path}));
    EXPECT_TRUE(rec.Errors().empty());

    CallbackRecorder missing;
    Recover(dir / "%1%s.psd", dir / "out", &missing);
    EXPECT_EQ(missing.Errors(), std::vector<std::string>{"Error 1: Cannot open the file to be repaired. " +
                                                         (dir / "%1%s.psd") + " was not found."});
}

// A lost header: a layer section alone, then merged image data. The merged
// image is written with the properties in force, so its header shows
// which properties the engine took.
Bytes HeaderlessFile()
{
    PsdBuilder b;
    b.Append(LayerSection({{0, 0, 1, 1, {{0, RawChannel({7})}}}}));
    b.U16(0).Fill(64, 0x42);
    return b.Data();
}

TEST(RecoverFile, StructSizeOtherThan22UsesDefaults)
{
    // The defaults: 3 channels, 600 x 800, 8 bits, RGB, the heuristic on.
    // A rejected record gives exactly what a record of the defaults gives.
    TempDir dir;
    WriteFile(dir / "lost.psd", HeaderlessFile());
    const RepairOptions defaults = MakeOptions(3, 600, 800, 8, 3, ZELT_RECOVER_HEURISTIC);
    CallbackRecorder want;
    ASSERT_EQ(Recover(dir / "lost.psd", MakeDir(dir / "defaults"), &want, &defaults), 1);
    for (uint32_t size : {0u, 21u, 24u}) {
        RepairOptions o = MakeOptions(1, 2, 2, 16, 1, 0);
        o.StructSize = size;
        const std::string out = MakeDir(dir / std::to_string(size));
        CallbackRecorder rec;
        ASSERT_EQ(Recover(dir / "lost.psd", out, &rec, &o), 1);
        ASSERT_EQ(ListDir(out).size(), ListDir(dir / "defaults").size()) << size;
        for (const std::string &name : ListDir(dir / "defaults")) {
            const std::string twin = name.rfind("lost_", 0) == 0 ? FilesWithPrefix(out, "lost_").at(0) : name;
            EXPECT_EQ(ReadFile(out / twin), ReadFile(dir / "defaults" / name)) << size << " " << name;
        }
    }
}

TEST(RecoverFile, StructSize22TakesTheUsersProperties)
{
    TempDir dir;
    WriteFile(dir / "lost.psd", HeaderlessFile());
    RepairOptions o = MakeOptions(1, 4, 8, 8, 1, 0);
    CallbackRecorder rec;
    ASSERT_EQ(Recover(dir / "lost.psd", dir.Path(), &rec, &o), 1);
    const auto names = FilesWithPrefix(dir.Path(), "lost_");
    ASSERT_EQ(names.size(), 1u);
    PsdImage merged = ParseRecovered(dir / names[0]);
    EXPECT_EQ(merged.channels, 1);
    EXPECT_EQ(merged.height, 4u);
    EXPECT_EQ(merged.width, 8u);
    EXPECT_EQ(merged.mode, 1);
}

TEST(RecoverFile, NullCallbackWritesTheSameFilesSilently)
{
    TempDir a, b;
    WriteFile(a / "lost.psd", HeaderlessFile());
    WriteFile(b / "lost.psd", HeaderlessFile());
    CallbackRecorder rec;
    const int32_t withCallback = Recover(a / "lost.psd", MakeDir(a / "out"), &rec);
    const int32_t silent = Recover(b / "lost.psd", MakeDir(b / "out"), nullptr);
    EXPECT_EQ(withCallback, 1);
    EXPECT_EQ(withCallback, silent);
    // Merged names carry a process-wide counter; layer names do not.
    EXPECT_EQ(ReadFile(a / "out/Layer0.psd"), ReadFile(b / "out/Layer0.psd"));
    EXPECT_EQ(ListDir(a / "out").size(), ListDir(b / "out").size());
}

TEST(RecoverFile, NullBlockReturnsZero) { EXPECT_EQ(RecoverFile(nullptr), 0); }

TEST(RecoverFile, CallerBlockStaysMasked)
{
    TempDir dir;
    WriteFile(dir / "x.psd", Bytes(3, 0));
    RepairOptions o = MakeOptions(3, 600, 800, 8, 3);
    const std::string src = dir / "x.psd", out = dir / "out";
    EngineParams p{src.c_str(), &o, 0, out.c_str(), nullptr, nullptr};
    ZeltMaskParams(&p, sizeof p);
    EngineParams copy;
    std::memcpy(&copy, &p, sizeof p);
    RecoverFile(&p);
    EXPECT_EQ(std::memcmp(&copy, &p, sizeof p), 0);
}

} // namespace
