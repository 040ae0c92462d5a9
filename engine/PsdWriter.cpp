// The recovered-file writer. Every file has one layout: a header, the colour
// mode data, empty image resources, an empty layer section, and the picture
// as the file's own uncompressed merged image. Pictures wider or taller than
// a document allows, or of 2 GiB and more, are written as large documents.
#include <algorithm>
#include <cctype>
#include <cstdio>

#include "File64.h"
#include "Messages.h"
#include "PsdRecoverer.h"

namespace zelt {

Layout PsdRecoverer::LayoutForFile(uint32_t height, uint32_t width, uint64_t bytes) const
{
    return Layout{height > kMaxDocumentSide || width > kMaxDocumentSide || bytes >= kMaxDocumentBytes};
}

std::string PsdRecoverer::WithExtension(const std::string &path, const Layout &layout)
{
    if (layout.large)
        return PathWithoutExtension(path) + ".psb";
    // A picture of a large document's source that fits a document is one.
    std::string ext = PathExtension(path);
    for (char &c : ext)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext == ".psb" ? PathWithoutExtension(path) + ".psd" : path;
}

void PsdRecoverer::AppendColorModeData(uint16_t mode, std::vector<uint8_t> &out) const
{
    uint8_t len[4];
    if (mode == 2) {
        StoreBE32(len, 768);
        out.insert(out.end(), len, len + 4);
        for (std::size_t k = 0; k < 256; ++k) {
            if (k < m_palette.size())
                out.insert(out.end(), m_palette[k].begin(), m_palette[k].begin() + 3);
            else
                out.insert(out.end(), 3, 0xFF);
        }
    } else if (mode == 8) {
        StoreBE32(len, static_cast<uint32_t>(m_duotone.size()));
        out.insert(out.end(), len, len + 4);
        out.insert(out.end(), m_duotone.begin(), m_duotone.end());
    } else {
        StoreBE32(len, 0);
        out.insert(out.end(), len, len + 4);
    }
}

// Everything up to the first plane: header, colour mode data, empty image
// resources, an empty layer-and-mask section and the compression field 0.
uint16_t PsdRecoverer::WrittenMode(uint16_t mode) const
{
    // Duotone pictures are grey ones with ink data: without the data (the
    // header that held it is lost) no reader takes them as duotone.
    return mode == 8 && m_duotone.empty() ? 1 : mode;
}

void PsdRecoverer::WriteFileHead(OutputStream &out, const Layout &layout, uint16_t channels, uint32_t height,
                                 uint32_t width, uint16_t depth, uint16_t mode)
{
    mode = WrittenMode(mode);
    std::vector<uint8_t> head(26, 0);
    StoreBE32(head.data(), kSignature);
    StoreBE16(head.data() + 4, layout.Version());
    StoreBE16(head.data() + 12, channels);
    StoreBE32(head.data() + 14, height);
    StoreBE32(head.data() + 18, width);
    StoreBE16(head.data() + 22, depth);
    StoreBE16(head.data() + 24, mode);
    AppendColorModeData(mode, head);
    out.Write(head.data(), head.size());
    const uint32_t n = layout.LengthBytes();
    out.WriteBE(0, 4);          // image resources
    out.WriteBE(n + 4, n);      // layer and mask information: an empty layer info, no global mask
    out.WriteBE(0, n);
    out.WriteBE(0, 4);
    out.WriteBE(0, 2);          // raw planes
}

uint16_t PsdRecoverer::LayerFileMode(const LayerRecord &layer) const
{
    const uint16_t mode = m_properties.mode;
    const auto colour = static_cast<uint32_t>(
        std::count_if(layer.channels.begin(), layer.channels.end(), [](const ChannelRecord &c) { return c.id >= 0; }));
    const uint32_t wanted = ModeColourChannels(mode);
    if (wanted == 0 || colour == wanted)
        return mode;
    if (colour == 1)
        return m_properties.depth == 1 ? 0 : 1;
    return 7;
}

namespace {

// Sets count samples of a row to a mask's default colour (0 or 255) at depth.
void FillDefault(uint8_t *row, uint64_t bytes, uint8_t colour, uint16_t depth)
{
    if (depth == 32 && colour != 0) {
        for (uint64_t i = 0; i + 4 <= bytes; i += 4)
            StoreBE32(row + i, 0x3F800000); // 1.0
        return;
    }
    std::fill(row, row + bytes, colour == 0 ? uint8_t{0} : uint8_t{0xFF});
}

// Copies count pixels of a packed 1-bit row from bit `from` to bit `to`.
void CopyBits(const uint8_t *src, uint64_t from, uint8_t *dst, uint64_t to, uint64_t count)
{
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t s = from + i, d = to + i;
        const uint8_t bit = static_cast<uint8_t>((src[s / 8] >> (7 - s % 8)) & 1);
        dst[d / 8] = static_cast<uint8_t>((dst[d / 8] & ~(1u << (7 - d % 8))) | (unsigned{bit} << (7 - d % 8)));
    }
}

} // namespace

