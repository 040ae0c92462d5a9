// What real files hold: ZIP channels with and without prediction, layers in
// Lr16/Lr32 blocks, colour data of 32-bit documents, 1-bit pictures.
#include <algorithm>
#include <gtest/gtest.h>

#include "EngineHarness.h"
#include "RecovererFixture.h"

using namespace test;

namespace {

class Fidelity : public RecovererFixture {
protected:
    bool RecoverAt0()
    {
        At(0);
        uint64_t length;
        uint32_t files;
        return R().RecoverLayerSection(length, files);
    }
};

TEST_F(Fidelity, ZipChannelsAtEveryDepthWholeAndCutKeepWhatInflates)
{
    // The streams are stored (level 0), so that a cut after k bytes of data
    // inflates exactly k bytes: prediction is then undone for whole samples
    // at 16 bits and whole rows at 32.
    const uint32_t h = 3, w = 5;
    for (uint16_t compression : {2, 3}) {
        for (uint16_t depth : {8, 16, 32}) {
            const std::string label = "compression " + std::to_string(compression) + ", depth " + std::to_string(depth);
            const std::size_t row = std::size_t(w) * (depth / 8);
            const Bytes plane = Pattern(h * row, depth + compression);
            const Bytes stored = compression == 2 ? ZipChannel(plane, 0) : ZipPredictedChannel(plane, w, depth, 0);
            const Bytes section = LayerSection({{0, 0, int32_t(h), int32_t(w), {{0, stored}}}});

            Load(section);
            R().SetProperties({1, h, w, depth, 1});
            ASSERT_TRUE(RecoverAt0()) << label;
            EXPECT_EQ(ParseRecovered(out + "/Layer0.psd").planes.at(0), plane) << label;

            const std::size_t k = 2 * row + 3;
            const std::size_t streamAt = section.size() - 4 - stored.size() + 2;
            Load(Bytes(section.begin(), section.begin() + long(streamAt + 2 + 5 + k)), dir / ("cut" + label));
            R().SetProperties({1, h, w, depth, 1});
            ASSERT_TRUE(RecoverAt0()) << label;
            const std::size_t kept = compression == 2 || depth == 8 ? k : depth == 16 ? k / 2 * 2 : k / row * row;
            Bytes want(plane.begin(), plane.begin() + long(kept));
            want.resize(plane.size(), 0xFF);
            EXPECT_EQ(ParseRecovered(out + "/Layer0.psd").planes.at(0), want) << label << ", cut";
        }
    }
}

// A 16-bit document as Photoshop writes it: the main layer info empty, the
// layers in an Lr16 block behind another tagged block, the merged image
// behind the section.
TEST(Fidelity16, LayersInAnLr16BlockAreReadOnceAtDepth16)
{
    TempDir dir;
    const Bytes colour = Pattern(2 * 3 * 2, 1), alpha = Pattern(2 * 3 * 2, 2), tiny = Pattern(4, 3);
    const Bytes body = LayerInfoBody({{0, 0, 2, 3, {{0, ZipPredictedChannel(colour, 3, 16)}, {-1, RawChannel(alpha)}}},
                                      {1, 1, 2, 3, {{0, RleChannel(tiny, 1, 4)}}}}, // a 2-pixel run-length row
                                     2);
    PsdBuilder content;
    content.U32(0).U32(0).Append(TaggedBlock("Mt16", {})).Str("8BIM").Str("Lr16").Section(body);
    while (content.Size() % 4)
        content.U8(0);
    const Bytes merged = Pattern(2 * 3 * 2, 4);
    PsdBuilder file;
    file.Header(1, 2, 3, 16, 1).U32(0).U32(0).Section(content.Data()).U16(0).Append(merged);
    WriteFile(dir / "deep.psd", file.Data());
    CallbackRecorder rec;
    ASSERT_EQ(Recover(dir / "deep.psd", MakeDir(dir / "out"), &rec), 1);
    EXPECT_EQ(ListDir(dir / "out"), (std::vector<std::string>{"Layer0.psd", "Layer0_mask.psd", "Layer1.psd", "deep_1.psd"}))
        << "the block is not read again by itself, nor at its key";
    PsdImage layer = ParseRecovered(dir / "out/Layer0.psd");
    EXPECT_EQ(layer.depth, 16);
    EXPECT_EQ(layer.planes, (std::vector<Bytes>{colour, alpha}));
    EXPECT_EQ(ParseRecovered(dir / "out/Layer1.psd").planes.at(0), tiny);
    EXPECT_EQ(ParseRecovered(dir / "out/deep_1.psd").planes.at(0), merged);
}

TEST(Fidelity32, AnLr32BlockWithoutItsSectionIsReadAtDepth32WithoutAMergedImage)
{
    TempDir dir;
    const Bytes colour = Pattern(2 * 2 * 4, 5);
    PsdBuilder b;
    b.Append(Pattern(100, 9)).Str("8BIM").Str("Lr32").Section(LayerInfoBody({{0, 0, 2, 2, {{0, ZipPredictedChannel(colour, 2, 32)}}}}, 1));
    b.Append(Pattern(50, 8));
    WriteFile(dir / "block.psd", b.Data());
    CallbackRecorder rec;
    RepairOptions o = MakeOptions(1, 2, 2, 8, 1, 0);
    ASSERT_EQ(Recover(dir / "block.psd", MakeDir(dir / "out"), &rec, &o), 1);
    PsdImage layer = ParseRecovered(dir / "out/Layer0.psd");
    EXPECT_EQ(layer.depth, 32) << "the key states the depth";
    EXPECT_EQ(layer.planes.at(0), colour);
    EXPECT_EQ(rec.Count(MSG_STATUS), 1) << "only the layer's line: no merged image is asked for";
}

TEST(FidelityHeaders, ColourDataOf32BitRgbAndPackedBitmapPictures)
{
    struct Case {
        const char *name;
        uint16_t channels, depth, mode;
        uint32_t height, width;
        std::size_t colourData, plane;
    } cases[] = {
        {"32-bit RGB with 112 bytes of colour data", 3, 32, 3, 2, 3, 112, 2 * 3 * 4},
        {"a bitmap 13 pixels wide: rows of 2 bytes", 1, 1, 0, 2, 13, 0, 2 * 2},
    };
    for (const Case &c : cases) {
        TempDir dir;
        Bytes planes;
        for (uint16_t k = 0; k < c.channels; ++k) {
            const Bytes p = Pattern(c.plane, k + 1u);
            planes.insert(planes.end(), p.begin(), p.end());
        }
        PsdBuilder b;
        b.Header(c.channels, c.height, c.width, c.depth, c.mode).Section(Pattern(c.colourData, 7)).U32(0).U32(0).U16(0).Append(planes);
        WriteFile(dir / "p.psd", b.Data());
        ASSERT_EQ(Recover(dir / "p.psd", MakeDir(dir / "out"), nullptr), 1) << c.name;
        PsdImage img = ParseRecovered(dir / "out" / ListDir(dir / "out").at(0));
        ASSERT_EQ(img.planes.size(), c.channels) << c.name;
        EXPECT_EQ(img.planes.back(), Pattern(c.plane, c.channels)) << c.name;
        EXPECT_EQ(img.depth, c.depth) << c.name;
    }
}

} // namespace
