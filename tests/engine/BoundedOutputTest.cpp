// What a run writes is bounded by what came from its source: tiny or hostile
// inputs that describe huge pictures give no huge files, and a run's output
// names stay cheap when thousands of pieces share one name.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>

#include "EngineHarness.h"

using namespace test;

namespace {

constexpr uint32_t kVelmoraFlags = ZELT_RECOVER_HEURISTIC | ZELT_RECOVER_REBUILD | ZELT_REPORT_COARSE |
                                   ZELT_RECOVER_PREVIEW | ZELT_RECOVER_SALVAGE | ZELT_COMPRESS_DOCUMENT;

uint64_t FolderBytes(const std::string &dir)
{
    uint64_t total = 0;
    for (const auto &e : std::filesystem::directory_iterator(dir))
        total += e.is_regular_file() ? e.file_size() : 0;
    return total;
}

Bytes Header(uint16_t version, uint16_t channels, uint32_t height, uint32_t width, uint16_t depth)
{
    PsdBuilder b;
    b.Str("8BPS").U16(version).Fill(6, 0).U16(channels).U32(height).U32(width).U16(depth).U16(channels == 1 ? 1 : 3);
    return b.Data();
}

// A file with a header, empty colour data and resources, the layer section
// given, then the merged image's compression and data.
Bytes WithHeader(const Bytes &header, const Bytes &section, uint16_t compression, const Bytes &data)
{
    PsdBuilder b;
    b.Append(header).U32(0).U32(0).Append(section).U16(compression).Append(data);
    return b.Data();
}

Bytes OneLayer(int32_t bottom, int32_t right, const Bytes &stored, uint16_t channels = 1)
{
    TestLayer l{0, 0, bottom, right, {}, LayerExtra("big")};
    for (uint16_t c = 0; c < channels; ++c)
        l.channels.push_back({int16_t(c), stored});
    return LayerSection({l});
}

// Sections one after the other, each a record whose channel claims 10 KB.
Bytes RepeatedSections(std::size_t count, bool infoCoversData)
{
    PsdBuilder unit;
    const uint32_t record = 16 + 2 + 6 + 12 + 4, info = 2 + record + (infoCoversData ? 10002 : 0);
    unit.U32(4 + info + 4).U32(info).U16(1).I32(0).I32(0).I32(100).I32(100).U16(1).I16(0).U32(10002);
    unit.Str("8BIMnorm").U8(255).U8(0).U8(0).U8(0).U32(0);
    PsdBuilder b;
    for (std::size_t k = 0; k < count; ++k)
        b.Append(unit.Data());
    return b.Data();
}

TEST(BoundedOutput, PicturesOfAlmostNothingAreNotWrittenAtTheirSize)
{
    // Each source describes pictures far larger than the bytes it holds.
    const Bytes oneByte{7};
    Bytes rleRows; // 30000 rows of 2 bytes, each 128 of a 30000-byte row
    {
        PsdBuilder t, rows;
        for (int r = 0; r < 30000; ++r) {
            t.U16(2);
            rows.U8(0x81).U8(9);
        }
        rleRows = t.Append(rows.Data()).Data();
    }
    std::vector<TestLayer> empties;
    for (int k = 0; k < 1000; ++k)
        empties.push_back({0, 0, 2000, 2000, {{0, {}}, {1, {}}, {2, {}}}});
    std::vector<TestLayer> pixels;
    for (int k = 0; k < 4; ++k)
        pixels.push_back({k, k, k + 1, k + 1, {{0, RawChannel({uint8_t(k)})}, {1, RawChannel({1})}, {2, RawChannel({2})}}});
    PsdBuilder fourteen;
    fourteen.Append(LayerSection({{0, 0, 10, 10, {{0, RawChannel(Pattern(100, 1))}}}})).U16(0).Append(Pattern(14000, 2));

    const struct Case {
        const char *name;
        Bytes source;
        RepairOptions options;
        std::vector<std::string> lines; ///< status lines that must come
    } cases[] = {
        {"a 3 x 10000 x 10000 header with one byte of pixels", WithHeader(Header(1, 3, 10000, 10000, 8), Bytes(4, 0), 0, oneByte),
         MakeOptions(3, 600, 800, 8, 3, kVelmoraFlags),
         {"The merged image: only 0.00000033 % of its samples survive: no file written."}},
        {"a large document's header of 30001 x 30001",
         [] { PsdBuilder b; b.Append(Header(2, 1, 30001, 30001, 8)).U32(0).U32(0).U32(0).U32(0).U16(0).U8(1); return b.Data(); }(),
         MakeOptions(3, 600, 800, 8, 3, kVelmoraFlags), {}},
        {"run-length rows that decode to 128 of 30000 samples",
         WithHeader(Header(1, 1, 30000, 30000, 8), Bytes(4, 0), 1, rleRows), MakeOptions(3, 600, 800, 8, 3, kVelmoraFlags),
         {"The merged image: only 0.43 % of its samples survive: no file written."}},
        {"a layer of 30000 x 30000 with one byte of data",
         WithHeader(Header(1, 1, 10, 10, 8), OneLayer(30000, 30000, RawChannel(oneByte)), 0, Pattern(100, 3)),
         MakeOptions(3, 600, 800, 8, 3, kVelmoraFlags),
         {"Layer 0: only 0.00000011 % of its samples survive: no file written."}},
        {"a layer of 30000 x 30000 without data in a small document",
         WithHeader(Header(1, 1, 10, 10, 8), OneLayer(30000, 30000, {}, 3), 0, Pattern(100, 3)),
         MakeOptions(3, 600, 800, 8, 3, kVelmoraFlags), {"Layer 0 has no pixel data left in the file: no file written."}},
        {"1000 layers of 2000 x 2000 without data", LayerSection(empties), MakeOptions(3, 600, 800, 8, 3, kVelmoraFlags),
         {"The rebuilt document: only 0 % of its samples survive: no file written."}},
        {"4 one-pixel layers in a 30000 x 30000 document",
         WithHeader(Header(1, 3, 30000, 30000, 8), LayerSection(pixels), 0, oneByte), MakeOptions(3, 600, 800, 8, 3, kVelmoraFlags),
         {}},
        {"a header-lost layer reaching 300000", OneLayer(300000, 300000, RawChannel(Pattern(120, 4))),
         MakeOptions(3, 600, 800, 8, 3, kVelmoraFlags), {}},
        {"26000 section starts whose data lies outside their layer info", RepeatedSections(26000, false),
         MakeOptions(3, 600, 800, 8, 3, kVelmoraFlags), {}},
        {"section starts whose data their layer info holds", RepeatedSections(100, true),
         MakeOptions(3, 600, 800, 8, 3, kVelmoraFlags), {}},
        {"a size of 300000 x 300000 given for 14 KB", fourteen.Data(),
         MakeOptions(3, 300000, 300000, 8, 3, kVelmoraFlags | ZELT_KEEP_HEIGHT | ZELT_KEEP_WIDTH), {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        WriteFile(dir / "s.psd", c.source);
        CallbackRecorder rec;
        Recover(dir / "s.psd", MakeDir(dir / "out"), &rec, &c.options);
        EXPECT_TRUE(rec.Errors().empty()) << rec.Errors().at(0);
        const uint64_t written = FolderBytes(dir / "out"), bound = 64 * c.source.size() + (16u << 20);
        EXPECT_LE(written, bound) << ListDir(dir / "out").size() << " files";
        const auto msgs = rec.Messages();
        for (const std::string &line : c.lines)
            EXPECT_NE(std::find(msgs.begin(), msgs.end(), Event{MSG_STATUS, line}), msgs.end()) << line;
        if (const char *keep = std::getenv("ZELT_KEEP_RUNAWAY_INPUTS"))
            WriteFile(std::string(keep) + "/" + c.name + ".psd", c.source);
    }
}

TEST(BoundedOutput, AFillOfALargePlanePollsForAStop)
{
    // A layer of 64 MiB with 1.5 % of its data: the rest is filled, and a
    // coarse caller is asked whether to stop while that goes on.
    const uint32_t side = 8192;
    TestLayer l{0, 0, int32_t(side), int32_t(side), {{0, RawChannel(Pattern(1 << 20, 5))}}};
    TempDir dir;
    WriteFile(dir / "s.psd", LayerSection({l}));
    CallbackRecorder rec;
    const RepairOptions o = MakeOptions(1, side, side, 8, 1, ZELT_REPORT_COARSE);
    ASSERT_EQ(Recover(dir / "s.psd", MakeDir(dir / "out"), &rec, &o), 1);
    const auto read = std::find(rec.events.begin(), rec.events.end(), Event{MSG_STATUS, "Read data of layer 0."});
    ASSERT_NE(read, rec.events.end());
    int polls = 0;
    for (auto e = std::make_reverse_iterator(read); e != rec.events.rend() && e->code == MSG_QUERY_ABORT; ++e)
        ++polls;
    EXPECT_GE(polls, 5) << "the scan's poll, the layer's, and one every 16 MiB of the fill";
}

TEST(BoundedOutput, ThousandsOfPiecesOfOneNameTakeTheNextNumbers)
{
    // 3000 blocks of 16-bit layers, each a one-pixel layer 0: their files are
    // Layer0.psd, Layer0_2.psd, ... Layer0_3000.psd.
    PsdBuilder b;
    for (int k = 0; k < 3000; ++k) {
        const Bytes body = LayerInfoBody({{0, 0, 1, 1, {{0, RawChannel({uint8_t(k >> 8), uint8_t(k)})}}}}, 1);
        b.Str("8BIMLr16").Section(body);
    }
    TempDir dir;
    WriteFile(dir / "s.psd", b.Data());
    const RepairOptions o = MakeOptions(1, 1, 1, 16, 1, 0);
    ASSERT_EQ(Recover(dir / "s.psd", MakeDir(dir / "out"), nullptr, &o), 1);
    EXPECT_EQ(ListDir(dir / "out").size(), 3000u);
    EXPECT_EQ(ParseRecovered(dir / "out/Layer0_3000.psd").planes.at(0), (Bytes{uint8_t(2999 >> 8), uint8_t(2999 & 0xFF)}));
}

} // namespace
