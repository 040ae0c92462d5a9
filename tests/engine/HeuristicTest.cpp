// A lost header: the picture's properties found from what survives, and the
// embedded preview saved.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <jpeglib.h>

#include "EngineHarness.h"
#include "PropertyInference.h"

using namespace test;
using zelt::ImageProperties;
using zelt::InferProperties;
using zelt::PixelRect;
using zelt::PropertySignals;

namespace {

constexpr ImageProperties kUser{3, 600, 800, 8, 3};

TEST(InferProperties, EachSignalAloneConflictsAndWhatTheUserKeeps)
{
    struct Case {
        const char *name;
        PropertySignals signals;
        uint32_t keep;
        ImageProperties want;
        const char *sources; // nullptr: nothing found
    };
    auto with = [](auto change) {
        PropertySignals s;
        change(s);
        return s;
    };
    const Case cases[] = {
        {"nothing survives", {}, 0, kUser, nullptr},
        {"an Lr16 key", with([](auto &s) { s.keyDepth = 16; }), 0, {3, 600, 800, 16, 3}, "layer records"},
        {"channel sizes vote", with([](auto &s) { s.channelDepths = {16, 8, 16}; }), 0, {3, 600, 800, 16, 3}, "layer records"},
        {"one colour channel", with([](auto &s) { s.colourChannels = 1; }), 0, {1, 600, 800, 8, 1}, "layer records"},
        {"one colour channel and a palette", with([](auto &s) { s.colourChannels = 1; s.palette = true; }), 0,
         {1, 600, 800, 8, 2}, "layer records"},
        {"one channel of 1 bit", with([](auto &s) { s.colourChannels = 1; s.channelDepths = {1}; }), 0,
         {1, 600, 800, 1, 0}, "layer records"},
        {"four colour channels", with([](auto &s) { s.colourChannels = 4; }), 0, {4, 600, 800, 8, 4}, "layer records"},
        {"three colour channels that look like Lab", with([](auto &s) { s.colourChannels = 3; s.labLike = true; }), 0,
         {3, 600, 800, 8, 9}, "layer records"},
        {"the background layer sets the canvas",
         with([](auto &s) { s.background = PixelRect{0, 0, 100, 200}; s.layerUnion = PixelRect{-5, 0, 100, 230}; }), 0,
         {3, 100, 200, 8, 3}, "layer records"},
        {"merged rows alone", with([](auto &s) { s.mergedRowBytes = 200; s.mergedRows = 300; }), 0,
         {3, 100, 200, 8, 3}, "merged image rows"},
        {"merged rows over a union that hangs over the edge",
         with([](auto &s) { s.colourChannels = 3; s.layerUnion = PixelRect{-4, -10, 96, 200}; s.mergedRowBytes = 180; s.mergedRows = 300; }),
         0, {3, 100, 180, 8, 3}, "layer records and merged image rows"},
        {"merged rows tell the depth against the background and an alpha channel",
         with([](auto &s) { s.colourChannels = 3; s.background = PixelRect{0, 0, 50, 20}; s.mergedRowBytes = 40; s.mergedRows = 200; }),
         0, {4, 50, 20, 16, 3}, "layer records and merged image rows"},
        {"raw planes against the canvas",
         with([](auto &s) { s.background = PixelRect{0, 0, 10, 10}; s.mergedBytes = 400; }), 0, {4, 10, 10, 8, 3},
         "layer records and merged image length"},
        {"raw planes and the preview's aspect", with([](auto &s) { s.mergedBytes = 3 * 120 * 160; s.aspect = 160.0 / 120; }),
         0, {3, 120, 160, 8, 3}, "merged image length and embedded preview"},
        {"raw planes that fit nothing", with([](auto &s) { s.background = PixelRect{0, 0, 10, 10}; s.mergedBytes = 401; }),
         0, {3, 10, 10, 8, 3}, "layer records"},
        {"merged rows whose bytes pair up like 16-bit samples",
         with([](auto &s) { s.mergedRowBytes = 400; s.mergedRows = 300; s.sixteenBitLike = true; }), 0,
         {3, 100, 200, 16, 3}, "merged image rows"},
        {"raw 16-bit planes and the preview's aspect",
         with([](auto &s) { s.mergedBytes = 3 * 120 * 160 * 2; s.aspect = 160.0 / 120; s.sixteenBitLike = true; }), 0,
         {3, 120, 160, 16, 3}, "merged image length and embedded preview"},
        {"the user's depth stands over the merged bytes",
         with([](auto &s) { s.mergedRowBytes = 400; s.mergedRows = 300; s.sixteenBitLike = true; }), ZELT_KEEP_DEPTH,
         {3, 100, 400, 8, 3}, "merged image rows"},
        {"the user's width stands", with([](auto &s) { s.mergedRowBytes = 200; s.mergedRows = 300; }), ZELT_KEEP_WIDTH,
         {3, 600, 800, 8, 3}, nullptr},
        {"the user's depth stands", with([](auto &s) { s.keyDepth = 16; s.colourChannels = 1; }), ZELT_KEEP_DEPTH,
         {1, 600, 800, 8, 1}, "layer records"},
    };
    // Properties that describe no picture, as a caller of the library may
    // pass them: nothing is inferred, and nothing divides by them.
    for (const ImageProperties odd : {ImageProperties{3, 0, 800, 8, 3}, ImageProperties{0, 600, 800, 8, 3},
                                      ImageProperties{3, 600, 800, 4, 3}}) {
        PropertySignals s; // merged rows, which divide by the height, the channels and the sample's bytes
        s.mergedRowBytes = 200;
        s.mergedRows = 300;
        EXPECT_FALSE(InferProperties(s, odd, 0).found);
    }
    for (const Case &c : cases) {
        const zelt::InferredProperties got = InferProperties(c.signals, kUser, c.keep);
        const ImageProperties &p = got.properties;
        EXPECT_EQ(std::vector<uint32_t>({p.channels, p.height, p.width, p.depth, p.mode}),
                  std::vector<uint32_t>({c.want.channels, c.want.height, c.want.width, c.want.depth, c.want.mode}))
            << c.name;
        EXPECT_EQ(got.found, c.sources != nullptr) << c.name;
        if (c.sources)
            EXPECT_EQ(got.sources, c.sources) << c.name;
    }
}

// Rows of 32-bit floats that change along a row and barely from one row to
// the next, as a picture's do.
Bytes FloatRows(uint32_t width, uint32_t rows)
{
    Bytes b;
    for (uint32_t y = 0; y < rows; ++y)
        for (uint32_t x = 0; x < width; ++x) {
            const float f = 0.5f + 0.3f * float(std::sin(x * 0.05)) + 0.001f * float((x * 7 + y) % 5);
            uint32_t bits;
            std::memcpy(&bits, &f, 4);
            b.insert(b.end(), {uint8_t(bits >> 24), uint8_t(bits >> 16), uint8_t(bits >> 8), uint8_t(bits)});
        }
    return b;
}

// The merged image is read only where its data prove one reading: a
// length or a table that several readings fit is not enough alone.
TEST(ProvenReading, OnlyWhatTheSignalsAgreeOn)
{
    struct Case {
        const char *name;
        PropertySignals signals;
        std::optional<ImageProperties> want; ///< nullopt: nothing proven
        uint32_t keep = 0;
    };
    auto with = [](auto change) {
        PropertySignals s;
        change(s);
        return s;
    };
    const Case cases[] = {
        {"nothing survives", {}, std::nullopt},
        {"a table alone: channels and depth unknown", with([](auto &s) { s.mergedRowBytes = 200; s.mergedRows = 300; }),
         std::nullopt},
        {"a 32-bit length that an 8-bit reading fits as well, with nothing telling the depth",
         with([](auto &s) { s.mergedBytes = 485 * 484 * 3 * 4; s.aspect = 485.0 / 484; }), std::nullopt},
        {"the same with its samples showing floats: 485 x 484 or 484 x 485",
         with([](auto &s) { s.mergedBytes = 485 * 484 * 3 * 4; s.aspect = 485.0 / 484; s.sampleDepth = 32; s.statedColours = 3; }),
         std::nullopt},
        {"floats whose rows show their stride",
         with([&](auto &s) {
             s.mergedBytes = 485 * 484 * 3 * 4; s.aspect = 485.0 / 484; s.sampleDepth = 32; s.statedColours = 3;
             s.rawSample = FloatRows(485, 60);
         }),
         ImageProperties{3, 484, 485, 32, 3}},
        {"the background and the table",
         with([](auto &s) { s.background = PixelRect{0, 0, 100, 200}; s.colourChannels = 3; s.mergedRowBytes = 200; s.mergedRows = 300; }),
         ImageProperties{3, 100, 200, 8, 3}},
        {"the layers' depth tells the width, their extent the channels",
         with([](auto &s) {
             s.colourChannels = 3; s.channelDepths = {16, 16}; s.layerUnion = PixelRect{0, 0, 43, 56};
             s.mergedRowBytes = 128; s.mergedRows = 144;
         }),
         ImageProperties{3, 48, 64, 16, 3}},
        {"a table whose planes meet where they jump", with([](auto &s) {
             s.mergedRowBytes = 160; s.mergedRows = 360; s.sampleDepth = 8;
             s.planeRepeat = {{2, 0.4}, {3, 8.1}, {4, 0.4}, {6, 0.4}};
         }),
         ImageProperties{3, 120, 160, 8, 3}},
        {"RGBA: the most channels whose boundaries all jump", with([](auto &s) {
             s.mergedRowBytes = 100; s.mergedRows = 400; s.sampleDepth = 8;
             s.planeRepeat = {{2, 5.0}, {4, 6.0}, {8, 0.5}};
         }),
         ImageProperties{4, 100, 100, 8, 3}},
        {"a flat picture with the slices' bounds", with([](auto &s) {
             s.mergedRowBytes = 100; s.mergedRows = 300; s.sampleFlat = true; s.documentRect = PixelRect{0, 0, 100, 100};
         }),
         ImageProperties{3, 100, 100, 8, 3}},
        {"a flat picture and its preview: 3 x 8 bits, 6 x 16 and 12 x 32 alike", with([](auto &s) {
             s.mergedRowBytes = 100; s.mergedRows = 300; s.sampleFlat = true; s.aspect = 1.0;
         }),
         std::nullopt},
        {"a palette: one channel of 8 bits", with([](auto &s) {
             s.palette = true; s.colourChannels = 1; s.mergedRowBytes = 64; s.mergedRows = 48; s.aspect = 64.0 / 48;
         }),
         ImageProperties{1, 48, 64, 8, 2}},
        {"raw planes of RGB or RGBA over the layers' extent: as many as the colours",
         with([](auto &s) { s.colourChannels = 3; s.channelDepths = {16}; s.layerUnion = PixelRect{0, 0, 43, 56}; s.mergedBytes = 18432; }),
         ImageProperties{3, 48, 64, 16, 3}},
        {"what the user keeps stands", with([](auto &s) { s.mergedRowBytes = 200; s.mergedRows = 300; }), kUser,
         ZELT_KEEP_WIDTH},
    };
    for (const Case &c : cases) {
        const ImageProperties inferred = InferProperties(c.signals, kUser, c.keep).properties;
        std::string sources;
        const std::optional<ImageProperties> got = zelt::ProvenReading(c.signals, inferred, c.keep, sources);
        EXPECT_EQ(got.has_value(), c.want.has_value()) << c.name;
        if (got.has_value() != c.want.has_value())
            continue;
        if (!got)
            continue;
        EXPECT_EQ(std::vector<uint32_t>({got->channels, got->height, got->width, got->depth, got->mode}),
                  std::vector<uint32_t>({c.want->channels, c.want->height, c.want->width, c.want->depth, c.want->mode}))
            << c.name;
    }
}

// Bytes of 8-bit and 16-bit pictures told apart, whatever the width.
TEST(SampleBytePairs, TellsSixteenBitSamplesFromEightBitOnes)
{
    uint32_t x = 7;
    auto noise = [&x] { return (x = x * 1103515245u + 12345u) >> 24; };
    struct Case {
        const char *name;
        std::function<Bytes()> bytes;
        bool sixteen;
    };
    auto samples16 = [](auto value) {
        Bytes b;
        for (uint32_t i = 0; i < 4000; ++i) {
            const uint32_t v = value(i);
            b.insert(b.end(), {uint8_t(v >> 8), uint8_t(v)});
        }
        return b;
    };
    auto samples8 = [](auto value) {
        Bytes b;
        for (uint32_t i = 0; i < 8000; ++i)
            b.push_back(uint8_t(value(i)));
        return b;
    };
    const Case cases[] = {
        {"8-bit gradient with noise", [&] { return samples8([&](uint32_t i) { return (i % 333) / 2 + noise() % 16; }); }, false},
        {"8-bit noise", [&] { return samples8([&](uint32_t) { return noise(); }); }, false},
        {"8-bit runs", [&] { return samples8([&](uint32_t i) { return (i / 5) % 7 * 30; }); }, false},
        {"8-bit flat", [&] { return samples8([&](uint32_t) { return 200u; }); }, false},
        {"16-bit gradient with noise", [&] { return samples16([&](uint32_t i) { return (i % 400) * 150 + noise(); }); }, true},
        {"8-bit blocks whose edges fall between pairs", [&] { return samples8([&](uint32_t i) { return (i / 8) % 5 * 40; }); }, false},
        {"16-bit on a 0 to 32768 scale", [&] { return samples16([&](uint32_t i) { return ((i % 300) / 2 + noise() % 8) * 32768 / 255; }); }, true},
        {"16-bit widened by 257: halves alike, left to the default", [&] { return samples16([&](uint32_t i) { return ((i / 3) % 256) * 257; }); }, false},
        {"16-bit with empty low halves", [&] { return samples16([&](uint32_t i) { return ((i + noise() % 3) % 256) << 8; }); }, true},
        {"16-bit flat", [&] { return samples16([&](uint32_t) { return 40000u; }); }, false},
    };
    for (const Case &c : cases) {
        const Bytes b = c.bytes();
        zelt::SampleBytePairs pairs;
        // In rows of 80 bytes, as a merged image's rows are read.
        for (std::size_t at = 0; at < b.size(); at += 80)
            pairs.Add(b.data() + at, std::min<std::size_t>(80, b.size() - at));
        EXPECT_EQ(pairs.LookSixteenBit(), c.sixteen) << c.name;
    }
}

// The depth the bytes show: every place of a sample alike (8 bits), pairs
// (16), or a float's steady exponent (32); nothing where they are flat.
TEST(SampleBytePairs, ShowTheDepthOfTheirSamples)
{
    uint32_t x = 11;
    auto noise = [&x] { return (x = x * 1103515245u + 12345u) >> 24; };
    auto floats = [&](auto value) {
        Bytes b;
        for (uint32_t i = 0; i < 4000; ++i) {
            const float f = value(i);
            uint32_t bits;
            std::memcpy(&bits, &f, 4);
            b.insert(b.end(), {uint8_t(bits >> 24), uint8_t(bits >> 16), uint8_t(bits >> 8), uint8_t(bits)});
        }
        return b;
    };
    const struct {
        const char *name;
        Bytes bytes;
        uint16_t depth;
        bool flat;
    } cases[] = {
        {"8-bit gradient with noise", [&] { Bytes b; for (int i = 0; i < 16000; ++i) b.push_back(uint8_t((i % 333) / 2 + noise() % 16)); return b; }(), 8, false},
        {"16-bit gradient with noise", [&] { Bytes b; for (uint32_t i = 0; i < 8000; ++i) { const uint32_t v = (i % 400) * 150 + noise(); b.insert(b.end(), {uint8_t(v >> 8), uint8_t(v)}); } return b; }(), 16, false},
        {"32-bit floats between 0.5 and 1", floats([&](uint32_t i) { return 0.5f + float((i * 37) % 1000 + noise()) / 2600.0f; }), 32, false},
        {"a flat plane", Bytes(16000, 255), 0, true},
    };
    for (const auto &c : cases) {
        zelt::SampleBytePairs pairs;
        for (std::size_t at = 0; at < c.bytes.size(); at += 400)
            pairs.Add(c.bytes.data() + at, std::min<std::size_t>(400, c.bytes.size() - at));
        EXPECT_EQ(pairs.Depth(), c.depth) << c.name;
        EXPECT_EQ(pairs.Flat(), c.flat) << c.name;
    }
}

// A small JPEG of one colour.
Bytes SolidJpeg(uint8_t r, uint8_t g, uint8_t b)
{
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char *out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = 16;
    c.image_height = 8;
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 100, TRUE);
    jpeg_start_compress(&c, TRUE);
    Bytes row;
    for (int x = 0; x < 16; ++x)
        row.insert(row.end(), {r, g, b});
    while (c.next_scanline < 8) {
        JSAMPROW p = row.data();
        jpeg_write_scanlines(&c, &p, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    Bytes jpeg(out, out + size);
    free(out);
    return jpeg;
}

// The first pixel of a JPEG file.
std::vector<int> FirstPixel(const Bytes &jpeg)
{
    jpeg_decompress_struct d;
    jpeg_error_mgr err;
    d.err = jpeg_std_error(&err);
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, jpeg.data(), jpeg.size());
    jpeg_read_header(&d, TRUE);
    d.out_color_space = JCS_RGB;
    jpeg_start_decompress(&d);
    Bytes row(d.output_width * 3);
    JSAMPROW p = row.data();
    jpeg_read_scanlines(&d, &p, 1);
    jpeg_abort_decompress(&d);
    jpeg_destroy_decompress(&d);
    return {row[0], row[1], row[2]};
}

Bytes ThumbnailBlock(uint16_t id, uint32_t width, uint32_t height, const Bytes &jpeg)
{
    PsdBuilder data;
    data.U32(1).U32(width).U32(height).U32((width * 24 + 31) / 32 * 4).U32(0).U32(uint32_t(jpeg.size())).U16(24).U16(1).Append(jpeg);
    PsdBuilder b;
    b.Str("8BIM").U16(id).U16(0).Section(data.Data());
    if (b.Size() % 2)
        b.U8(0);
    return b.Data();
}

// A flat RGB file whose header is zeroed: only its resources (with a
// preview) lead to its run-length merged image of 3 x 20 x 40, of 8 bits
// or of 16 (smooth high halves, noisy low ones, as photographs have).
Bytes FlatFileWithoutHeader(Bytes &planes, uint16_t previewId, uint16_t depth = 8)
{
    const uint32_t h = 20, w = 40, rowBytes = w * depth / 8;
    PsdBuilder rows, lengths;
    for (int c = 0; c < 3; ++c) {
        Bytes plane = Pattern(h * rowBytes, 30 + c);
        if (depth == 16)
            for (uint32_t i = 0; i < h * w; ++i)
                plane[2 * i] = uint8_t(c * 40 + i / w * 3 + i % w);
        planes.insert(planes.end(), plane.begin(), plane.end());
        for (uint32_t r = 0; r < h; ++r) {
            const Bytes packed = PackBitsRow(Bytes(plane.begin() + r * rowBytes, plane.begin() + (r + 1) * rowBytes));
            lengths.U16(uint16_t(packed.size()));
            rows.Append(packed);
        }
    }
    PsdBuilder b;
    b.Fill(26, 0).U32(0).Section(ThumbnailBlock(previewId, 160, 80, SolidJpeg(250, 0, 0))).U32(0);
    b.U16(1).Append(lengths.Data()).Append(rows.Data());
    return b.Data();
}

TEST(HeaderLost, AFlatFileFindsItsPropertiesThroughItsResourcesAndSavesItsPreview)
{
    TempDir dir;
    Bytes planes;
    WriteFile(dir / "flat.psd", FlatFileWithoutHeader(planes, 1036));
    CallbackRecorder rec;
    const RepairOptions on = MakeOptions(3, 600, 800, 8, 3, ZELT_RECOVER_HEURISTIC | ZELT_RECOVER_PREVIEW);
    ASSERT_EQ(Recover(dir / "flat.psd", MakeDir(dir / "on"), &rec, &on), 1);
    const PsdImage merged = ParseRecovered(dir / "on" / FilesWithPrefix(dir / "on", "flat_").at(0));
    EXPECT_EQ(std::vector<uint32_t>({merged.channels, merged.height, merged.width}), std::vector<uint32_t>({3, 20, 40}));
    Bytes got;
    for (const Bytes &p : merged.planes)
        got.insert(got.end(), p.begin(), p.end());
    EXPECT_EQ(got, planes);
    const auto msgs = rec.Messages();
    const Event line{MSG_STATUS, "Image properties found in the surviving data: 3 channels, 40 x 20 pixels, 8 bits, RGB "
                                 "(merged image rows and embedded preview)."};
    const auto at = std::find(msgs.begin(), msgs.end(), line);
    ASSERT_NE(at, msgs.end());
    EXPECT_EQ(*std::next(at), (Event{MSG_STATUS, "Read merged image data."}));
    EXPECT_EQ(FirstPixel(ReadFile(dir / "on/flat_preview.jpg"))[0] > 200, true) << "the preview, as stored";

    // Bit 0 clear: today's output, nothing found and nothing that leads to
    // the merged image; bit 3 clear: no preview.
    CallbackRecorder off;
    const RepairOptions plain = MakeOptions(3, 600, 800, 8, 3, 0);
    EXPECT_EQ(Recover(dir / "flat.psd", MakeDir(dir / "off"), &off, &plain), 0);
    EXPECT_TRUE(ListDir(dir / "off").empty());
    EXPECT_EQ(off.Messages(), (std::vector<Event>{{MSG_SOURCE_FILE, dir / "flat.psd"}}));
}

TEST(HeaderLost, AnOldPreviewHasItsRedAndBlueExchanged)
{
    TempDir dir;
    Bytes planes;
    WriteFile(dir / "old.psd", FlatFileWithoutHeader(planes, 1033));
    const RepairOptions o = MakeOptions(3, 600, 800, 8, 3, ZELT_RECOVER_PREVIEW);
    ASSERT_EQ(Recover(dir / "old.psd", MakeDir(dir / "out"), nullptr, &o), 1);
    const std::vector<int> px = FirstPixel(ReadFile(dir / "out/old_preview.jpg"));
    EXPECT_LT(px[0], 50);
    EXPECT_GT(px[2], 200) << "stored as BGR, written as RGB";
}

TEST(HeaderLost, LayersAndMergedRowsTogetherGiveEveryProperty)
{
    // A 16-bit grey document of 6 x 10 with an alpha channel in its merged
    // image; the layer is the background, stored raw.
    TempDir dir;
    const uint32_t h = 6, w = 10;
    PsdBuilder merged, lengths;
    std::vector<Bytes> planes(2);
    for (int c = 0; c < 2; ++c)
        for (uint32_t r = 0; r < h; ++r) {
            const Bytes row = Pattern(w * 2, 50 + c * 10 + r);
            planes[c].insert(planes[c].end(), row.begin(), row.end());
            const Bytes packed = PackBitsRow(row);
            lengths.U16(uint16_t(packed.size()));
            merged.Append(packed);
        }
    PsdBuilder b;
    b.Append(Pattern(40, 1)).Append(LayerSection({{0, 0, int32_t(h), int32_t(w), {{0, RawChannel(Pattern(h * w * 2, 3))}}}}));
    b.U16(1).Append(lengths.Data()).Append(merged.Data());
    WriteFile(dir / "deep.psd", b.Data());
    CallbackRecorder rec;
    const RepairOptions o = MakeOptions(3, 600, 800, 8, 3, ZELT_RECOVER_HEURISTIC);
    ASSERT_EQ(Recover(dir / "deep.psd", MakeDir(dir / "out"), &rec, &o), 1);
    const PsdImage layer = ParseRecovered(dir / "out/Layer0.psd");
    EXPECT_EQ(layer.depth, 16);
    EXPECT_EQ(layer.mode, 1);
    EXPECT_EQ(layer.planes.at(0), Pattern(h * w * 2, 3));
    const PsdImage img = ParseRecovered(dir / "out" / FilesWithPrefix(dir / "out", "deep_").at(0));
    EXPECT_EQ(std::vector<uint32_t>({img.channels, img.height, img.width, img.depth, img.mode}),
              std::vector<uint32_t>({2, h, w, 16, 1}));
    EXPECT_EQ(img.planes, planes);
    const auto msgs = rec.Messages();
    EXPECT_NE(std::find(msgs.begin(), msgs.end(),
                        Event{MSG_STATUS, "Image properties found in the surviving data: 2 channels, 10 x 6 pixels, 16 "
                                          "bits, Grayscale (layer records and merged image rows)."}),
              msgs.end());
}

TEST(HeaderLost, AMergedImageCutShortIsReadWhereTheCanvasIsKnown)
{
    // A background layer and a small one, the header zeroed and the end cut
    // inside the merged image's rows: the table no longer reaches the end,
    // but with the canvas known only three channels put the rows where they
    // decode whole.
    const uint32_t h = 20, w = 30;
    PsdBuilder rows, lengths;
    for (int c = 0; c < 3; ++c)
        for (uint32_t r = 0; r < h; ++r) {
            const Bytes packed = PackBitsRow(Pattern(w, 70 + c * 20 + r));
            lengths.U16(uint16_t(packed.size()));
            rows.Append(packed);
        }
    const std::vector<TestLayer> layers = {
        {0, 0, int32_t(h), int32_t(w), {{0, RawChannel(Pattern(h * w, 1))}, {1, RawChannel(Pattern(h * w, 2))}, {2, RawChannel(Pattern(h * w, 3))}}},
        {2, 3, 6, 9, {{0, RawChannel(Pattern(24, 4))}, {1, RawChannel(Pattern(24, 5))}, {2, RawChannel(Pattern(24, 6))}}},
    };
    PsdBuilder b;
    b.Fill(26, 0).U32(0).U32(0).Append(LayerSection(layers)).U16(1).Append(lengths.Data()).Append(rows.Data());
    const Bytes whole = b.Data();
    TempDir dir;
    WriteFile(dir / "cut.psd", Bytes(whole.begin(), whole.end() - long(rows.Size() / 2)));
    CallbackRecorder rec;
    const RepairOptions o = MakeOptions(3, 600, 800, 8, 3, ZELT_RECOVER_HEURISTIC | ZELT_REPORT_COARSE);
    ASSERT_EQ(Recover(dir / "cut.psd", MakeDir(dir / "out"), &rec, &o), 1);
    const PsdImage img = ParseRecovered(dir / "out" / FilesWithPrefix(dir / "out", "cut_").at(0));
    EXPECT_EQ(std::vector<uint32_t>({img.channels, img.height, img.width, img.depth}), std::vector<uint32_t>({3, h, w, 8}));
    EXPECT_EQ(Bytes(img.planes.at(0).begin(), img.planes.at(0).begin() + w), Pattern(w, 70));
    const auto msgs = rec.Messages();
    const auto line = std::find_if(msgs.begin(), msgs.end(), [](const Event &e) { return e.text.rfind("The merged image (30 x 20): ", 0) == 0; });
    ASSERT_NE(line, msgs.end());
    EXPECT_EQ(line->text.find("20 of 20 rows read"), std::string::npos) << line->text;
}

} // namespace

