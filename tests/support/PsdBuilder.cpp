#include "PsdBuilder.h"

#include <stdexcept>
#include <zlib.h>

namespace test {

Bytes PackBitsRow(const Bytes &row)
{
    Bytes out;
    std::size_t i = 0;
    while (i < row.size()) {
        std::size_t run = 1;
        while (i + run < row.size() && run < 128 && row[i + run] == row[i])
            ++run;
        if (run >= 2) {
            out.push_back(uint8_t(257 - run));
            out.push_back(row[i]);
            i += run;
            continue;
        }
        std::size_t lit = 1;
        while (i + lit < row.size() && lit < 128 &&
               !(i + lit + 1 < row.size() && row[i + lit] == row[i + lit + 1]))
            ++lit;
        out.push_back(uint8_t(lit - 1));
        out.insert(out.end(), row.begin() + long(i), row.begin() + long(i + lit));
        i += lit;
    }
    return out;
}

Bytes RawChannel(const Bytes &samples)
{
    PsdBuilder b;
    b.U16(0).Append(samples);
    return b.Data();
}

Bytes RleRows(const Bytes &samples, uint32_t rows, uint32_t rowLength, bool large)
{
    PsdBuilder lengths, packed;
    for (uint32_t r = 0; r < rows; ++r) {
        const Bytes row = PackBitsRow(Bytes(samples.begin() + long(r * rowLength), samples.begin() + long((r + 1) * rowLength)));
        if (large)
            lengths.U32(uint32_t(row.size()));
        else
            lengths.U16(uint16_t(row.size()));
        packed.Append(row);
    }
    return lengths.Append(packed.Data()).Data();
}

Bytes RleChannel(const Bytes &samples, uint32_t height, uint32_t rowLength, bool large)
{
    PsdBuilder b;
    return b.U16(1).Append(RleRows(samples, height, rowLength, large)).Data();
}

Bytes LayerExtra(const std::string &name, const TestMask *mask, const Bytes &blocks)
{
    PsdBuilder b;
    if (mask)
        b.U32(20).I32(mask->top).I32(mask->left).I32(mask->bottom).I32(mask->right).U8(mask->colour).U8(0).U16(0);
    else
        b.U32(0);
    b.U32(0).U8(uint8_t(name.size())).Str(name);
    while ((b.Size() - (mask ? 24 : 4) - 4) % 4 != 0)
        b.U8(0);
    return b.Append(blocks).Data();
}

Bytes TaggedBlock(const std::string &key, const Bytes &data)
{
    PsdBuilder b;
    return b.Str("8BIM").Str(key).Section(data).Data();
}

Bytes UnicodeNameBlock(const std::string &name)
{
    PsdBuilder b;
    b.U32(uint32_t(name.size()));
    for (char c : name)
        b.U16(uint8_t(c));
    return TaggedBlock("luni", b.Data());
}

Bytes Deflate(const Bytes &bytes, int level)
{
    uLongf size = compressBound(uLong(bytes.size()));
    Bytes out(size);
    if (compress2(out.data(), &size, bytes.data(), uLong(bytes.size()), level) != Z_OK)
        throw std::runtime_error("compress failed");
    out.resize(size);
    return out;
}

Bytes Predict(const Bytes &samples, uint32_t width, uint16_t depth)
{
    const std::size_t bps = depth / 8 ? depth / 8 : 1, row = std::size_t(width) * bps;
    Bytes out = samples;
    for (std::size_t at = 0; at + row <= out.size(); at += row) {
        uint8_t *r = out.data() + at;
        if (depth == 16) {
            for (std::size_t i = row; i >= 4; i -= 2) {
                const uint16_t v = uint16_t(r[i - 2] << 8 | r[i - 1]), p = uint16_t(r[i - 4] << 8 | r[i - 3]);
                const uint16_t d = uint16_t(v - p);
                r[i - 2] = uint8_t(d >> 8);
                r[i - 1] = uint8_t(d);
            }
        } else {
            if (depth == 32) { // the byte planes of the row, then byte deltas
                Bytes planes(row);
                for (std::size_t x = 0; x < width; ++x)
                    for (std::size_t b = 0; b < 4; ++b)
                        planes[b * width + x] = r[x * 4 + b];
                std::copy(planes.begin(), planes.end(), r);
            }
            for (std::size_t i = row; i-- > 1;)
                r[i] = uint8_t(r[i] - r[i - 1]);
        }
    }
    return out;
}

Bytes ZipChannel(const Bytes &samples, int level)
{
    PsdBuilder b;
    return b.U16(2).Append(Deflate(samples, level)).Data();
}

Bytes ZipPredictedChannel(const Bytes &samples, uint32_t width, uint16_t depth, int level)
{
    PsdBuilder b;
    return b.U16(3).Append(Deflate(Predict(samples, width, depth), level)).Data();
}

Bytes LayerInfoBody(const std::vector<TestLayer> &layers, int16_t count, bool large)
{
    PsdBuilder info;
    info.I16(count);
    for (const TestLayer &l : layers) {
        info.I32(l.top).I32(l.left).I32(l.bottom).I32(l.right).U16(uint16_t(l.channels.size()));
        for (const TestChannel &c : l.channels) {
            info.I16(c.id);
            if (large)
                info.U32(0);
            info.U32(uint32_t(c.stored.size()));
        }
        info.Str("8BIM").Str(l.blendKey).U8(l.opacity).U8(l.clipping).U8(l.flags).U8(0).Section(l.extra);
    }
    for (const TestLayer &l : layers)
        for (const TestChannel &c : l.channels)
            info.Append(c.stored);
    return info.Data();
}

Bytes LayerSection(const std::vector<TestLayer> &layers, int16_t count, bool large)
{
    const Bytes info = LayerInfoBody(layers, count, large);
    PsdBuilder body;
    if (large)
        body.U32(0);
    body.Section(info).U32(0);
    PsdBuilder section;
    if (large)
        section.U32(0);
    return section.Section(body.Data()).Data();
}

Bytes PsdFile(uint16_t channels, uint32_t height, uint32_t width, uint16_t depth, uint16_t mode,
              const std::vector<TestLayer> &layers, const Bytes &mergedPlanes, const Bytes &colorModeData)
{
    PsdBuilder b;
    b.Header(channels, height, width, depth, mode).Section(colorModeData).U32(0);
    if (layers.empty())
        b.U32(0);
    else
        b.Append(LayerSection(layers));
    b.U16(0).Append(mergedPlanes);
    return b.Data();
}

Bytes Pattern(std::size_t size, uint32_t seed)
{
    Bytes out(size);
    uint32_t x = seed * 2654435761u + 12345u;
    for (std::size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        // Runs and noise both, so PackBits has work of both kinds.
        out[i] = (i / 7) % 3 == 0 ? uint8_t(seed + i / 7) : uint8_t(x >> 24);
    }
    return out;
}

} // namespace test
