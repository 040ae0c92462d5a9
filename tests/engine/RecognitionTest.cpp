// File headers, colour mode data and sized sections.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "RecovererFixture.h"

using namespace test;
using zelt::ImageProperties;

namespace {

class Recognition : public RecovererFixture {};

struct HeaderCase {
    uint16_t version, channels;
    uint32_t height, width;
    uint16_t depth, mode;
    bool accepted;
};

Bytes HeaderBytes(const HeaderCase &c, uint8_t reserved = 0)
{
    PsdBuilder b;
    b.Str("8BPS").U16(c.version).Fill(6, reserved).U16(c.channels).U32(c.height).U32(c.width).U16(c.depth).U16(c.mode);
    return b.Data();
}

TEST_F(Recognition, HeaderTestsAndTheirLimits)
{
    const HeaderCase cases[] = {
        {1, 3, 600, 800, 8, 3, true},
        {2, 3, 600, 800, 8, 3, true}, // a large document
        {3, 3, 600, 800, 8, 3, false},
        {1, 0, 600, 800, 8, 3, false},
        {1, 25, 600, 800, 8, 3, false},
        {1, 24, 300000, 300000, 32, 9, true},
        {1, 1, 1, 1, 1, 0, true},
        {1, 3, 0, 800, 8, 3, false},
        {1, 3, 600, 0, 8, 3, false},
        {1, 3, 300001, 800, 8, 3, false},
        {1, 3, 600, 300001, 8, 3, false},
        {1, 3, 600, 800, 24, 3, false},
        {1, 3, 600, 800, 0, 3, false},
        {1, 3, 600, 800, 16, 5, false},
        {1, 3, 600, 800, 16, 6, false},
        {1, 3, 600, 800, 16, 10, false},
        {1, 4, 10, 20, 16, 7, true},
        {1, 2, 10, 20, 8, 8, true},
    };
    for (const HeaderCase &c : cases) {
        Load(HeaderBytes(c));
        const ImageProperties before{5, 6, 7, 8, 1};
        R().SetProperties(before);
        uint32_t consumed = 0;
        EXPECT_EQ(R().MatchFileHeader(consumed), c.accepted) << c.channels << " " << c.height << " " << c.depth << " " << c.mode;
        const ImageProperties &p = R().Properties();
        if (c.accepted) {
            EXPECT_EQ(consumed, 26u);
            EXPECT_EQ(source->GetPosition(), 26u);
            EXPECT_EQ(+p.channels, c.channels);
            EXPECT_EQ(+p.height, c.height);
            EXPECT_EQ(+p.width, c.width);
            EXPECT_EQ(+p.depth, c.depth);
            EXPECT_EQ(+p.mode, c.mode);
        } else {
            EXPECT_EQ(+p.channels, 5) << "a rejected header leaves the properties";
            EXPECT_EQ(+p.height, 6u);
        }
    }
}

TEST(ManyChannels, A57ChannelFileIsReadWhereItsSectionsFollowItsHeader)
{
    // CMYK with 53 alpha channels: 57 planes of 2 x 3. Its header counts
    // only where what follows it parses; a header of 58 never does.
    Bytes planes;
    for (int c = 0; c < 57; ++c) {
        const Bytes p = Pattern(6, 10 + c);
        planes.insert(planes.end(), p.begin(), p.end());
    }
    const struct {
        uint16_t channels;
        bool sections;
        bool read;
    } cases[] = {{57, true, true}, {58, true, false}, {57, false, false}, {25, true, true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.channels) + (c.sections ? " with its sections" : " in noise"));
        PsdBuilder b;
        b.Header(c.channels, 2, 3, 8, 4);
        if (c.sections)
            b.U32(0).U32(0).U32(0).U16(0).Append(Bytes(planes.begin(), planes.begin() + 6 * c.channels));
        else
            b.Append(Pattern(400, 3));
        TempDir dir;
        WriteFile(dir / "a.psd", b.Data());
        const RepairOptions o = MakeOptions(3, 600, 800, 8, 3, 0);
        EXPECT_EQ(Recover(dir / "a.psd", MakeDir(dir / "out"), nullptr, &o), c.read ? 1 : 0);
        if (!c.read)
            continue;
        const PsdImage img = ParseRecovered(dir / "out" / FilesWithPrefix(dir / "out", "a_").at(0));
        ASSERT_EQ(img.planes.size(), c.channels);
        EXPECT_EQ(img.planes.back(), Pattern(6, 10 + c.channels - 1));
    }
}

TEST_F(Recognition, ReservedBytesAreNotExamined)
{
    Load(HeaderBytes({1, 3, 6, 8, 8, 3, true}, 0xAB));
    uint32_t consumed;
    EXPECT_TRUE(R().MatchFileHeader(consumed));
}

TEST_F(Recognition, ShortHeaderAtTheEndIsNoHeader)
{
    Bytes h = HeaderBytes({1, 3, 6, 8, 8, 3, true});
    h.pop_back();
    Load(h);
    uint32_t consumed;
    EXPECT_FALSE(R().MatchFileHeader(consumed));
}

TEST_F(Recognition, ColorModeDataOfOtherModesIsPassedByItsLength)
{
    // A 32-bit document keeps colour data in RGB: any length passes, and the
    // header path goes on behind it.
    PsdBuilder b;
    b.U32(0).U32(112).Fill(112, 1);
    Load(b.Data());
    uint32_t length = 99;
    EXPECT_TRUE(R().ReadColorModeData(3, length));
    EXPECT_EQ(length, 0u);
    EXPECT_TRUE(R().ReadColorModeData(3, length));
    EXPECT_EQ(length, 112u);
    At(b.Size() - 3);
    EXPECT_FALSE(R().ReadColorModeData(1, length)) << "fewer than 4 bytes";
}

