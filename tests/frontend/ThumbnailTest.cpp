// Thumbnails of the files the engine writes, of every mode and depth, of a
// version-2 file, of a cut file and of a picture far larger than memory
// would like.
#include <QColor>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "EngineHarness.h"
#include "PsdBuilder.h"
#include "Thumbnail.h"

using namespace test;

namespace {

// A file of the engine's layout: header, colour-mode data, no image
// resources, a layer-and-mask section (empty for the pieces, some bytes for
// a rebuilt document), raw planes.
Bytes EngineFile(uint16_t version, uint16_t channels, uint32_t height, uint32_t width, uint16_t depth, uint16_t mode,
                 const Bytes &planes, const Bytes &colorData = {}, const Bytes &layerSection = {})
{
    PsdBuilder b;
    b.Str("8BPS").U16(version).Fill(6, 0).U16(channels).U32(height).U32(width).U16(depth).U16(mode);
    b.Section(colorData).U32(0);
    if (version == 2)
        b.U32(0);
    b.Section(layerSection).U16(0).Append(planes);
    return b.Data();
}

Bytes Be16s(std::initializer_list<uint16_t> v)
{
    Bytes out;
    for (uint16_t x : v)
        out.insert(out.end(), {uint8_t(x >> 8), uint8_t(x)});
    return out;
}

Bytes Floats(std::initializer_list<float> v)
{
    Bytes out;
    for (float f : v) {
        uint32_t bits;
        std::memcpy(&bits, &f, 4);
        out.insert(out.end(), {uint8_t(bits >> 24), uint8_t(bits >> 16), uint8_t(bits >> 8), uint8_t(bits)});
    }
    return out;
}

Bytes Palette()
{
    Bytes p(768, 0);
    p[5] = 200, p[256 + 5] = 100, p[512 + 5] = 50; // entry 5
    p[1] = 1, p[256 + 1] = 2, p[512 + 1] = 3;       // entry 1
    return p;
}

struct Case {
    const char *what;
    uint16_t version, channels, depth, mode;
    uint32_t width; // one row
    Bytes planes, colorData;
    QRgb first, second; // the first two pixels
};

TEST(Thumbnail, EveryModeAndDepthTheEngineWrites)
{
    const Case cases[] = {
        {"bitmap, 1 is black", 1, 1, 1, 0, 10, {0x80, 0x00}, {}, qRgb(0, 0, 0), qRgb(255, 255, 255)},
        {"grayscale 8", 1, 1, 8, 1, 2, {0x40, 0xC0}, {}, qRgb(0x40, 0x40, 0x40), qRgb(0xC0, 0xC0, 0xC0)},
        {"grayscale 16, big-endian", 1, 1, 16, 1, 2, Be16s({0x1234, 0xFF00}), {}, qRgb(0x12, 0x12, 0x12),
         qRgb(0xFF, 0xFF, 0xFF)},
        {"grayscale 32, floats", 1, 1, 32, 1, 2, Floats({1.0f, 0.0f}), {}, qRgb(255, 255, 255), qRgb(0, 0, 0)},
        {"grayscale 32, out of range", 1, 1, 32, 1, 2, Floats({7.5f, -2.0f}), {}, qRgb(255, 255, 255), qRgb(0, 0, 0)},
        {"indexed, planar palette", 1, 1, 8, 2, 2, {5, 1}, Palette(), qRgb(200, 100, 50), qRgb(1, 2, 3)},
        {"RGB 8", 1, 3, 8, 3, 2, {10, 11, 20, 21, 30, 31}, {}, qRgb(10, 20, 30), qRgb(11, 21, 31)},
        {"RGB 16", 1, 3, 16, 3, 2, Be16s({0x0A00, 0x0B00, 0x1400, 0x1500, 0x1E00, 0x1F00}), {}, qRgb(10, 20, 30),
         qRgb(11, 21, 31)},
        {"RGB 32", 1, 3, 32, 3, 1, Floats({1.0f, 0.0f, 1.0f}), {}, qRgb(255, 0, 255), 0},
        {"RGB with an extra alpha channel", 1, 4, 8, 3, 1, {1, 2, 3, 0}, {}, qRgb(1, 2, 3), 0},
        {"CMYK, stored inverted", 1, 4, 8, 4, 2, {255, 255, 0, 255, 255, 255, 255, 0}, {}, qRgb(255, 0, 255),
         qRgb(0, 0, 0)},
        {"multichannel", 1, 2, 8, 7, 2, {90, 91, 0, 0}, {}, qRgb(90, 90, 90), qRgb(91, 91, 91)},
        {"duotone with its data", 1, 1, 8, 8, 2, {70, 71}, Bytes(40, 1), qRgb(70, 70, 70), qRgb(71, 71, 71)},
        {"Lab, white and black", 1, 3, 8, 9, 2, {255, 0, 128, 128, 128, 128}, {}, qRgb(255, 255, 255), qRgb(0, 0, 0)},
        {"Lab 16, a red", 1, 3, 16, 9, 1, Be16s({0x8800, 0xD000, 0xB000}), {}, 0, 0},
        {"version 2 RGB", 2, 3, 8, 3, 2, {10, 11, 20, 21, 30, 31}, {}, qRgb(10, 20, 30), qRgb(11, 21, 31)},
    };
    TempDir dir;
    for (const Case &c : cases) {
        const std::string path = dir / "case.psd";
        WriteFile(path, EngineFile(c.version, c.channels, 1, c.width, c.depth, c.mode, c.planes, c.colorData));
        const TThumbnail t = RenderThumbnail(QString::fromStdString(path));
        ASSERT_FALSE(t.image.isNull()) << c.what;
        EXPECT_EQ(t.width, c.width) << c.what;
        EXPECT_EQ(t.height, 1u) << c.what;
        EXPECT_FALSE(t.cut) << c.what;
        EXPECT_EQ(t.image.size(), QSize(int(c.width), 1)) << c.what;
        if (std::string(c.what) == "Lab 16, a red") {
            const QColor red = t.image.pixelColor(0, 0);
            EXPECT_GT(red.red(), red.green() + 60) << c.what;
            EXPECT_GT(red.red(), red.blue() + 30) << c.what;
            continue;
        }
        EXPECT_EQ(QColor(t.image.pixel(0, 0)).name(), QColor(c.first).name()) << c.what;
        if (c.width > 1)
            EXPECT_EQ(QColor(t.image.pixel(1, 0)).name(), QColor(c.second).name()) << c.what;
    }
}

TEST(Thumbnail, ARebuiltDocumentsLayerSectionIsSkippedByItsLength)
{
    TempDir dir;
    for (uint16_t version : {1, 2}) {
        // Bytes that would read as a picture if they were not skipped.
        WriteFile(dir / "rebuilt.psd", EngineFile(version, 1, 1, 2, 8, 1, {7, 8}, {}, Bytes(300, 0xEE)));
        const TThumbnail t = RenderThumbnail(QString::fromStdString(dir / "rebuilt.psd"));
        ASSERT_FALSE(t.image.isNull()) << version;
        EXPECT_EQ(qRed(t.image.pixel(0, 0)), 7) << version;
        EXPECT_EQ(qRed(t.image.pixel(1, 0)), 8) << version;
    }
}

TEST(Thumbnail, ACutFileShowsWhatItHolds)
{
    TempDir dir;
    // RGB 8, 4 x 4: cut inside the second plane, after its first row.
    Bytes planes;
    for (int c = 0; c < 3; ++c)
        for (int i = 0; i < 16; ++i)
            planes.push_back(uint8_t(c == 0 ? 200 : 100));
    Bytes file = EngineFile(1, 3, 4, 4, 8, 3, planes);
    file.resize(file.size() - 16 - 12);
    WriteFile(dir / "cut.psd", file);
    const TThumbnail t = RenderThumbnail(QString::fromStdString(dir / "cut.psd"));
    ASSERT_FALSE(t.image.isNull());
    EXPECT_TRUE(t.cut);
    EXPECT_EQ(t.image.size(), QSize(4, 4));
    EXPECT_EQ(QColor(t.image.pixel(0, 0)).name(), QColor(qRgb(200, 100, 200)).name()) << "red, green read; blue gone";
    EXPECT_EQ(QColor(t.image.pixel(3, 3)).name(), QColor(qRgb(200, 200, 200)).name()) << "only red read";
    // Cut inside the first plane: the rows that are there, the rest transparent.
    file.resize(26 + 4 + 4 + 4 + 2 + 6);
    WriteFile(dir / "cut.psd", file);
    const TThumbnail u = RenderThumbnail(QString::fromStdString(dir / "cut.psd"));
    ASSERT_FALSE(u.image.isNull());
    EXPECT_EQ(qAlpha(u.image.pixel(1, 1)), 255);
    EXPECT_EQ(qAlpha(u.image.pixel(2, 1)), 0);
    EXPECT_EQ(qAlpha(u.image.pixel(0, 3)), 0);
    // Cut in its header or sections, or no picture at all: no thumbnail, no crash.
    for (std::size_t size : {0, 4, 25, 27, 38}) {
        file.resize(size);
        WriteFile(dir / "cut.psd", file);
        EXPECT_TRUE(RenderThumbnail(QString::fromStdString(dir / "cut.psd")).image.isNull()) << size;
    }
    WriteFile(dir / "cut.psd", EngineFile(1, 3, 4, 4, 8, 3, planes, Bytes(10, 0)));
    Bytes bad = ReadFile(dir / "cut.psd");
    bad[27] = 0xFF; // a colour-mode length far past the end
    WriteFile(dir / "cut.psd", bad);
    EXPECT_TRUE(RenderThumbnail(QString::fromStdString(dir / "cut.psd")).image.isNull());
    EXPECT_TRUE(RenderThumbnail(QString::fromStdString(dir / "missing.psd")).image.isNull());
}

TEST(Thumbnail, AHugePictureIsReadWithAStride)
{
    // 60000 x 50000, 16-bit grey, version 2: 6 GB of planes on a sparse file.
    TempDir dir;
    const uint32_t width = 60000, height = 50000;
    const Bytes head = EngineFile(2, 1, height, width, 16, 1, {});
    const std::string path = dir / "huge.psb";
    WriteFile(path, head);
    const uint64_t rowBytes = uint64_t(width) * 2, step = (width + 127) / 128;
    const int fd = ::open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, off_t(head.size() + rowBytes * height)), 0);
    // Samples at the points the thumbnail takes: (row 0, column step) and
    // (row step, column 0); their neighbours stay 0.
    const uint8_t white[2] = {0xFF, 0xFF};
    ASSERT_EQ(pwrite(fd, white, 2, off_t(head.size() + step * 2)), 2);
    ASSERT_EQ(pwrite(fd, white, 2, off_t(head.size() + step * rowBytes)), 2);
    ::close(fd);
    const TThumbnail t = RenderThumbnail(QString::fromStdString(path));
    ASSERT_FALSE(t.image.isNull());
    EXPECT_EQ(t.width, width);
    EXPECT_EQ(t.height, height);
    EXPECT_EQ(t.image.width(), 128);
    EXPECT_EQ(t.image.height(), int((height + step - 1) / step));
    EXPECT_FALSE(t.cut);
    EXPECT_EQ(qRed(t.image.pixel(1, 0)), 255);
    EXPECT_EQ(qRed(t.image.pixel(0, 1)), 255);
    EXPECT_EQ(qRed(t.image.pixel(0, 0)), 0);
    EXPECT_EQ(qRed(t.image.pixel(1, 1)), 0);
}

} // namespace
