// The rebuilt document: every record as stored, channels uncompressed at
// their own sizes, the merged image or a composite, and what each layer lost.
#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>

#include "EngineHarness.h"

using namespace test;

namespace {

const RepairOptions kRebuild = MakeOptions(3, 4, 6, 8, 3, ZELT_RECOVER_REBUILD);

Bytes operator+(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const char kLabel[] = "8BIMlclr", kDivider[] = "8BIMlsct";
Bytes GroupBlock(uint32_t type) { return TaggedBlock("lsct", {0, 0, 0, uint8_t(type)}); }

// A document of 4 x 6: a group (its end marker, a hidden masked layer, its
// folder record) under a half-transparent multiplied layer.
struct Layered {
    Bytes sky = Pattern(4 * 6, 1), skyAlpha = Pattern(4 * 6, 2), sun = Pattern(2 * 2, 3), mask = Pattern(1 * 2, 4);
    Bytes merged = Pattern(3 * 4 * 6, 5);
    Bytes resources = [] {
        PsdBuilder r;
        r.Str("8BIM").U16(1005).U16(0).U32(16).U32(0x00480000).U16(1).U16(1).U32(0x00480000).U16(1).U16(1);
        return r.Data();
    }();
    std::vector<TestLayer> Layers() const
    {
        const TestMask m{1, 2, 2, 4, 255};
        TestLayer end{0, 0, 0, 0, {{0, RawChannel({})}}, LayerExtra("</Layer group>", nullptr, GroupBlock(3))};
        TestLayer sunLayer{1, 2, 3, 4, {{0, RawChannel(sun)}, {1, RawChannel(sun)}, {2, RawChannel(sun)}, {-2, RawChannel(mask)}},
                           LayerExtra("Sun", &m, UnicodeNameBlock("Sun"))};
        sunLayer.flags = 2; // hidden
        TestLayer folder{0, 0, 0, 0, {}, LayerExtra("Group 1", nullptr, UnicodeNameBlock("Group 1") + GroupBlock(1))};
        TestLayer skyLayer{0, 0, 4, 6,
                           {{-1, RawChannel(skyAlpha)}, {0, RleChannel(sky, 4, 6)}, {1, RawChannel(sky)}, {2, RawChannel(sky)}},
                           LayerExtra("Sky", nullptr, UnicodeNameBlock("Sky"))};
        skyLayer.blendKey = "mul ";
        skyLayer.opacity = 128;
        return {end, sunLayer, folder, skyLayer};
    }
    Bytes File() const
    {
        PsdBuilder b;
        b.Header(3, 4, 6, 8, 3).U32(0).Section(resources).Append(LayerSection(Layers())).U16(0).Append(merged);
        return b.Data();
    }
};

TEST(RebuiltDocument, EveryRecordAsStoredWithItsChannelsAndTheMergedImage)
{
    TempDir dir;
    Layered l;
    WriteFile(dir / "doc.psd", l.File());
    CallbackRecorder rec;
    ASSERT_EQ(Recover(dir / "doc.psd", MakeDir(dir / "out"), &rec, &kRebuild), 1);
    const PsdDocument doc = ParseDocument(dir / "out/doc_rebuilt.psd");
    EXPECT_EQ(doc.resources, l.resources) << "the image resources are copied";
    ASSERT_EQ(doc.layers.size(), 4u);
    const std::vector<TestLayer> stored = l.Layers();
    for (std::size_t i = 0; i < stored.size(); ++i) {
        const DocLayer &got = doc.layers[i];
        EXPECT_EQ(std::vector<int32_t>({got.top, got.left, got.bottom, got.right}),
                  std::vector<int32_t>({stored[i].top, stored[i].left, stored[i].bottom, stored[i].right}));
        EXPECT_EQ(got.blendKey, stored[i].blendKey);
        EXPECT_EQ(got.opacity, stored[i].opacity);
        EXPECT_EQ(got.flags, stored[i].flags);
        EXPECT_EQ(got.extra, stored[i].extra) << "the extra data as stored: names, groups, the mask";
    }
    // Channels uncompressed at their own sizes: the mask at its rectangle.
    const DocLayer &sun = doc.layers[1];
    EXPECT_EQ(sun.channels, (std::vector<std::pair<int16_t, uint32_t>>{{0, 6}, {1, 6}, {2, 6}, {-2, 4}}));
    EXPECT_EQ(sun.planes, (std::vector<Bytes>{l.sun, l.sun, l.sun, l.mask}));
    EXPECT_EQ(doc.layers[3].planes, (std::vector<Bytes>{l.skyAlpha, l.sky, l.sky, l.sky}));
    EXPECT_EQ(doc.layers[0].channels, (std::vector<std::pair<int16_t, uint32_t>>{{0, 2}})) << "a group marker is a record";
    Bytes merged;
    for (const Bytes &p : doc.image.planes)
        merged = merged + p;
    EXPECT_EQ(merged, l.merged) << "the recovered merged image";
    // A line for every layer with pixels, after its files; a group marker
    // has its one line, that it has no pixels.
    const auto msgs = rec.Messages();
    for (const std::string &line :
         {std::string("Layer 1 \"Sun\" (2 x 2): 2 of 2 rows read; 0 filled with white; 0 damaged."),
          std::string("Layer 3 \"Sky\" (6 x 4): 4 of 4 rows read; 0 filled with white; 0 damaged.")})
        EXPECT_NE(std::find(msgs.begin(), msgs.end(), Event{MSG_STATUS, line}), msgs.end()) << line;
    EXPECT_EQ(std::count_if(msgs.begin(), msgs.end(), [](const Event &e) { return e.text.rfind("Layer 0 ", 0) == 0; }), 1);
    EXPECT_EQ(rec.Written().back(), dir / "out/doc_rebuilt.psd");

    // The flag left 0: exactly the files and messages without the document.
    CallbackRecorder plain;
    const RepairOptions off = MakeOptions(3, 4, 6, 8, 3, 0);
    ASSERT_EQ(Recover(dir / "doc.psd", MakeDir(dir / "off"), &plain, &off), 1);
    std::vector<Event> expected;
    for (const Event &e : msgs) {
        if (e.text.find("rows read") != std::string::npos || e.text.find("_rebuilt") != std::string::npos)
            continue;
        Event copy = e;
        const std::size_t at = copy.text.find("/out/");
        if (at != std::string::npos)
            copy.text.replace(at, 5, "/off/");
        expected.push_back(copy);
    }
    auto plainMsgs = plain.Messages();
    for (Event &e : plainMsgs) // merged images are numbered on across runs
        if (e.text.find("/off/doc_") != std::string::npos)
            e.text = dir / "off/doc_N.psd";
    for (Event &e : expected)
        if (e.text.find("/off/doc_") != std::string::npos)
            e.text = dir / "off/doc_N.psd";
    EXPECT_EQ(plainMsgs, expected);
}

TEST(RebuiltDocument, WithoutAMergedImageTheVisibleLayersAreCompositedOverWhite)
{
    // Two half-transparent 1 x 2 layers and a hidden one, no merged image
    // behind them: normal blending over white, with transparency and
    // opacity; the hidden layer is left out.
    const Bytes red{200, 200}, zero{0, 0};
    TestLayer bottom{0, 0, 1, 2, {{0, RawChannel(red)}, {1, RawChannel(zero)}, {2, RawChannel(zero)}, {-1, RawChannel({255, 0})}}};
    bottom.opacity = 128;
    TestLayer top{0, 1, 1, 2, {{0, RawChannel({0})}, {1, RawChannel({0})}, {2, RawChannel({100})}, {-1, RawChannel({128})}}};
    TestLayer hidden{0, 0, 1, 2, {{0, RawChannel(zero)}, {1, RawChannel(zero)}, {2, RawChannel(zero)}}};
    hidden.flags = 2;
    TempDir dir;
    WriteFile(dir / "c.psd", LayerSection({bottom, top, hidden}));
    const RepairOptions o = MakeOptions(3, 1, 2, 8, 3, ZELT_RECOVER_REBUILD);
    ASSERT_EQ(Recover(dir / "c.psd", MakeDir(dir / "out"), nullptr, &o), 1);
    const PsdDocument doc = ParseDocument(dir / "out/c_rebuilt.psd");
    ASSERT_EQ(doc.image.planes.size(), 3u);
    // Pixel 0: bottom at a = 128/255 over white; pixel 1: bottom fully
    // transparent, then top at a = 128/255.
    auto over = [](double dst, double src, double a) { return uint8_t(std::lround(dst + (src - dst) * a)); };
    const double half = 128.0 / 255;
    EXPECT_EQ(doc.image.planes[0], (Bytes{over(255, 200, half), over(255, 0, half)}));
    EXPECT_EQ(doc.image.planes[1], (Bytes{over(255, 0, half), over(255, 0, half)}));
    EXPECT_EQ(doc.image.planes[2], (Bytes{over(255, 0, half), over(255, 100, half)}));
}

TEST(RebuiltDocument, ALayerCutByTheDamageIsMarkedAndCounted)
{
    TempDir dir;
    Layered l;
    const Bytes file = l.File();
    // The cut falls inside the sky's last channel: 10 of its 24 samples left.
    const std::size_t cut = file.size() - l.merged.size() - 2 - 4 - 14;
    WriteFile(dir / "cut.psd", Bytes(file.begin(), file.begin() + long(cut)));
    CallbackRecorder rec;
    ASSERT_EQ(Recover(dir / "cut.psd", MakeDir(dir / "out"), &rec, &kRebuild), 1);
    const PsdDocument doc = ParseDocument(dir / "out/cut_rebuilt.psd");
    ASSERT_EQ(doc.layers.size(), 4u);
    EXPECT_EQ(doc.layers[3].name, "Sky (damaged)");
    EXPECT_EQ(doc.layers[3].unicodeName, "Sky (damaged)");
    EXPECT_EQ(doc.layers[1].name, "Sun") << "a layer read whole keeps its name";
    Bytes part(l.sky.begin(), l.sky.begin() + 10);
    part.resize(l.sky.size(), 0xFF);
    EXPECT_EQ(doc.layers[3].planes.back(), part);
    const auto msgs = rec.Messages();
    EXPECT_NE(std::find(msgs.begin(), msgs.end(),
                        Event{MSG_STATUS, "Layer 3 \"Sky\" (6 x 4): 1 of 4 rows read; 2 filled with white; 1 damaged."}),
              msgs.end());
}

TEST(RebuiltDocument, DamageOtherReadersRefuseIsLeftOutAndMarked)
{
    // A flipped bit in a channel id, a colour label no writer gives, a group
    // whose end was lost and a damaged path resource: each makes readers
    // refuse the whole document.
    TempDir dir;
    Layered l;
    std::vector<TestLayer> layers = l.Layers();
    TestLayer &sky = layers[3];
    sky.channels[2].id = int16_t(0x8001);
    const TestMask inverted{3, 2, 1, 4, 255};
    layers[1].extra = LayerExtra("Sun", &inverted, UnicodeNameBlock("Sun"));
    sky.extra = LayerExtra("Sky", nullptr, UnicodeNameBlock("Sky") + TaggedBlock("lclr", {0, 8, 0, 0, 0, 0, 0, 0}));
    layers.erase(layers.begin()); // the group's end
    PsdBuilder path;
    path.Str("8BIM").U16(2000).U16(0).U32(26).U16(30145).Fill(24, 0);
    PsdBuilder b;
    b.Header(3, 4, 6, 8, 3).U32(0).Section(l.resources + path.Data()).Append(LayerSection(layers)).U16(0).Append(l.merged);
    WriteFile(dir / "doc.psd", b.Data());
    const RepairOptions salvage = MakeOptions(3, 4, 6, 8, 3, ZELT_RECOVER_REBUILD | ZELT_RECOVER_SALVAGE);
    ASSERT_EQ(Recover(dir / "doc.psd", MakeDir(dir / "out"), nullptr, &salvage), 1);
    const PsdDocument doc = ParseDocument(dir / "out/doc_rebuilt.psd");
    EXPECT_EQ(doc.resources, l.resources) << "the damaged path goes, the resolution stays";
    ASSERT_EQ(doc.layers.size(), 3u);
    const DocLayer &got = doc.layers[2];
    EXPECT_EQ(got.channels, (std::vector<std::pair<int16_t, uint32_t>>{{-1, 26}, {0, 26}, {1, 26}, {2, 26}}))
        << "the id no file holds is the colour missing";
    EXPECT_EQ(got.planes, (std::vector<Bytes>{l.skyAlpha, l.sky, l.sky, l.sky}));
    EXPECT_EQ(got.unicodeName, "Sky (damaged)");
    EXPECT_EQ(std::search(got.extra.begin(), got.extra.end(), kLabel, kLabel + 8), got.extra.end())
        << "the colour label goes";
    const Bytes &folder = doc.layers[1].extra;
    const auto at = std::search(folder.begin(), folder.end(), kDivider, kDivider + 8);
    ASSERT_NE(at, folder.end());
    EXPECT_EQ(Bytes(at + 12, at + 16), (Bytes{0, 0, 0, 0})) << "a group start without its end is an ordinary layer";
    EXPECT_EQ(doc.layers[1].name, "Group 1") << "the record itself is whole";
    // The sun's mask rectangle is inverted: its mask data goes, and the
    // tagged blocks still start where the padded name ends.
    const Bytes &sun = doc.layers[0].extra;
    ASSERT_GE(sun.size(), 12u);
    EXPECT_EQ(Bytes(sun.begin(), sun.begin() + 4), (Bytes{0, 0, 0, 0}));
    const std::size_t name = 8 + (std::size_t(sun[6]) << 8 | sun[7]);
    ASSERT_LT(name, sun.size());
    EXPECT_EQ(doc.layers[0].name, "Sun (damaged)");
    const std::size_t blocks = name + (1 + sun[name] + 3) / 4 * 4;
    ASSERT_LE(blocks + 4, sun.size());
    EXPECT_EQ(std::string(sun.begin() + long(blocks), sun.begin() + long(blocks) + 4), "8BIM");
}

} // namespace