namespace {

TEST(HeaderLost, ARunLengthMergedImageIsFoundByItsTableWhenAllBeforeItIsGone)
{
    // The header and the image resources zeroed (a lost first block): the
    // table whose rows reach the end of the file leads to the picture, and
    // its bytes tell 16-bit samples from 8-bit ones.
    for (const uint16_t depth : {8, 16}) {
        SCOPED_TRACE(depth);
        TempDir dir;
        Bytes planes;
        Bytes file = FlatFileWithoutHeader(planes, 1036, depth);
        const uint32_t rowBytes = 40 * depth / 8;
        const std::size_t tableAt = file.size() - 2 - 3 * 20 * 2 - [&] {
            std::size_t packed = 0;
            for (uint32_t r = 0; r < 3 * 20; ++r)
                packed += PackBitsRow(Bytes(planes.begin() + r * rowBytes, planes.begin() + (r + 1) * rowBytes)).size();
            return packed;
        }();
        std::fill(file.begin(), file.begin() + long(tableAt), 0);
        WriteFile(dir / "gone.psd", file);
        const RepairOptions on = MakeOptions(3, 600, 800, 8, 3, ZELT_RECOVER_HEURISTIC | ZELT_KEEP_CHANNELS);
        ASSERT_EQ(Recover(dir / "gone.psd", MakeDir(dir / "on"), nullptr, &on), 1);
        const PsdImage merged = ParseRecovered(dir / "on" / FilesWithPrefix(dir / "on", "gone_").at(0));
        EXPECT_EQ(std::vector<uint32_t>({merged.channels, merged.height, merged.width, merged.depth}),
                  std::vector<uint32_t>({3, 20, 40, depth}));
        Bytes got;
        for (const Bytes &p : merged.planes)
            got.insert(got.end(), p.begin(), p.end());
        EXPECT_EQ(got, planes);
        const RepairOptions off = MakeOptions(3, 600, 800, 8, 3, 0);
        EXPECT_EQ(Recover(dir / "gone.psd", MakeDir(dir / "off"), nullptr, &off), 0);
    }
}

} // namespace
