#include "PsdBuilder.h"

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

Bytes RleChannel(const Bytes &samples, uint32_t height, uint32_t rowLength)
{
    PsdBuilder b;
    b.U16(1);
    std::vector<Bytes> rows;
    for (uint32_t r = 0; r < height; ++r) {
        Bytes row(samples.begin() + long(r * rowLength), samples.begin() + long((r + 1) * rowLength));
        rows.push_back(rowLength < 8 ? row : PackBitsRow(row));
        b.U16(uint16_t(rows.back().size()));
    }
    for (const Bytes &r : rows)
        b.Append(r);
    return b.Data();
}

Bytes LayerSection(const std::vector<TestLayer> &layers, int16_t count)
{
    PsdBuilder info;
    info.I16(count);
    for (const TestLayer &l : layers) {
        info.I32(l.top).I32(l.left).I32(l.bottom).I32(l.right).U16(uint16_t(l.channels.size()));
        for (const TestChannel &c : l.channels)
            info.I16(c.id).U32(uint32_t(c.stored.size()));
        info.Str("8BIM").Str("norm").U8(255).U8(0).U8(0).U8(0).Section(l.extra);
    }
    for (const TestLayer &l : layers)
        for (const TestChannel &c : l.channels)
            info.Append(c.stored);
    PsdBuilder body;
    body.Section(info.Data()).U32(0);
    PsdBuilder section;
    section.Section(body.Data());
    return section.Data();
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
