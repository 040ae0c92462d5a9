// Whole runs of RecoverFile: the merged image behind headers and layer
// sections, the user's properties where the header is lost, and files that
// are damaged in the ways disks and crashes damage them.
#include <algorithm>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "EngineHarness.h"
#include "FaultySys.h"

using namespace test;

namespace {

std::vector<std::string> Merged(const std::string &dir, const std::string &stem)
{
    return FilesWithPrefix(dir, stem + "_");
}

// The merged-image number the next file gets: a one-pixel file is repaired
// and its name read.
unsigned long MergedCounterNow(const TempDir &dir)
{
    const std::string probe = dir / "probe", out = MakeDir(dir / "probe-out");
    WriteFile(probe, PsdFile(1, 1, 1, 8, 1, {}, {7}));
    Recover(probe, out, nullptr);
    const auto names = ListDir(out);
    for (const std::string &n : names)
        ::unlink((out + "/" + n).c_str());
    return names.size() == 1 ? std::stoul(names[0].substr(6)) : 0;
}

// A small intact RGB file with two layers (one with transparency) and its
// merged image stored raw.
struct Sample {
    Bytes r = Pattern(12, 1), g = Pattern(12, 2), b = Pattern(12, 3), a = Pattern(12, 4);
    Bytes merged = Pattern(3 * 4 * 6, 5);
    std::vector<TestLayer> layers{
        {0, 0, 3, 4, {{-1, RleChannel(a, 3, 4)}, {0, RleChannel(r, 3, 4)}, {1, RawChannel(g)}, {2, RawChannel(b)}}},
        {1, 1, 3, 5, {{0, RawChannel(Pattern(8, 6))}, {1, RawChannel(Pattern(8, 7))}, {2, RawChannel(Pattern(8, 8))}}},
    };
    Bytes File() const { return PsdFile(3, 4, 6, 8, 3, layers, merged); }
};

TEST(MergedImage, IntactFileGivesItsLayersAndOneMergedImage)
{
    TempDir dir;
    Sample s;
    WriteFile(dir / "cat.psd", s.File());
    CallbackRecorder rec;
    ASSERT_EQ(Recover(dir / "cat.psd", MakeDir(dir / "out"), &rec), 1);
    const auto merged = Merged(dir / "out", "cat");
    ASSERT_EQ(merged.size(), 1u) << "the layer path reaches the same image data: written once";
    PsdImage img = ParseRecovered(dir / "out" / merged[0]);
    EXPECT_EQ(img.channels, 3);
    EXPECT_EQ(img.height, 4u);
    EXPECT_EQ(img.width, 6u);
    EXPECT_EQ(img.planes[0], Bytes(s.merged.begin(), s.merged.begin() + 24));
    EXPECT_EQ(img.planes[2], Bytes(s.merged.begin() + 48, s.merged.end()));
    EXPECT_EQ(ParseRecovered(dir / "out/Layer0.psd").planes, (std::vector<Bytes>{s.r, s.g, s.b, s.a}));
    EXPECT_EQ(ParseRecovered(dir / "out/Layer0_mask.psd").planes[1], s.a);
    EXPECT_EQ(ParseRecovered(dir / "out/Layer1.psd").planes[2], Pattern(8, 8));
    // Status lines: the merged image is read once from the header path, then
    // once more tried by nothing; the layers are read by the layer path.
    EXPECT_EQ(rec.Written().size(), 4u);
    EXPECT_EQ(rec.Errors(), std::vector<std::string>{});
}

TEST(MergedImage, TwoCopiesBackToBackGiveTwoMergedImages)
{
    TempDir dir;
    Sample s;
    Bytes twice = s.File();
    const Bytes one = s.File();
    twice.insert(twice.end(), one.begin(), one.end());
    WriteFile(dir / "twice.psd", twice);
    ASSERT_EQ(Recover(dir / "twice.psd", MakeDir(dir / "out"), nullptr), 1);
    EXPECT_EQ(Merged(dir / "out", "twice").size(), 2u);
    EXPECT_TRUE(FileExists(dir / "out/Layer1_2.psd")) << "the second copy's layers do not replace the first's";
}

TEST(MergedImage, LostHeaderUsesTheUsersProperties)
{
    TempDir dir;
    Sample s;
    Bytes f = s.File();
    std::fill(f.begin(), f.begin() + 26, 0); // the header is gone
    WriteFile(dir / "lost.psd", f);
    RepairOptions o = MakeOptions(3, 4, 6, 8, 9, 0);
    ASSERT_EQ(Recover(dir / "lost.psd", MakeDir(dir / "out"), nullptr, &o), 1);
    PsdImage layer = ParseRecovered(dir / "out/Layer0.psd");
    EXPECT_EQ(layer.mode, 9) << "the user's mode";
    EXPECT_EQ(layer.planes[0], s.r);
    const auto merged = Merged(dir / "out", "lost");
    ASSERT_EQ(merged.size(), 1u);
    PsdImage img = ParseRecovered(dir / "out" / merged[0]);
    EXPECT_EQ(img.mode, 9);
    EXPECT_EQ(img.planes[1], Bytes(s.merged.begin() + 24, s.merged.begin() + 48));
}

TEST(MergedImage, UsersDepthAndWrongSizeStillGiveAFile)
{
    TempDir dir;
    PsdBuilder b;
    b.Append(LayerSection({{0, 0, 1, 2, {{0, RawChannel({1, 2, 3, 4})}}}})).U16(0).Append(Pattern(40, 9));
    WriteFile(dir / "lost.psd", b.Data());
    RepairOptions o = MakeOptions(2, 2, 3, 16, 3, 0);
    ASSERT_EQ(Recover(dir / "lost.psd", MakeDir(dir / "out"), nullptr, &o), 1);
    EXPECT_EQ(ParseRecovered(dir / "out/Layer0.psd").planes[0], (Bytes{1, 2, 3, 4}));
    const auto merged = Merged(dir / "out", "lost");
    ASSERT_EQ(merged.size(), 1u);
    PsdImage img = ParseRecovered(dir / "out" / merged[0]);
    EXPECT_EQ(img.depth, 16);
    ASSERT_EQ(img.planes.size(), 2u);
    EXPECT_EQ(img.planes[0].size(), 12u) << "2 x 3 samples of 2 bytes";
    const Bytes data = Pattern(40, 9);
    EXPECT_EQ(img.planes[1], Bytes(data.begin() + 12, data.begin() + 24));
}

Bytes HeaderThen(uint16_t channels, uint32_t h, uint32_t w, const Bytes &imageData)
{
    PsdBuilder b;
    b.Header(channels, h, w, 8, 3).U32(0).U32(0).U32(0).Append(imageData);
    return b.Data();
}

TEST(MergedImage, RunLengthMergedImage)
{
    TempDir dir;
    const Bytes c0 = Pattern(20, 1), c1 = Pattern(20, 2);
    PsdBuilder data;
    data.U16(1);
    std::vector<Bytes> rows;
    for (const Bytes *c : {&c0, &c1})
        for (int r = 0; r < 2; ++r) {
            rows.push_back(PackBitsRow(Bytes(c->begin() + r * 10, c->begin() + r * 10 + 10)));
            data.U16(uint16_t(rows.back().size()));
        }
    for (const Bytes &r : rows)
        data.Append(r);
    WriteFile(dir / "rle.psd", HeaderThen(2, 2, 10, data.Data()));
    ASSERT_EQ(Recover(dir / "rle.psd", MakeDir(dir / "out"), nullptr), 1);
    PsdImage img = ParseRecovered(dir / "out" / Merged(dir / "out", "rle").at(0));
    EXPECT_EQ(img.planes, (std::vector<Bytes>{c0, c1}));
}

TEST(MergedImage, TooFewRowLengthsGiveNoFile)
{
    TempDir dir;
    PsdBuilder data;
    data.U16(1).U16(3).U16(3).U16(3); // 2 channels x 2 rows need 4 lengths
    WriteFile(dir / "short.psd", HeaderThen(2, 2, 10, data.Data()));
    CallbackRecorder rec;
    EXPECT_EQ(Recover(dir / "short.psd", MakeDir(dir / "out"), &rec), 0);
    EXPECT_TRUE(Merged(dir / "out", "short").empty());
    EXPECT_EQ(rec.Messages(), (std::vector<Event>{{MSG_SOURCE_FILE, dir / "short.psd"}, {MSG_STATUS, "Read merged image data."}}));
}

TEST(MergedImage, NothingFromTheSourceGivesNoFileAndNoNumber)
{
    // A header that claims a large picture and holds none of it, data that
    // no ZIP stream is in, an unknown compression: no file, and the next
    // merged image keeps the number.
    for (uint16_t compression : {0, 2, 3, 0x7777}) {
        TempDir dir;
        PsdBuilder data;
        data.U16(compression);
        if (compression != 0)
            data.Fill(30, 1);
        WriteFile(dir / "none.psd", HeaderThen(3, 10000, 10000, data.Data()));
        const unsigned long before = MergedCounterNow(dir);
        CallbackRecorder rec;
        EXPECT_EQ(Recover(dir / "none.psd", MakeDir(dir / "out"), &rec), 0) << compression;
        EXPECT_TRUE(ListDir(dir / "out").empty()) << compression;
        EXPECT_EQ(rec.Messages(), (std::vector<Event>{{MSG_SOURCE_FILE, dir / "none.psd"},
                                                      {MSG_STATUS, "Read merged image data."},
                                                      {MSG_STATUS, "The merged image has no pixel data left in the file: no file written."}}))
            << compression;
        EXPECT_EQ(MergedCounterNow(dir), before + 1) << "the counter did not advance for " << compression;
    }
}

TEST(MergedImage, RawDataCutShortIs0xFFFromTheCut)
{
    TempDir dir;
    PsdBuilder data;
    data.U16(0).Fill(13, 7);
    WriteFile(dir / "cut.psd", HeaderThen(2, 2, 5, data.Data()));
    ASSERT_EQ(Recover(dir / "cut.psd", MakeDir(dir / "out"), nullptr), 1);
    PsdImage img = ParseRecovered(dir / "out" / Merged(dir / "out", "cut").at(0));
    EXPECT_EQ(img.planes[0], Bytes(10, 7));
    Bytes second(10, 0xFF);
    std::fill(second.begin(), second.begin() + 3, 7);
    EXPECT_EQ(img.planes[1], second);
}

TEST(MergedImage, CounterRisesAcrossRuns)
{
    TempDir dir;
    WriteFile(dir / "a.psd", HeaderThen(1, 1, 1, {0, 0, 5}));
    ASSERT_EQ(Recover(dir / "a.psd", MakeDir(dir / "one"), nullptr), 1);
    ASSERT_EQ(Recover(dir / "a.psd", MakeDir(dir / "two"), nullptr), 1);
    const std::string first = ListDir(dir / "one").at(0), second = ListDir(dir / "two").at(0);
    const unsigned long n1 = std::stoul(first.substr(2)), n2 = std::stoul(second.substr(2));
    EXPECT_EQ(n2, n1 + 1) << first << " " << second;
}

TEST(MergedImage, NamesFollowTheSourcesExtensionWhereItIsAPhotoshopOne)
{
    const struct {
        const char *source, *merged;
    } cases[] = {{"noext", "noext_"}, {"a.pdd", ".pdd"}, {"card.img", ".psd"}, {"b.PSD", ".PSD"}};
    for (const auto &c : cases) {
        TempDir dir;
        WriteFile(dir / c.source, HeaderThen(1, 1, 1, {0, 0, 5}));
        ASSERT_EQ(Recover(dir / c.source, MakeDir(dir / "out"), nullptr), 1);
        const auto names = ListDir(dir / "out");
        ASSERT_EQ(names.size(), 1u);
        if (std::string(c.merged).back() == '_')
            EXPECT_EQ(names[0].find('.'), std::string::npos) << names[0] << ": no extension, none added";
        else
            EXPECT_EQ(names[0].substr(names[0].size() - 4), c.merged) << c.source;
    }
}

TEST(MergedImage, HugeHeaderImageIsRefusedAndTheScanGoesOn)
{
    TempDir dir;
    PsdBuilder b;
    b.Append(HeaderThen(24, 300000, 300000, {0, 0}));
    b.Append(LayerSection({{0, 0, 1, 1, {{0, RawChannel({4})}}}}));
    WriteFile(dir / "huge.psd", b.Data());
    CallbackRecorder rec;
    ASSERT_EQ(Recover(dir / "huge.psd", MakeDir(dir / "out"), &rec), 1);
    EXPECT_EQ(rec.Errors(), std::vector<std::string>{});
    EXPECT_TRUE(FileExists(dir / "out/Layer0.psd"));
}

TEST(RecoverFileDamage, HeaderZeroedCutJunkAndBadSectors)
{
    Sample s;
    const Bytes intact = s.File();
    Bytes junk = Pattern(3000, 77);
    struct Case {
        const char *name;
        Bytes bytes;
        std::vector<std::pair<uint64_t, uint64_t>> badSectors;
        std::size_t minLayers;
        bool merged;
        bool secondLayerWhole;
    } cases[] = {
        {"intact", intact, {}, 2, true, true},
        {"junk before and after", [&] { Bytes b = junk; b.insert(b.end(), intact.begin(), intact.end()); b.insert(b.end(), junk.begin(), junk.end()); return b; }(), {}, 2, true, true},
        {"cut inside the merged image", Bytes(intact.begin(), intact.end() - 30), {}, 2, true, true},
        {"cut inside the layer data", Bytes(intact.begin(), intact.begin() + 200), {}, 1, false, false},
        {"first sector unreadable", [&] { Bytes b(512, 0); b.insert(b.end(), intact.begin(), intact.end()); return b; }(), {{0, 512}}, 2, true, true},
    };
    for (const Case &c : cases) {
        TempDir dir;
        WriteFile(dir / "d.psd", c.bytes);
        FaultPlan plan;
        plan.badRanges = c.badSectors;
        std::unique_ptr<FaultySys> faulty;
        if (!c.badSectors.empty())
            faulty = std::make_unique<FaultySys>(plan);
        CallbackRecorder rec;
        EXPECT_EQ(Recover(dir / "d.psd", MakeDir(dir / "out"), &rec), 1) << c.name;
        EXPECT_GE(FilesWithPrefix(dir / "out", "Layer").size(), c.minLayers + 1) << c.name;
        EXPECT_EQ(!Merged(dir / "out", "d").empty(), c.merged) << c.name;
        if (c.secondLayerWhole)
            EXPECT_EQ(ParseRecovered(dir / "out/Layer1.psd").planes.at(0), Pattern(8, 6)) << c.name;
        else
            EXPECT_FALSE(FileExists(dir / "out/Layer1.psd")) << c.name << ": nothing of it is left";
        EXPECT_TRUE(rec.Errors().empty()) << c.name;
    }
}

TEST(RecoverFileSafety, OutputIsNeverWrittenOverTheSource)
{
    // The source is named like the first layer file and lies in the output
    // directory: the source stays whole, and the layer takes the next name.
    TempDir dir;
    Sample s;
    const Bytes intact = s.File();
    WriteFile(dir / "Layer0.psd", intact);
    CallbackRecorder rec;
    EXPECT_EQ(Recover(dir / "Layer0.psd", dir.Path(), &rec), 1);
    EXPECT_EQ(ReadFile(dir / "Layer0.psd"), intact);
    EXPECT_TRUE(rec.Errors().empty());
    const auto msgs = rec.Messages();
    const Event line{MSG_STATUS, dir / "Layer0.psd" + " is the file being repaired: the output is named " +
                                     (dir / "Layer0_2.psd") + " instead."};
    const auto at = std::find(msgs.begin(), msgs.end(), line);
    ASSERT_NE(at, msgs.end());
    EXPECT_EQ(*std::next(at), (Event{MSG_FILE_WRITTEN, dir / "Layer0_2_mask.psd"}));
    EXPECT_EQ(ParseRecovered(dir / "Layer0_2.psd").planes, (std::vector<Bytes>{s.r, s.g, s.b, s.a}));
    EXPECT_TRUE(FileExists(dir / "Layer1.psd"));
}

TEST(RecoverFileSafety, EmptyOutputDirectoryIsTheCurrentDirectory)
{
    TempDir dir;
    WriteFile(dir / "s.psd", LayerSection({{0, 0, 1, 1, {{0, RawChannel({1})}}}}));
    const std::string cwd = CurrentDir();
    ASSERT_EQ(chdir(dir.Path().c_str()), 0);
    CallbackRecorder rec;
    const int32_t r = Recover("s.psd", "", &rec);
    ASSERT_EQ(chdir(cwd.c_str()), 0);
    EXPECT_EQ(r, 1);
    EXPECT_EQ(rec.Written().at(0), "Layer0.psd");
    EXPECT_TRUE(FileExists(dir / "Layer0.psd"));
}

TEST(RecoverFileSafety, DiskFullEndsTheScanWithTheGeneralErrorAndKeepsTheResult)
{
    TempDir dir;
    Sample s;
    WriteFile(dir / "cat.psd", s.File());
    FaultPlan plan;
    plan.writeBudget = 48 + 3 * 24; // the merged image fits, nothing after it
    FaultySys faulty(plan);
    CallbackRecorder rec;
    EXPECT_EQ(Recover(dir / "cat.psd", MakeDir(dir / "out"), &rec), 1);
    ASSERT_EQ(rec.Errors().size(), 1u);
    EXPECT_EQ(rec.Errors()[0].rfind("Error 2: General error. Disk full while accessing " + dir.Path() + "/out/", 0), 0u)
        << rec.Errors()[0];
    EXPECT_EQ(rec.events.back(), (Event{MSG_PROGRESS, "100"}));
}

} // namespace