void PsdRecoverer::WriteLayerPlane(OutputStream &out, const LayerRecord &layer, const ChannelRecord &c,
                                   uint16_t depth)
{
    const MaskRect *mask = layer.MaskFor(c.id);
    const uint64_t rowBytes = RowBytes(layer.width, depth);
    if (!mask) {
        out.Write(c.samples.data(), c.samples.size());
        return;
    }
    // A mask is written at the layer's size: placed where it lies relative
    // to the layer, its default colour around it; without a rectangle the
    // plane is 0xFF, with a rectangle that cannot hold pixels its default
    // colour.
    if (!mask->present) {
        out.Fill(0xFF, rowBytes * layer.height);
        return;
    }
    std::vector<uint8_t> row(rowBytes);
    const uint32_t bps = BytesPerSample(depth);
    const uint64_t maskRowBytes = RowBytes(c.width, depth);
    for (uint32_t y = 0; y < layer.height; ++y) {
        FillDefault(row.data(), rowBytes, mask->defaultColour, depth);
        const int64_t my = int64_t{layer.top} + y - mask->top;
        if (mask->usable && my >= 0 && my < int64_t{c.height} && !c.samples.empty()) {
            // The columns the layer and the mask share.
            const int64_t x0 = std::max<int64_t>(layer.left, mask->left);
            const int64_t x1 = std::min<int64_t>(int64_t{layer.left} + layer.width, mask->right);
            if (x0 < x1) {
                const auto count = static_cast<uint64_t>(x1 - x0);
                const auto lx = static_cast<uint64_t>(x0 - layer.left), mx = static_cast<uint64_t>(x0 - mask->left);
                const uint8_t *src = c.samples.data() + static_cast<uint64_t>(my) * maskRowBytes;
                if (depth == 1)
                    CopyBits(src, mx, row.data(), lx, count);
                else
                    std::copy(src + mx * bps, src + (mx + count) * bps, row.data() + lx * bps);
            }
        }
        out.Write(row.data(), row.size());
    }
}

bool PsdRecoverer::WriteLayerFile(const LayerRecord &layer, uint32_t index, uint16_t depth)
{
    const uint16_t mode = LayerFileMode(layer);
    const uint64_t plane = RowBytes(layer.width, depth) * layer.height;
    const Layout layout = LayoutForFile(layer.height, layer.width, 64 + 768 + plane * layer.channels.size());
    char name[4096 + 64];
    std::snprintf(name, sizeof name, LoadMessage(kMsgLayerFileName), m_outputDir.c_str(), index);
    OutputFile file(m_job);
    if (!file.Create(m_namer, WithExtension(name, layout), std::string(PathWithoutExtension(PathFileName(name))).size()))
        return false;
    const auto channels = static_cast<uint16_t>(layer.channels.size());
    WriteFileHead(file.Out(), layout, channels, layer.height, layer.width, depth, mode);
    for (const ChannelRecord &c : layer.channels)
        if (c.id >= 0)
            WriteLayerPlane(file.Out(), layer, c, depth);
    for (const ChannelRecord &c : layer.channels)
        if (c.id < 0)
            WriteLayerPlane(file.Out(), layer, c, depth);
    WriteMaskFile(layer, depth, file.Path());
    file.Close();
    return true;
}

void PsdRecoverer::WriteMaskFile(const LayerRecord &layer, uint16_t depth, const std::string &layerPath)
{
    const ChannelRecord *alpha = FindChannel(layer.channels, -1);
    if (!alpha || !EnoughSamples(alpha->fromSource, alpha->samples.size()))
        return;
    // A grey picture of the transparency: three equal planes of RGB, or at
    // depth 1, where RGB has no pictures, one plane of Bitmap.
    const uint16_t planes = depth == 1 ? 1 : 3;
    const Layout layout =
        LayoutForFile(layer.height, layer.width, 64 + alpha->samples.size() * planes);
    const std::string path = PathWithoutExtension(layerPath) + "_mask" + PathExtension(WithExtension(layerPath, layout));
    OutputFile file(m_job);
    if (!file.Create(m_namer, path, PathWithoutExtension(PathFileName(path)).size()))
        return;
    WriteFileHead(file.Out(), layout, planes, layer.height, layer.width, depth, depth == 1 ? 0 : 3);
    for (uint16_t p = 0; p < planes; ++p)
        file.Out().Write(alpha->samples.data(), alpha->samples.size());
    file.Close();
}

} // namespace zelt