TEST_F(Recognition, RejectedColorModeDataKeepsTheHeadersProperties)
{
    // Duotone with no colour mode data: no file header path, yet the
    // header's properties are now current.
    PsdBuilder b;
    b.Header(1, 2, 3, 16, 8).U32(0).Fill(20, 0);
    Load(b.Data());
    uint32_t consumed, length;
    ASSERT_TRUE(R().MatchFileHeader(consumed));
    EXPECT_FALSE(R().ReadColorModeData(R().Properties().mode, length));
    EXPECT_EQ(+R().Properties().depth, 16);
    EXPECT_EQ(+R().Properties().height, 2u);
}

TEST_F(Recognition, IndexedPaletteGroups)
{
    struct Case {
        uint32_t length;
        std::size_t sourceBytes;
        std::size_t groups;
    } cases[] = {
        {0, 0, 0},        // passes, palette unchanged
        {770, 770, 256},  // 256 groups, 2 bytes left unread
        {30, 30, 10},
        {3000, 10, 3},    // runs past the end: the whole groups the rest holds
        {4000, 3000, 256}, // only the first 256 groups are kept
    };
    for (const Case &c : cases) {
        PsdBuilder b;
        b.U32(c.length);
        for (std::size_t i = 0; i < c.sourceBytes; ++i)
            b.U8(uint8_t(i));
        Load(b.Data());
        uint32_t length;
        EXPECT_TRUE(R().ReadColorModeData(2, length)) << c.length;
        EXPECT_EQ(length, c.length);
        ASSERT_EQ(R().Palette().size(), c.groups) << c.length;
        if (c.groups > 1) {
            EXPECT_EQ(R().Palette()[1], (std::array<uint8_t, 4>{3, 4, 5, 0xFF}));
        }
    }
}

TEST_F(Recognition, PaletteGroupsAccumulateAcrossHeaders)
{
    PsdBuilder b;
    b.U32(6).Fill(6, 0x11).U32(9).Fill(9, 0x22);
    Load(b.Data());
    uint32_t length;
    ASSERT_TRUE(R().ReadColorModeData(2, length));
    ASSERT_TRUE(R().ReadColorModeData(2, length));
    ASSERT_EQ(R().Palette().size(), 5u);
    EXPECT_EQ(R().Palette()[0][0], 0x11);
    EXPECT_EQ(R().Palette()[4][0], 0x22);
}

TEST_F(Recognition, DuotoneData)
{
    PsdBuilder b;
    b.U32(0).U32(5).Str("abcde").U32(100).Str("xy");
    Load(b.Data());
    uint32_t length;
    EXPECT_FALSE(R().ReadColorModeData(8, length)) << "duotone with length 0";
    EXPECT_TRUE(R().ReadColorModeData(8, length));
    EXPECT_EQ(R().DuotoneData(), (Bytes{'a', 'b', 'c', 'd', 'e'}));
    EXPECT_TRUE(R().ReadColorModeData(8, length)) << "cut short: what the source holds";
    EXPECT_EQ(R().DuotoneData(), (Bytes{'x', 'y'}));
}

TEST_F(Recognition, SkipSizedSection)
{
    PsdBuilder b;
    b.U32(0).U32(3).Fill(3, 0).U32(1000000).U8(1);
    Load(b.Data());
    EXPECT_TRUE(R().SkipSizedSection());
    EXPECT_EQ(source->GetPosition(), 4u);
    EXPECT_TRUE(R().SkipSizedSection());
    EXPECT_EQ(source->GetPosition(), 11u);
    EXPECT_TRUE(R().SkipSizedSection()) << "beyond the end is still accepted";
    EXPECT_EQ(source->GetPosition(), 15u + 1000000u);
    At(b.Size() - 2);
    EXPECT_FALSE(R().SkipSizedSection());
}

TEST(PathRoutines, TrailingSeparatorAndNames)
{
    using namespace zelt;
    EXPECT_EQ(AddTrailingBackslash("/photos/out"), "/photos/out/");
    EXPECT_EQ(AddTrailingBackslash("/photos/out/"), "/photos/out/");
    EXPECT_EQ(AddTrailingBackslash(""), "") << "the current directory";
    EXPECT_EQ(PathFileName("/photos/cat.psd"), "cat.psd");
    EXPECT_EQ(PathFileName("cat.psd"), "cat.psd");
    EXPECT_EQ(PathWithoutExtension("/photos/cat.psd"), "/photos/cat");
    EXPECT_EQ(PathWithoutExtension("/photos/a.b/cat"), "/photos/a.b/cat");
    EXPECT_EQ(PathExtension("/photos/cat.psd"), ".psd");
    EXPECT_EQ(PathExtension("/photos/a.b/cat"), "");
    const unsigned long n = MergedImageCounter();
    EXPECT_EQ(MergedImageName("/o/photo.psd"), "/o/photo_" + std::to_string(n) + ".psd");
    EXPECT_EQ(MergedImageName("/o/photo"), "/o/photo_" + std::to_string(n + 1));
    EXPECT_EQ(MergedImageCounter(), n + 2);
}

TEST(BytesPerSample, DepthOverEightAtLeastOne)
{
    EXPECT_EQ(zelt::BytesPerSample(1), 1u);
    EXPECT_EQ(zelt::BytesPerSample(0), 1u);
    EXPECT_EQ(zelt::BytesPerSample(8), 1u);
    EXPECT_EQ(zelt::BytesPerSample(16), 2u);
    EXPECT_EQ(zelt::BytesPerSample(32), 4u);
    EXPECT_EQ(zelt::BytesPerSample(12), 1u);
}

} // namespace