namespace {

TEST(RecoverFileSafety, AnOutputFolderSwappedForALinkMidRunKeepsGettingTheOutputs)
{
    // After the first output the folder is renamed away and a link to a
    // private folder put at its name: every later output still goes into
    // the folder the run opened, and nothing reaches the private one.
    TempDir dir;
    Sample s;
    WriteFile(dir / "cat.psd", s.File());
    const std::string out = MakeDir(dir / "out"), moved = dir / "moved", secret = MakeDir(dir / "secret");
    CallbackRecorder rec;
    bool swapped = false;
    rec.onMessage = [&](const Event &e) {
        if (e.code != MSG_FILE_WRITTEN || swapped)
            return;
        swapped = true;
        ASSERT_EQ(::rename(out.c_str(), moved.c_str()), 0);
        ASSERT_EQ(::symlink(secret.c_str(), out.c_str()), 0);
    };
    EXPECT_EQ(Recover(dir / "cat.psd", out, &rec), 1);
    ASSERT_TRUE(swapped);
    EXPECT_TRUE(ListDir(secret).empty());
    EXPECT_EQ(ListDir(moved).size(), rec.Written().size());
    EXPECT_GE(rec.Written().size(), 4u);
    EXPECT_TRUE(rec.Errors().empty());
}

TEST(RecoverFileSafety, AnotherUsersOpenOutputDirectoryIsNotUsed)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "making a directory another user's needs root";
    TempDir dir;
    WriteFile(dir / "s.psd", LayerSection({{0, 0, 1, 1, {{0, RawChannel({1})}}}}));
    const std::string shared = MakeDir(dir / "shared");
    ASSERT_EQ(chown(shared.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(shared.c_str(), 0777), 0);
    CallbackRecorder rec;
    EXPECT_EQ(Recover(dir / "s.psd", shared, &rec), 0);
    EXPECT_TRUE(ListDir(shared).empty());
    EXPECT_EQ(rec.Errors(), std::vector<std::string>{"Error 5: The output directory " + shared +
                                                     " belongs to another user and others may write in it: nothing "
                                                     "is written there."});
    // Root's run does not use it either when only its owner may write: that
    // owner could swap what it holds for links to root's files.
    ASSERT_EQ(chmod(shared.c_str(), 0755), 0);
    rec.events.clear();
    EXPECT_EQ(Recover(dir / "s.psd", shared, &rec), 0);
    EXPECT_TRUE(ListDir(shared).empty());
    EXPECT_EQ(rec.Errors().size(), 1u);
}

} // namespace
