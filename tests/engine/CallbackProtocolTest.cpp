// What a caller hears from RecoverFile: the order of reports, polls and
// errors, the result, and how the options record is taken over.
#include <algorithm>
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

namespace {

// Files, names, status lines and the result with coarse reports are those of
// the per-byte protocol; reports come only where the percentage changes and
// polls at least every 64 KiB of positions.
TEST(CoarseReports, SameOutputsFewerCallsAndPollsEvery64KiB)
{
    const Bytes cat = PsdFile(3, 4, 6, 8, 3,
                              {{0, 0, 3, 4, {{-1, RleChannel(Pattern(12, 4), 3, 4)}, {0, RawChannel(Pattern(12, 1))}}},
                               {1, 1, 3, 5, {{0, ZipChannel(Pattern(8, 6))}}}},
                              Pattern(72, 5));
    Bytes lost = cat;
    std::fill(lost.begin(), lost.begin() + 26, 0);
    Bytes disk = Pattern(300000, 9);
    disk.insert(disk.begin() + 70001, cat.begin(), cat.end());
    disk.insert(disk.begin() + 200003, lost.begin(), lost.end());
    const uint32_t all = ZELT_RECOVER_HEURISTIC | ZELT_RECOVER_REBUILD | ZELT_RECOVER_PREVIEW;
    for (const auto &[name, bytes] : {std::make_pair("file", cat), std::make_pair("header lost", lost),
                                      std::make_pair("disk", disk)}) {
        TempDir dir;
        WriteFile(dir / "s.psd", bytes);
        std::vector<std::string> outputs[2];
        std::vector<Event> messages[2];
        for (int coarse = 0; coarse < 2; ++coarse) {
            const std::string out = MakeDir(dir / std::to_string(coarse));
            const RepairOptions o = MakeOptions(3, 4, 6, 8, 3, all | (coarse ? ZELT_REPORT_COARSE : 0));
            CallbackRecorder rec;
            ASSERT_EQ(Recover(dir / "s.psd", out, &rec, &o), 1) << name;
            for (Event e : rec.Messages()) {
                // How much of the merged image came back whole is told
                // with coarse reports only.
                if (coarse && e.text.rfind("The merged image (", 0) == 0)
                    continue;
                const std::size_t at = e.text.find(out);
                if (at != std::string::npos)
                    e.text.replace(at, out.size(), "OUT");
                messages[coarse].push_back(e);
            }
            for (const std::string &f : ListDir(out)) {
                const Bytes content = ReadFile(out / f);
                outputs[coarse].push_back((f.rfind("s_", 0) == 0 && f.find("rebuilt") == std::string::npos ? "merged" : f) +
                                          ":" + std::string(content.begin(), content.end()));
            }
            if (coarse) {
                int last = -1, polls = 0;
                for (const Event &e : rec.events) {
                    if (e.code == MSG_PROGRESS && &e != &rec.events.back()) {
                        EXPECT_GT(std::stoi(e.text), last) << name << ": a report only where the percentage changes";
                        last = std::stoi(e.text);
                    }
                    polls += e.code == MSG_QUERY_ABORT;
                }
                EXPECT_GE(polls, int(bytes.size() / 65536)) << name;
                EXPECT_LE(rec.events.size(), std::size_t(polls) + 102 + rec.Messages().size()) << name;
                EXPECT_LE(polls, int(bytes.size() / 65536) + 12) << name << ": polls between positions, and before reads";
            }
        }
        // Merged images are numbered on across the runs of this process.
        for (auto &list : messages)
            for (Event &e : list)
                if (const std::size_t at = e.text.find("OUT/s_"); at != std::string::npos && e.text.find("rebuilt") == std::string::npos)
                    e.text = "OUT/merged";
        std::sort(outputs[0].begin(), outputs[0].end());
        std::sort(outputs[1].begin(), outputs[1].end());
        EXPECT_EQ(messages[1], messages[0]) << name;
        EXPECT_TRUE(outputs[1] == outputs[0]) << name;
    }
}

TEST(CoarseReports, AStopInsideALongWriteTakesEffectAndLeavesNoPartFile)
{
    // A 6000 x 6000 merged image: 36 MB a channel. Polls: the scan's first,
    // the one before the merged image, two while its plane is read, then
    // every 16 MiB of the write; the stop comes inside the write.
    TempDir dir;
    PsdBuilder b;
    b.Header(1, 6000, 6000, 8, 1).U32(0).U32(0).U32(0).U16(0).Fill(6000u * 6000u, 7);
    WriteFile(dir / "big.psd", b.Data());
    const RepairOptions o = MakeOptions(1, 1, 1, 8, 1, ZELT_REPORT_COARSE);
    CallbackRecorder rec;
    rec.abortAtPoll = 6;
    EXPECT_EQ(Recover(dir / "big.psd", MakeDir(dir / "out"), &rec, &o), 0);
    EXPECT_EQ(rec.Count(MSG_QUERY_ABORT), 6);
    EXPECT_TRUE(ListDir(dir / "out").empty()) << "the unfinished file is removed";
    EXPECT_EQ(rec.events.back(), Progress(100));
}

} // namespace
