// Builds Photoshop bytes for tests: a big-endian writer and helpers for
// headers, sections, layer records and raw or PackBits channel data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace test {

using Bytes = std::vector<uint8_t>;

class PsdBuilder {
public:
    PsdBuilder &U8(uint8_t v) { m_data.push_back(v); return *this; }
    PsdBuilder &U16(uint16_t v) { return U8(uint8_t(v >> 8)).U8(uint8_t(v)); }
    PsdBuilder &U32(uint32_t v) { return U16(uint16_t(v >> 16)).U16(uint16_t(v)); }
    PsdBuilder &I16(int16_t v) { return U16(uint16_t(v)); }
    PsdBuilder &I32(int32_t v) { return U32(uint32_t(v)); }
    PsdBuilder &Str(const std::string &s) { m_data.insert(m_data.end(), s.begin(), s.end()); return *this; }
    PsdBuilder &Append(const Bytes &b) { m_data.insert(m_data.end(), b.begin(), b.end()); return *this; }
    PsdBuilder &Fill(std::size_t n, uint8_t v) { m_data.insert(m_data.end(), n, v); return *this; }
    /// A 4-byte length, then the bytes.
    PsdBuilder &Section(const Bytes &body) { return U32(uint32_t(body.size())).Append(body); }
    /// The 26-byte file header.
    PsdBuilder &Header(uint16_t channels, uint32_t height, uint32_t width, uint16_t depth, uint16_t mode)
    {
        return Str("8BPS").U16(1).Fill(6, 0).U16(channels).U32(height).U32(width).U16(depth).U16(mode);
    }
    const Bytes &Data() const { return m_data; }
    std::size_t Size() const { return m_data.size(); }

private:
    Bytes m_data;
};

struct TestChannel {
    int16_t id;
    Bytes stored; ///< compression field and data, as the channel image data holds it
};

struct TestLayer {
    int32_t top, left, bottom, right;
    std::vector<TestChannel> channels;
    Bytes extra = {}; ///< the record's extra data
    std::string blendKey = "norm";
    uint8_t opacity = 255, clipping = 0, flags = 0; ///< flags bit 1: hidden
};

/// A layer mask's rectangle and default colour, for a record's mask data.
struct TestMask {
    int32_t top, left, bottom, right;
    uint8_t colour = 0;
};

/// A record's extra data as Photoshop lays it out: the mask data (20 bytes
/// with a mask, else none), empty blending ranges, the Pascal name padded to
/// 4 bytes, then the tagged blocks.
Bytes LayerExtra(const std::string &name, const TestMask *mask = nullptr, const Bytes &blocks = {});
/// A tagged block "8BIM" + key + 4-byte length + data.
Bytes TaggedBlock(const std::string &key, const Bytes &data);
/// The "luni" block of a name (ASCII here).
Bytes UnicodeNameBlock(const std::string &name);

/// PackBits of one row (literal and repeat runs, as Photoshop writes them).
Bytes PackBitsRow(const Bytes &row);

/// Channel data: compression 0, then the samples.
Bytes RawChannel(const Bytes &samples);
/// Channel data: compression 1, the row lengths, the packed rows. Every row
/// is packed, whatever its length.
Bytes RleChannel(const Bytes &samples, uint32_t height, uint32_t rowLength, bool large = false);
/// Run-length image data without the compression field: the row lengths
/// (2 bytes each, 4 in a large document), then the packed rows.
Bytes RleRows(const Bytes &samples, uint32_t rows, uint32_t rowLength, bool large = false);
/// Channel data: compression 2 (ZIP) of the samples, or 3 (ZIP with
/// prediction) of rows of width samples at depth.
Bytes ZipChannel(const Bytes &samples, int level = 6);
Bytes ZipPredictedChannel(const Bytes &samples, uint32_t width, uint16_t depth, int level = 6);
/// The zlib stream of the bytes. Level 0 stores them: every byte of such a
/// stream that survives a cut inflates to exactly one byte.
Bytes Deflate(const Bytes &bytes, int level = 6);
/// Rows of width samples at depth with their prediction applied (the
/// inverse of what a reader undoes).
Bytes Predict(const Bytes &samples, uint32_t width, uint16_t depth);

/// A layer info's body: the count, the records and the channel data (what
/// an Lr16 or Lr32 block holds).
Bytes LayerInfoBody(const std::vector<TestLayer> &layers, int16_t count, bool large = false);

/// A whole layer-and-mask-information section: its length, the layer info
/// (length, count, records, channel data), a global layer mask length of 0.
/// With `large`, in the large document's widths: 8-byte section, layer info
/// and channel lengths.
Bytes LayerSection(const std::vector<TestLayer> &layers, int16_t count, bool large = false);
inline Bytes LayerSection(const std::vector<TestLayer> &layers)
{
    return LayerSection(layers, int16_t(layers.size()));
}

/// A complete file: header, colour mode data, empty image resources, the
/// layer section (or an empty one), the merged image as raw planes.
Bytes PsdFile(uint16_t channels, uint32_t height, uint32_t width, uint16_t depth, uint16_t mode,
              const std::vector<TestLayer> &layers, const Bytes &mergedPlanes, const Bytes &colorModeData = {});

/// Samples h x w x bps with a pattern seeded by seed.
Bytes Pattern(std::size_t size, uint32_t seed);

} // namespace test
