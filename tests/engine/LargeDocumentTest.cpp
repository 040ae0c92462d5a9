// Large documents: read in their wider layout with or without a header, and
// what does not fit a document written as one.
#include <gtest/gtest.h>

#include "EngineHarness.h"

using namespace test;

namespace {

PsdBuilder &LargeHeader(PsdBuilder &b, uint16_t channels, uint32_t h, uint32_t w, uint16_t depth, uint16_t mode)
{
    return b.Str("8BPS").U16(2).Fill(6, 0).U16(channels).U32(h).U32(w).U16(depth).U16(mode);
}

TEST(LargeDocument, LayersAndMergedImageComeBackWithAndWithoutTheHeader)
{
    const uint32_t h = 3, w = 5;
    const Bytes colour = Pattern(h * w, 1), alpha = Pattern(h * w, 2), merged = Pattern(h * w, 3);
    PsdBuilder b;
    LargeHeader(b, 1, h, w, 8, 1).U32(0).U32(0);
    b.Append(LayerSection({{0, 0, int32_t(h), int32_t(w), {{0, RleChannel(colour, h, w, true)}, {-1, RawChannel(alpha)}}}}, 1, true));
    b.U16(1).Append(RleRows(merged, h, w, true));
    const Bytes intact = b.Data();
    Bytes lost = intact;
    std::fill(lost.begin(), lost.begin() + 26, 0);
    for (const auto &[name, bytes] : {std::make_pair("intact", intact), std::make_pair("header lost", lost)}) {
        TempDir dir;
        WriteFile(dir / "big.psb", bytes);
        CallbackRecorder rec;
        const RepairOptions o = MakeOptions(1, h, w, 8, 1, 0);
        ASSERT_EQ(Recover(dir / "big.psb", MakeDir(dir / "out"), &rec, &o), 1) << name;
        EXPECT_EQ(ParseRecovered(dir / "out/Layer0.psd").planes, (std::vector<Bytes>{colour, alpha})) << name;
        const auto mergedFile = FilesWithPrefix(dir / "out", "big_");
        ASSERT_EQ(mergedFile.size(), 1u) << name;
        EXPECT_EQ(mergedFile[0].substr(mergedFile[0].size() - 4), ".psd") << "small enough for a document";
        EXPECT_EQ(ParseRecovered(dir / "out" / mergedFile[0]).planes.at(0), merged) << name;
        EXPECT_TRUE(rec.Errors().empty()) << name;
    }
}

TEST(LargeDocument, An8B64BlockOfLayersWithItsWideLength)
{
    const Bytes colour = Pattern(2 * 2 * 2, 4);
    const Bytes body = LayerInfoBody({{0, 0, 2, 2, {{0, RawChannel(colour)}}}}, 1, true);
    PsdBuilder content;
    content.U32(0).U32(0).U32(0).Str("8B64").Str("Lr16").U32(0).U32(uint32_t(body.size())).Append(body);
    PsdBuilder b;
    LargeHeader(b, 1, 2, 2, 16, 1).U32(0).U32(0).U32(0).Section(content.Data()).U16(0).Append(Pattern(8, 5));
    TempDir dir;
    WriteFile(dir / "deep.psb", b.Data());
    ASSERT_EQ(Recover(dir / "deep.psb", MakeDir(dir / "out"), nullptr), 1);
    const PsdImage layer = ParseRecovered(dir / "out/Layer0.psd");
    EXPECT_EQ(layer.depth, 16);
    EXPECT_EQ(layer.planes.at(0), colour);
    EXPECT_EQ(ListDir(dir / "out").size(), 2u) << "the layer and the merged image, each once";
}

TEST(LargeDocument, WhatIsWiderThanADocumentIsWrittenLarge)
{
    const uint32_t w = 30001;
    const Bytes colour = Pattern(w, 6), alpha = Pattern(w, 7);
    PsdBuilder b;
    b.Header(1, 1, w, 8, 1).U32(0).U32(0);
    b.Append(LayerSection({{0, 0, 1, int32_t(w), {{0, RawChannel(colour)}, {-1, RawChannel(alpha)}}}}));
    b.U16(0).Append(Pattern(w, 8));
    TempDir dir;
    WriteFile(dir / "wide.psd", b.Data());
    const RepairOptions o = MakeOptions(1, 1, 1, 8, 1, ZELT_RECOVER_REBUILD);
    ASSERT_EQ(Recover(dir / "wide.psd", MakeDir(dir / "out"), nullptr, &o), 1);
    const std::vector<std::string> names = ListDir(dir / "out");
    const auto merged = FilesWithPrefix(dir / "out", "wide_");
    EXPECT_EQ(names, (std::vector<std::string>{"Layer0.psb", "Layer0_mask.psb", merged.at(0), "wide_rebuilt.psb"}));
    EXPECT_EQ(merged.at(0).substr(merged[0].size() - 4), ".psb");
    const PsdImage layer = ParseRecovered(dir / "out/Layer0.psb");
    EXPECT_EQ(layer.version, 2);
    EXPECT_EQ(layer.planes, (std::vector<Bytes>{colour, alpha}));
    EXPECT_EQ(ParseRecovered(dir / "out/Layer0_mask.psb").planes.at(0), alpha);
    EXPECT_EQ(ParseRecovered(dir / "out" / merged[0]).planes.at(0), Pattern(w, 8));
    const Bytes doc = ReadFile(dir / "out/wide_rebuilt.psb");
    ASSERT_GT(doc.size(), 26u);
    EXPECT_EQ(doc[5], 2) << "the rebuilt document is large too";
}

} // namespace
