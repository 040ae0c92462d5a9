// Layer sections: the plausibility tests, the layer records, channel data
// raw and run-length, and the PackBits row decoder.
#include <algorithm>
#include <functional>
#include <random>
#include <gtest/gtest.h>

#include "PackBits.h"
#include "RecovererFixture.h"

using namespace test;

namespace {

Bytes Rgb(uint32_t h, uint32_t w, uint32_t seed) { return Pattern(std::size_t(h) * w, seed); }

TEST(DecodePackBits, RunsLiteralsAndTheirCuts)
{
    struct Case {
        const char *name;
        Bytes in;
        std::size_t rowLength;
        Bytes out;
    } cases[] = {
        {"literal", {2, 'a', 'b', 'c'}, 3, {'a', 'b', 'c'}},
        {"repeat 0xFF writes 2", {0xFF, 7}, 2, {7, 7}},
        {"0x80 writes nothing", {0x80, 0x00, 9}, 1, {9}},
        {"repeat cut at row end", {0xFD, 5}, 2, {5, 5}},
        {"literal cut at row end", {3, 1, 2, 3, 4}, 2, {1, 2}},
        {"missing literal bytes are 0xFF", {4, 1, 2}, 5, {1, 2, 0xFF, 0xFF, 0xFF}},
        {"missing repeat value is 0xFF", {0xFE}, 3, {0xFF, 0xFF, 0xFF}},
        {"unreached bytes stay 0", {0xFF, 1}, 4, {1, 1, 0, 0}},
        {"empty input", {}, 3, {0, 0, 0}},
    };
    for (const Case &c : cases) {
        Bytes out(c.rowLength, 0);
        zelt::DecodePackBits(c.in.data(), c.in.size(), out.data(), c.rowLength);
        EXPECT_EQ(out, c.out) << c.name;
    }
    Bytes big(200, 0);
    const Bytes in{0x81, 3};
    zelt::DecodePackBits(in.data(), in.size(), big.data(), big.size());
    EXPECT_EQ(std::count(big.begin(), big.end(), 3), 128) << "0x81 writes 128";
}

class RleRow : public RecovererFixture {};

TEST_F(RleRow, EveryRowIsPackBitsAndCountsWhatCameFromTheSource)
{
    struct Case {
        const char *name;
        Bytes source;
        std::size_t rowLength;
        uint32_t stored;
        Bytes row;
        bool whole;
        uint64_t fromSource;
    } cases[] = {
        {"a row under 8 bytes is packed too", {0xFF, 9, 1, 2}, 4, 2, {9, 9, 0, 0}, true, 2},
        {"stored length 0 gives zeros from the source", {1, 2}, 3, 0, {0, 0, 0}, true, 3},
        {"a repeat run", {0xF9, 6}, 8, 2, Bytes(8, 6), true, 8},
        // 9 is a literal of 10 bytes, cut to the row: 1, then 0xFF for the
        // bytes the input does not have.
        {"input ending inside a literal", {9, 1}, 8, 5, {1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, false, 1},
        {"nothing left", {}, 8, 4, Bytes(8, 0), false, 0},
    };
    for (const Case &c : cases) {
        Load(c.source);
        Bytes row(c.rowLength, 0x55);
        std::vector<uint8_t> scratch;
        uint64_t from = 99;
        EXPECT_EQ(zelt::DecodeRleRow(*source, c.rowLength, c.stored, row.data(), scratch, &from), c.whole) << c.name;
        EXPECT_EQ(row, c.row) << c.name;
        EXPECT_EQ(from, c.fromSource) << c.name;
    }
}

class LayerSections : public RecovererFixture {
protected:
    bool Recover(uint64_t &length, uint32_t &files)
    {
        At(0);
        return R().RecoverLayerSection(length, files);
    }
};

TEST_F(LayerSections, ImplausibleLengthsAreNoSection)
{
    const std::pair<uint32_t, uint32_t> cases[] = {{0, 10}, {20, 0}, {20, 17}, {20, 21}, {0xFFFFFFFF, 0xFFFFFFFD}};
    for (const auto &[section, info] : cases) {
        PsdBuilder b;
        b.U32(section).U32(info).U16(1).Fill(200, 0);
        Load(b.Data());
        uint64_t length; uint32_t files;
        EXPECT_FALSE(Recover(length, files)) << section << " " << info;
    }
}

TEST_F(LayerSections, RecordFailuresRejectTheSection)
{
    auto sectionWith = [](const std::function<void(PsdBuilder &)> &records, int16_t count) {
        PsdBuilder info;
        info.I16(count);
        records(info);
        info.Fill(64, 0);
        PsdBuilder b;
        b.U32(uint32_t(info.Size() + 8)).Section(info.Data());
        return b.Data();
    };
    auto record = [](PsdBuilder &b, uint16_t channels, const char *blend) {
        b.I32(0).I32(0).I32(1).I32(1).U16(channels);
        for (uint16_t c = 0; c < channels; ++c)
            b.I16(int16_t(c)).U32(2);
        b.Str(blend).Str("norm").U32(0).U32(0);
    };
    struct Case {
        const char *name;
        Bytes bytes;
    } cases[] = {
        {"count 0", sectionWith([](PsdBuilder &) {}, 0)},
        {"25 channels", sectionWith([&](PsdBuilder &b) { record(b, 25, "8BIM"); }, 1)},
        {"no blend signature", sectionWith([&](PsdBuilder &b) { record(b, 1, "8BIX"); }, 1)},
        {"second record missing", sectionWith([&](PsdBuilder &b) { record(b, 1, "8BIM"); }, 2)},
    };
    for (const Case &c : cases) {
        Load(c.bytes);
        uint64_t length; uint32_t files;
        EXPECT_FALSE(Recover(length, files)) << c.name;
        EXPECT_TRUE(ListDir(out).empty()) << c.name;
    }
}

TEST_F(LayerSections, RecordsPastTheLayerInfoBoundFail)
{
    // The bound is the layer info length: a record that runs past it fails
    // even though the bytes are there.
    Bytes s = LayerSection({{0, 0, 1, 1, {{0, RawChannel({7})}}}});
    s[7] = 10; // layer info length 10: the record overruns
    Load(s);
    uint64_t length; uint32_t files;
    EXPECT_FALSE(Recover(length, files));
}

TEST_F(LayerSections, NegativeCountReadsItsAbsoluteValue)
{
    std::vector<TestLayer> layers;
    for (int i = 0; i < 3; ++i)
        layers.push_back({0, 0, 1, 2, {{0, RawChannel({uint8_t(i), 9})}}});
    Load(LayerSection(layers, -3));
    uint64_t length; uint32_t files;
    ASSERT_TRUE(Recover(length, files));
    EXPECT_EQ(files, 3u);
    EXPECT_EQ(recovered, 3u);
    EXPECT_EQ(ListDir(out), (std::vector<std::string>{"Layer0.psd", "Layer1.psd", "Layer2.psd"}));
    EXPECT_EQ(ParseRecovered(out + "/Layer2.psd").planes[0], (Bytes{2, 9}));
    EXPECT_EQ(length + 4, LayerSection(layers, -3).size());
}

TEST_F(LayerSections, OnlyLayersWithPixelsGetFilesAndIndicesKeepTheirGaps)
{
    Load(LayerSection({
        {0, 0, 2, 2, {{0, RawChannel({1, 2, 3, 4})}}},
        {5, 0, 2, 2, {{0, RawChannel({9, 9, 9, 9})}}}, // bottom < top
        {0, 0, 0, 0, {{0, RawChannel({})}, {-1, RawChannel({})}}}, // a group marker: empty bounds
        {0, 0, 1, 3, {{0, RawChannel({5, 6, 7})}}},
        {0, 0, 1, 1, {}}, // no channels: nothing of it in the file
    }));
    uint64_t length; uint32_t files;
    ASSERT_TRUE(Recover(length, files));
    EXPECT_EQ(files, 2u);
    EXPECT_EQ(ListDir(out), (std::vector<std::string>{"Layer0.psd", "Layer3.psd"}));
    EXPECT_EQ(ParseRecovered(out + "/Layer3.psd").planes[0], (Bytes{5, 6, 7}));
    EXPECT_EQ(rec.Messages(),
              (std::vector<Event>{{MSG_STATUS, "Read data of layer 0."},
                                  {MSG_FILE_WRITTEN, out + "/Layer0.psd"},
                                  {MSG_STATUS, "Layer 2 has no pixels (a group or an adjustment layer): no file written."},
                                  {MSG_STATUS, "Read data of layer 3."},
                                  {MSG_FILE_WRITTEN, out + "/Layer3.psd"},
                                  {MSG_STATUS, "Layer 4 has no pixel data left in the file: no file written."}}));
}

TEST_F(LayerSections, RawAndRunLengthChannels)
{
    const uint32_t h = 5, w = 11;
    const Bytes r = Rgb(h, w, 1), g = Rgb(h, w, 2), b = Rgb(h, w, 3), a = Rgb(h, w, 4);
    Load(LayerSection({{10, 20, 10 + int32_t(h), 20 + int32_t(w),
                        {{-1, RleChannel(a, h, w)}, {0, RawChannel(r)}, {1, RleChannel(g, h, w)}, {2, RawChannel(b)}}}}));
    uint64_t length; uint32_t files;
    ASSERT_TRUE(Recover(length, files));
    PsdImage img = ParseRecovered(out + "/Layer0.psd");
    ASSERT_EQ(img.planes.size(), 4u);
    EXPECT_EQ(img.planes[0], r);
    EXPECT_EQ(img.planes[1], g);
    EXPECT_EQ(img.planes[2], b);
    EXPECT_EQ(img.planes[3], a);
    PsdImage mask = ParseRecovered(out + "/Layer0_mask.psd");
    EXPECT_EQ(mask.mode, 3);
    ASSERT_EQ(mask.planes.size(), 3u);
    for (const Bytes &plane : mask.planes)
        EXPECT_EQ(plane, a);
}

TEST_F(LayerSections, SmallChannelsAndUnknownCompression)
{
    // A channel is read whenever there is data after its compression field:
    // a raw layer one pixel wide has fewer bytes than 2 x height. A channel
    // of an unknown compression is 0xFF, and a layer of nothing but such
    // channels has no pixel data.
    Load(LayerSection({{0, 0, 3, 1, {{0, RawChannel({5, 6, 7})}, {1, {0, 0}}, {2, {0, 4, 9, 9, 9}}}},
                       {0, 0, 1, 4, {{0, {0, 4, 9, 9, 9, 9}}}}}));
    uint64_t length; uint32_t files;
    ASSERT_TRUE(Recover(length, files));
    PsdImage img = ParseRecovered(out + "/Layer0.psd");
    EXPECT_EQ(img.planes, (std::vector<Bytes>{{5, 6, 7}, Bytes(3, 0xFF), Bytes(3, 0xFF)}));
    EXPECT_FALSE(FileExists(out + "/Layer1.psd"));
}

TEST_F(LayerSections, MasksAreReadAtTheirOwnRectangleAndPlacedInTheLayer)
{
    // A 2 x 4 layer at (10, 20). Its layer mask (-2) is decoded at the
    // mask's rectangle, then written at the layer's size: placed where it
    // lies, the default colour around it.
    struct Case {
        const char *name;
        bool withRect;
        TestMask mask;
        Bytes stored; // the mask channel's samples
        Bytes plane;  // what the layer file holds for it
    } cases[] = {
        {"inside the layer", true, {10, 21, 11, 23, 0}, {7, 8}, {0, 7, 8, 0, 0, 0, 0, 0}},
        {"reaching outside", true, {11, 22, 13, 25, 255}, {1, 2, 3, 4, 5, 6}, {255, 255, 255, 255, 255, 255, 1, 2}},
        {"an empty rectangle: the default colour", true, {10, 20, 10, 20, 255}, {}, Bytes(8, 255)},
        {"no rectangle: 0xFF", false, {0, 0, 0, 0, 0}, {9}, Bytes(8, 0xFF)},
    };
    for (const Case &c : cases) {
        const Bytes colour = Pattern(8, 3);
        TestLayer layer{10, 20, 12, 24, {{-2, RawChannel(c.stored)}, {0, RawChannel(colour)}},
                        LayerExtra("l", c.withRect ? &c.mask : nullptr)};
        Load(LayerSection({layer}));
        uint64_t length; uint32_t files;
        ASSERT_TRUE(Recover(length, files)) << c.name;
        PsdImage img = ParseRecovered(out + "/Layer0.psd");
        ASSERT_EQ(img.planes.size(), 2u) << c.name;
        EXPECT_EQ(img.planes[0], colour) << c.name << ": the stored length puts the next channel at its start";
        EXPECT_EQ(img.planes[1], c.plane) << c.name;
        EXPECT_FALSE(FileExists(out + "/Layer0_mask.psd")) << "a layer mask alone makes no mask file";
    }
}

TEST_F(LayerSections, SourceCutInsideChannelDataWritesWhatIsLeftAtFullSize)
{
    const Bytes full = LayerSection({
        {0, 0, 3, 3, {{0, RawChannel(Rgb(3, 3, 7))}, {1, RawChannel(Rgb(3, 3, 8))}}},
        {0, 0, 2, 2, {{0, RawChannel(Rgb(2, 2, 9))}}},
    });
    // The cut leaves 3 samples of the first layer's second channel.
    Bytes cut(full.begin(), full.end() - 16);
    Load(cut);
    uint64_t length; uint32_t files;
    ASSERT_TRUE(Recover(length, files));
    EXPECT_EQ(files, 1u);
    PsdImage first = ParseRecovered(out + "/Layer0.psd");
    EXPECT_EQ(first.planes[0], Rgb(3, 3, 7));
    const Bytes second = Rgb(3, 3, 8);
    EXPECT_EQ(first.planes[1], (Bytes{second[0], second[1], second[2], 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_FALSE(FileExists(out + "/Layer1.psd")) << "nothing of the second layer is left";
}

TEST_F(LayerSections, RunLengthRowsStopAtTheFirstBadRow)
{
    // Row 0 decodes; row 1's stored bytes run past the end of the source.
    // Row 1 claims 40 stored bytes; the source ends 5 bytes on (its own 0x05
    // and the global mask length 0): a literal of 6 with 4 bytes behind it.
    PsdBuilder ch;
    ch.U16(1).U16(2).U16(40).U16(2).U8(0xF9).U8(3).U8(5);
    Load(LayerSection({{0, 0, 3, 8, {{0, ch.Data()}}}}));
    uint64_t length; uint32_t files;
    ASSERT_TRUE(Recover(length, files));
    Bytes plane = ParseRecovered(out + "/Layer0.psd").planes[0];
    EXPECT_EQ(Bytes(plane.begin(), plane.begin() + 8), Bytes(8, 3));
    EXPECT_EQ(Bytes(plane.begin() + 8, plane.begin() + 16), (Bytes{0, 0, 0, 0, 0xFF, 0xFF, 0, 0}));
    EXPECT_EQ(Bytes(plane.begin() + 16, plane.end()), Bytes(8, 0xFF)) << "row 2 is not decoded";
}

TEST_F(LayerSections, DepthComesFromTheCurrentProperties)
{
    Load(LayerSection({{0, 0, 1, 2, {{0, RawChannel({1, 2, 3, 4})}}}}));
    R().SetProperties({1, 1, 1, 16, 1});
    uint64_t length; uint32_t files;
    ASSERT_TRUE(Recover(length, files));
    PsdImage img = ParseRecovered(out + "/Layer0.psd");
    EXPECT_EQ(img.depth, 16);
    EXPECT_EQ(img.mode, 1);
    EXPECT_EQ(img.planes[0], (Bytes{1, 2, 3, 4})) << "16-bit samples keep the source's byte order";
}

TEST_F(LayerSections, HugeLayerIsSkippedWithoutBeingHeld)
{
    // 300000 x 300000 at 32 bits is far beyond any memory budget: it is
    // passed over like a layer with bad bounds, and the next layer is written.
    Load(LayerSection({{0, 0, 300000, 300000, {{0, RawChannel({1})}}}, {0, 0, 1, 1, {{0, RawChannel({6})}}}}));
    R().SetProperties({3, 1, 1, 32, 3});
    uint64_t length; uint32_t files;
    ASSERT_TRUE(Recover(length, files));
    EXPECT_EQ(ListDir(out), std::vector<std::string>{"Layer1.psd"});
    R().SetMemoryBudget(3);
    R().SetProperties({3, 1, 1, 8, 3});
    ASSERT_TRUE(Recover(length, files));
    EXPECT_EQ(files, 1u) << "a layer over the budget is skipped";
}

} // namespace

namespace {

// A regression: an empty layer (0 x 0) has no samples at all, and nothing
// may be filled into them.
TEST(LayerSectionRegression, EmptyLayersWithRawAndRunLengthChannels)
{
    TempDir dir;
    WriteFile(dir / "e.psd", LayerSection({{0, 0, 0, 0, {{-1, {0, 0}}, {0, {0, 1}}, {1, {0, 0, 9}}}},
                                           {0, 0, 1, 1, {{0, RawChannel({3})}}}}));
    CallbackRecorder rec;
    ASSERT_EQ(Recover(dir / "e.psd", MakeDir(dir / "out"), &rec), 1);
    EXPECT_FALSE(FileExists(dir / "out/Layer0.psd"));
    EXPECT_EQ(ParseRecovered(dir / "out/Layer1.psd").planes.at(0), Bytes{3});
}

} // namespace

namespace {

// The rules of a PackBits row written out plainly, byte by byte.
std::size_t ReferencePackBits(const Bytes &in, Bytes &out)
{
    std::size_t i = 0, o = 0;
    const std::size_t n = in.size(), rowLength = out.size();
    while (i < n && o < rowLength) {
        const uint8_t h = in[i];
        if (h < 0x80) {
            std::size_t run = std::min<std::size_t>(h + 1u, rowLength - o);
            for (std::size_t j = 0; j < run; ++j)
                out[o + j] = i + 1 + j < n ? in[i + 1 + j] : 0xFF;
            o += run;
            i += run + 1;
        } else if (h == 0x80) {
            i += 1;
        } else {
            std::size_t run = std::min<std::size_t>(257u - h, rowLength - o);
            for (std::size_t j = 0; j < run; ++j)
                out[o + j] = i + 1 < n ? in[i + 1] : 0xFF;
            o += run;
            i += 2;
        }
    }
    return o;
}

TEST(DecodePackBits, AgreesWithThePlainRulesOnRandomRows)
{
    std::mt19937 rng(11);
    for (int round = 0; round < 20000; ++round) {
        Bytes in(rng() % 300);
        for (uint8_t &b : in) // short runs mostly, like photographs
            b = rng() % 4 == 0 ? uint8_t(rng()) : uint8_t(rng() % 2 ? rng() % 20 : 256 - rng() % 20);
        const std::size_t rowLength = rng() % 300;
        Bytes want(rowLength, 0x55), got(rowLength, 0x55);
        const std::size_t reached = ReferencePackBits(in, want);
        const std::size_t produced = zelt::DecodePackBits(in.data(), in.size(), got.data(), rowLength);
        ASSERT_EQ(produced, reached) << round;
        // Bytes past what the runs reached are the caller's to zero.
        ASSERT_EQ(Bytes(got.begin(), got.begin() + long(reached)), Bytes(want.begin(), want.begin() + long(reached)))
            << round;
    }
}

} // namespace

namespace {

TEST(FalseSections, ASectionInFillerHidesNoFileBehindIt)
{
    // Disk-image filler holds bytes that pass as a layer section whose
    // lengths reach far into the real file behind it. Whether its one layer
    // gets a file (its pixels are there) or not, the real file's header and
    // layers are all read.
    const Bytes r = Pattern(12, 1), g = Pattern(12, 2), b = Pattern(12, 3);
    const Bytes file = PsdFile(3, 3, 4, 8, 3,
                               {{0, 0, 3, 4, {{0, RawChannel(r)}, {1, RawChannel(g)}, {2, RawChannel(b)}}, LayerExtra("real")}},
                               Pattern(36, 4));
    for (const bool falseLayerHasPixels : {true, false}) {
        SCOPED_TRACE(falseLayerHasPixels ? "the false layer is written" : "the false layer has no data");
        PsdBuilder filler;
        filler.Append(Pattern(100, 9));
        const uint32_t info = 1u << 20; // reaches past the real file
        filler.U32(info + 8).U32(info).U16(1).I32(0).I32(0).I32(1).I32(1).U16(1).I16(0)
            .U32(falseLayerHasPixels ? 3 : 0).Str("8BIMnorm").U8(255).U8(0).U8(0).U8(0).U32(0);
        if (falseLayerHasPixels)
            filler.U16(0).U8(42);
        filler.Append(Pattern(300, 8));
        TempDir dir;
        WriteFile(dir / "card.img", filler.Append(file).Data());
        CallbackRecorder rec;
        const RepairOptions o = MakeOptions(3, 3, 4, 8, 3, ZELT_RECOVER_HEURISTIC);
        ASSERT_EQ(Recover(dir / "card.img", MakeDir(dir / "out"), &rec, &o), 1);
        bool realLayer = false;
        for (const std::string &name : FilesWithPrefix(dir / "out", "Layer0"))
            realLayer |= ParseRecovered(dir / "out" / name).planes == std::vector<Bytes>{r, g, b};
        EXPECT_TRUE(realLayer) << "the real file's layer comes back";
        EXPECT_EQ(FilesWithPrefix(dir / "out", "card_").size(), 1u) << "and its merged image";
    }
}

} // namespace
