// The recovered files: their layout, names, plane order, colour mode data,
// mask files, and what the caller hears about them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "FaultySys.h"
#include "RecovererFixture.h"

using namespace test;

namespace {

class Writer : public RecovererFixture {
protected:
    void RecoverAt0()
    {
        At(0);
        uint64_t length; uint32_t files;
        ASSERT_TRUE(R().RecoverLayerSection(length, files));
    }
};

TEST_F(Writer, RgbLayerFileIs66BytesAndIndexed822)
{
    const TestLayer layer{0, 0, 2, 3, {{0, RawChannel(Pattern(6, 1))}, {1, RawChannel(Pattern(6, 2))}, {2, RawChannel(Pattern(6, 3))}}};
    Load(LayerSection({layer}));
    RecoverAt0();
    EXPECT_EQ(ReadFile(out + "/Layer0.psd").size(), 66u);

    Load(LayerSection({{0, 0, 2, 3, {{0, RawChannel(Pattern(6, 1))}}}}), dir / "indexed");
    R().SetProperties({1, 1, 1, 8, 2});
    RecoverAt0();
    const Bytes file = ReadFile(out + "/Layer0.psd");
    ASSERT_EQ(file.size(), 822u);
    PsdImage img = ParseRecovered(out + "/Layer0.psd");
    EXPECT_EQ(img.colorModeData, Bytes(768, 0xFF)) << "no palette was read in this repair";
}

TEST_F(Writer, HeaderFieldsOfALayerFile)
{
    Load(LayerSection({{-3, 4, 1, 9, {{0, RawChannel(Pattern(20, 5))}, {1, RawChannel(Pattern(20, 6))},
                                      {2, RawChannel(Pattern(20, 7))}, {3, RawChannel(Pattern(20, 8))}}}}));
    R().SetProperties({1, 1, 1, 8, 4});
    RecoverAt0();
    const Bytes f = ReadFile(out + "/Layer0.psd");
    const Bytes head(f.begin(), f.begin() + 48);
    PsdBuilder want;
    want.Str("8BPS").U16(1).Fill(6, 0).U16(4).U32(4).U32(5).U16(8).U16(4).U32(0).U32(0).U32(8).U32(0).U32(0).U16(0);
    EXPECT_EQ(head, want.Data());
}

TEST_F(Writer, ALayerWhoseColourChannelsDoNotFitTheModeGetsAModeThatFitsThem)
{
    // Readers refuse an RGB file of one channel: such a layer is written as
    // Grayscale, any other mismatch as Multichannel.
    struct Case {
        uint16_t documentMode;
        std::vector<int16_t> ids;
        uint16_t written;
    } cases[] = {
        {3, {0, -1}, 1}, {3, {0, 1, 2, -1}, 3}, {4, {0, 1, 2}, 7}, {1, {0, 1}, 7}, {7, {0, 1, 2, 3, 4}, 7},
        {9, {0, 1, 2}, 9}, {2, {0}, 2}, {3, {-1}, 7},
        {8, {0}, 1}, // duotone without its ink data: grey
    };
    for (const Case &c : cases) {
        TestLayer layer{0, 0, 1, 1, {}};
        for (int16_t id : c.ids)
            layer.channels.push_back({id, RawChannel({uint8_t(id + 10)})});
        Load(LayerSection({layer}));
        R().SetProperties({3, 1, 1, 8, c.documentMode});
        RecoverAt0();
        PsdImage img = ParseRecovered(out + "/Layer0.psd");
        EXPECT_EQ(img.mode, c.written) << c.documentMode << " with " << c.ids.size() << " channels";
        EXPECT_EQ(img.channels, c.ids.size());
    }
}

TEST_F(Writer, PlaneOrderColourFirstThenNegativeAndTheMaskFile)
{
    const Bytes a = Pattern(4, 10), r = Pattern(4, 11), g = Pattern(4, 12), b = Pattern(4, 13), m = Pattern(4, 14);
    const TestMask rect{0, 0, 2, 2};
    Load(LayerSection({{0, 0, 2, 2,
                        {{-1, RawChannel(a)}, {0, RawChannel(r)}, {1, RawChannel(g)}, {2, RawChannel(b)}, {-2, RawChannel(m)}},
                        LayerExtra("l", &rect)}}));
    RecoverAt0();
    PsdImage img = ParseRecovered(out + "/Layer0.psd");
    EXPECT_EQ(img.channels, 5);
    EXPECT_EQ(img.planes, (std::vector<Bytes>{r, g, b, a, m}));
    PsdImage mask = ParseRecovered(out + "/Layer0_mask.psd");
    EXPECT_EQ(mask.channels, 3);
    EXPECT_EQ(mask.mode, 3);
    EXPECT_EQ(mask.colorModeData, Bytes{});
    EXPECT_EQ(mask.planes, (std::vector<Bytes>{a, a, a}));
    // The mask file is reported before its layer file, each after closing.
    EXPECT_EQ(rec.Messages(), (std::vector<Event>{{MSG_STATUS, "Read data of layer 0."},
                                                  {MSG_FILE_WRITTEN, out + "/Layer0_mask.psd"},
                                                  {MSG_FILE_WRITTEN, out + "/Layer0.psd"}}));
}

TEST_F(Writer, IndexedPaletteAndDuotoneData)
{
    PsdBuilder b;
    b.U32(6).U8(1).U8(2).U8(3).U8(4).U8(5).U8(6).U32(3).Str("duo");
    b.Append(LayerSection({{0, 0, 1, 1, {{0, RawChannel({7})}}}}));
    Load(b.Data(), dir / "pal");
    uint32_t len;
    ASSERT_TRUE(R().ReadColorModeData(2, len));
    ASSERT_TRUE(R().ReadColorModeData(8, len));
    const uint64_t sectionAt = 4 + 6 + 4 + 3;

    R().SetProperties({1, 1, 1, 8, 2});
    At(sectionAt);
    uint64_t length; uint32_t files;
    ASSERT_TRUE(R().RecoverLayerSection(length, files));
    PsdImage indexed = ParseRecovered(out + "/Layer0.psd");
    ASSERT_EQ(indexed.colorModeData.size(), 768u);
    EXPECT_EQ(Bytes(indexed.colorModeData.begin(), indexed.colorModeData.begin() + 7), (Bytes{1, 2, 3, 4, 5, 6, 0xFF}));

    R().SetProperties({1, 1, 1, 8, 8});
    At(sectionAt);
    ASSERT_TRUE(R().RecoverLayerSection(length, files));
    EXPECT_EQ(ParseRecovered(out + "/Layer0_2.psd").colorModeData, (Bytes{'d', 'u', 'o'}));
}

TEST_F(Writer, NoMaskFileWithoutTransparency)
{
    const TestMask rect{0, 0, 1, 1};
    Load(LayerSection({{0, 0, 1, 1, {{0, RawChannel({1})}}}, {0, 0, 1, 1, {{-2, RawChannel({1})}}, LayerExtra("", &rect)}}));
    RecoverAt0();
    EXPECT_EQ(ListDir(out), (std::vector<std::string>{"Layer0.psd", "Layer1.psd"}));
}

TEST_F(Writer, FileThatCannotBeCreatedIsReportedAndSkipped)
{
    Load(LayerSection({{0, 0, 1, 1, {{0, RawChannel({1})}, {-1, RawChannel({2})}}}}), dir / "out");
    ASSERT_EQ(::rmdir(out.c_str()), 0); // the output directory is gone
    At(0);
    uint64_t length; uint32_t files;
    EXPECT_TRUE(R().RecoverLayerSection(length, files));
    EXPECT_EQ(files, 0u);
    ASSERT_EQ(rec.Errors().size(), 1u);
    EXPECT_EQ(rec.Errors()[0].rfind("Error 4: Cannot create file. ", 0), 0u) << rec.Errors()[0];
    EXPECT_NE(rec.Errors()[0].find(out + "/Layer0.psd"), std::string::npos) << rec.Errors()[0];
    EXPECT_FALSE(FileExists(out + "/Layer0_mask.psd")) << "no mask file without its layer file";
}

TEST_F(Writer, WhateverHoldsANameStaysAsItIsAndTheNextNameIsTaken)
{
    // A folder, a link, a pipe and a file of an earlier repair at the names
    // of this run's outputs: none of them is changed or followed.
    Load(LayerSection({{0, 0, 1, 1, {{0, RawChannel({1})}, {-1, RawChannel({2})}}},
                       {0, 0, 1, 1, {{0, RawChannel({3})}}},
                       {0, 0, 1, 1, {{0, RawChannel({4})}}},
                       {0, 0, 1, 1, {{0, RawChannel({5})}}}}),
         dir / "out");
    const std::string elsewhere = dir / "elsewhere.psd";
    WriteFile(elsewhere, {1, 2, 3});
    WriteFile(out + "/Layer3.psd", {9, 9});
    ASSERT_EQ(::mkdir((out + "/Layer0.psd").c_str(), 0755), 0);
    ASSERT_EQ(::symlink(elsewhere.c_str(), (out + "/Layer1.psd").c_str()), 0);
    ASSERT_EQ(::mkfifo((out + "/Layer2.psd").c_str(), 0644), 0);
    RecoverAt0();
    EXPECT_TRUE(rec.Errors().empty());
    EXPECT_EQ(ReadFile(elsewhere), (Bytes{1, 2, 3}));
    EXPECT_EQ(ReadFile(out + "/Layer3.psd"), (Bytes{9, 9}));
    const struct {
        const char *taken, *used;
        uint8_t sample;
        const char *line;
    } cases[] = {
        {"Layer0.psd", "Layer0_2.psd", 1, " is not a plain file (a link, a folder, a pipe or a device): the output is named "},
        {"Layer1.psd", "Layer1_2.psd", 3, " is not a plain file (a link, a folder, a pipe or a device): the output is named "},
        {"Layer2.psd", "Layer2_2.psd", 4, " is not a plain file (a link, a folder, a pipe or a device): the output is named "},
        {"Layer3.psd", "Layer3_2.psd", 5, " already exists: the output is named "},
    };
    const auto msgs = rec.Messages();
    for (const auto &c : cases) {
        EXPECT_EQ(ParseRecovered(out + "/" + c.used).planes.at(0), Bytes{c.sample}) << c.taken;
        const Event line{MSG_STATUS, out + "/" + c.taken + c.line + out + "/" + c.used + " instead."};
        EXPECT_NE(std::find(msgs.begin(), msgs.end(), line), msgs.end()) << c.taken;
    }
    EXPECT_TRUE(FileExists(out + "/Layer0_2_mask.psd"));
}

TEST_F(Writer, ALaterSectionNeverReplacesAFileOfThisRun)
{
    const TestLayer first{0, 0, 1, 1, {{0, RawChannel({1})}, {-1, RawChannel({2})}}};
    const TestLayer second{0, 0, 1, 1, {{0, RawChannel({3})}, {-1, RawChannel({4})}}};
    PsdBuilder b;
    b.Append(LayerSection({first})).Append(LayerSection({second}));
    Load(b.Data());
    WriteFile(out + "/Layer1.psd", {9}); // left by an earlier run: replaced as usual
    RecoverAt0();
    At(LayerSection({first}).size());
    uint64_t length; uint32_t files;
    ASSERT_TRUE(R().RecoverLayerSection(length, files));
    EXPECT_EQ(ListDir(out), (std::vector<std::string>{"Layer0.psd", "Layer0_2.psd", "Layer0_2_mask.psd",
                                                      "Layer0_mask.psd", "Layer1.psd"}));
    EXPECT_EQ(ParseRecovered(out + "/Layer0.psd").planes[0], Bytes{1});
    EXPECT_EQ(ParseRecovered(out + "/Layer0_2.psd").planes[0], Bytes{3});
    EXPECT_EQ(ParseRecovered(out + "/Layer0_2_mask.psd").planes[0], Bytes{4});
}

TEST_F(Writer, DiskFullInsideASectionKeepsTheFilesFinishedBefore)
{
    Load(LayerSection({{0, 0, 10, 10, {{0, RawChannel(Pattern(100, 1))}}}, {0, 0, 10, 10, {{0, RawChannel(Pattern(100, 2))}}}}));
    FaultPlan plan;
    plan.writeBudget = 48 + 100; // the first file exactly
    FaultySys faulty(plan);
    At(0);
    uint64_t length; uint32_t files;
    try {
        R().RecoverLayerSection(length, files);
        FAIL() << "the full disk was not raised";
    } catch (const zelt::FileError &e) {
        EXPECT_EQ(e.Cause(), zelt::FileErrorCause::diskFull);
    }
    EXPECT_EQ(recovered, 1u) << "the finished file counts";
}

} // namespace
