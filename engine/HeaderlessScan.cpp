// What the scan finds when no header leads it: the signals of the picture's
// properties in what survives, an image-resources section recognised by its
// resource blocks (the way to a flat file's merged image), and the embedded
// preview.
#include <algorithm>
#include <cstring>
#include <set>

#include "Messages.h"
#include "PackBits.h"
#include "Preview.h"
#include "PsdRecoverer.h"

namespace zelt {
namespace {

constexpr uint32_t k8BIM = 0x3842494D;
constexpr int kMaxDepthProbes = 8;   ///< channels looked at for their depth
constexpr int kMaxRowsCompared = 8;  ///< merged rows that must decode alike
constexpr uint64_t kMaxMergedRows = 24ull * 300000;

} // namespace

void PsdRecoverer::GatherLayerSignals(PropertySignals &s, const Layout &layout, uint16_t keyDepth)
{
    const uint64_t dataStart = m_source.GetPosition();
    if (keyDepth != 0)
        s.keyDepth = keyDepth;
    s.palette = !m_palette.empty();
    std::set<int16_t> colour;
    std::optional<PixelRect> all;
    for (std::size_t i = 0; i < m_layerCount; ++i) {
        const LayerRecord &l = m_layers[i];
        if (!l.valid && !l.overBudget)
            continue;
        for (const ChannelRecord &c : l.channels)
            if (c.id >= 0 && c.id <= 3)
                colour.insert(c.id);
        if (l.Empty())
            continue;
        // The canvas starts at 0,0; a layer hanging over its top or left
        // edge does not widen it.
        if (!all)
            all = PixelRect{0, 0, 0, 0};
        all->bottom = std::max<int64_t>(all->bottom, l.bottom);
        all->right = std::max<int64_t>(all->right, l.right);
    }
    s.colourChannels = static_cast<uint32_t>(colour.size());
    s.layerUnion = all;
    // A layer at 0,0 that covers every other is the background: the canvas.
    for (std::size_t i = 0; i < m_layerCount && all; ++i) {
        const LayerRecord &l = m_layers[i];
        if ((l.valid || l.overBudget) && !l.Empty() && l.top == 0 && l.left == 0 && l.bottom >= all->bottom &&
            l.right >= all->right) {
            s.background = PixelRect{0, 0, l.bottom, l.right};
            break;
        }
    }

    // The depth told by the stored size of colour channels: a raw plane's
    // length, a run-length row's decoded length, an inflated plane's length.
    if (keyDepth == 0) {
        uint64_t pos = dataStart;
        int probes = 0;
        for (std::size_t i = 0; i < m_layerCount && probes < kMaxDepthProbes; ++i) {
            const LayerRecord &l = m_layers[i];
            for (const ChannelRecord &c : l.channels) {
                const uint64_t at = pos;
                pos += c.dataLength;
                if ((!l.valid && !l.overBudget) || l.Empty() || c.id < -1 || c.dataLength <= 2 || probes >= kMaxDepthProbes)
                    continue;
                ++probes;
                uint8_t b[4];
                m_source.SeekTo(at);
                if (!m_source.ReadExact(b, 2))
                    continue;
                std::optional<uint16_t> depth;
                const uint16_t compression = LoadBE16(b);
                if (compression == 0) {
                    depth = DepthOfPlane(c.dataLength - 2, l.height, l.width);
                } else if (compression == 1) {
                    const uint32_t w = layout.RowLengthBytes();
                    if (!m_source.ReadExact(b, w))
                        continue;
                    const auto stored = static_cast<uint32_t>(LoadBE(b, w));
                    m_source.SeekTo(at + 2 + uint64_t{l.height} * w);
                    const uint64_t produced = RowDecodedLength(stored, uint64_t{l.width} * 4 + 8);
                    depth = DepthOfPlane(produced, 1, l.width);
                } else if (compression == 2 || compression == 3) {
                    m_inflater.Start(m_source, c.dataLength - 2);
                    m_scratch.resize(64 * 1024);
                    const uint64_t most = uint64_t{l.height} * l.width * 4 + 1;
                    uint64_t total = 0;
                    while (total < most && !m_inflater.Done())
                        total += m_inflater.Fill(m_scratch.data(), std::min<uint64_t>(m_scratch.size(), most - total));
                    depth = DepthOfPlane(total, l.height, l.width);
                }
                if (depth)
                    s.channelDepths.push_back(*depth);
            }
        }
    }
    m_source.SeekTo(dataStart);
}

uint64_t PsdRecoverer::RowDecodedLength(uint32_t stored, uint64_t most)
{
    m_scratch.resize(most);
    std::vector<uint8_t> &input = m_rleInput;
    const uint32_t want = std::min<uint32_t>(stored, 1u << 20);
    if (input.size() < want + std::size_t{1})
        input.resize(want + std::size_t{1});
    const uint32_t n = m_source.Read(input.data(), want);
    if (n < want)
        return 0; // cut: tells nothing
    return DecodePackBits(input.data(), n, m_scratch.data(), most);
}

void PsdRecoverer::GatherMergedSignals(PropertySignals &s, uint64_t d, const Layout &layout)
{
    const uint64_t end = SourceLength();
    uint8_t b[4];
    m_source.SeekTo(d);
    if (d >= end || !m_source.ReadExact(b, 2))
        return;
    const uint16_t compression = LoadBE16(b);
    if (compression == 0) {
        if (end > d + 2)
            s.mergedBytes = end - d - 2;
    } else if (compression == 1) {
        // The row count N for which the table of N lengths and the rows they
        // give reach exactly to the end of the source.
        const uint32_t w = layout.RowLengthBytes();
        uint64_t sum = 0, rows = 0;
        for (uint64_t n = 1; n <= kMaxMergedRows; ++n) {
            if (!m_source.ReadExact(b, w))
                return;
            sum += LoadBE(b, w);
            const uint64_t reach = d + 2 + w * n + sum;
            if (reach == end) {
                rows = n;
                break;
            }
            if (reach > end)
                return;
        }
        if (rows == 0)
            return;
        // Every row must decode to the same length: the width's bytes.
        uint64_t at = d + 2 + w * rows, rowBytes = 0;
        for (uint64_t r = 0; r < rows && r < kMaxRowsCompared; ++r) {
            m_source.SeekTo(d + 2 + w * r);
            if (!m_source.ReadExact(b, w))
                return;
            const auto stored = static_cast<uint32_t>(LoadBE(b, w));
            m_source.SeekTo(at);
            at += stored;
            if (stored == 0)
                continue;
            const uint64_t length = RowDecodedLength(stored, 4u * 300000 + 8);
            if (length == 0 || (rowBytes != 0 && length != rowBytes))
                return;
            rowBytes = length;
        }
        if (rowBytes != 0) {
            s.mergedRows = rows;
            s.mergedRowBytes = rowBytes;
        }
    } else if (compression == 2 || compression == 3) {
        m_inflater.Start(m_source);
        m_scratch.resize(1 << 20);
        uint64_t total = 0;
        while (!m_inflater.Done())
            total += m_inflater.Fill(m_scratch.data(), m_scratch.size());
        if (total > 0)
            s.mergedBytes = total;
    }
}

void PsdRecoverer::ApplyInference(const PropertySignals &signals)
{
    PropertySignals s = signals;
    if (!s.aspect)
        s.aspect = m_previewAspect;
    const uint32_t keep = m_job.Options().flags &
                          (ZELT_KEEP_CHANNELS | ZELT_KEEP_HEIGHT | ZELT_KEEP_WIDTH | ZELT_KEEP_DEPTH | ZELT_KEEP_MODE);
    const InferredProperties inferred = InferProperties(s, m_userProperties, keep);
    m_properties = inferred.properties;
    m_pendingProperties.clear();
    if (inferred.found)
        m_pendingProperties = DescribeProperties(inferred.properties) + " (" + inferred.sources + ")";
}

// Resource blocks from start, filling exactly length bytes: "8BIM", a 2-byte
// id, a Pascal name padded to even, a 4-byte size, the data padded to even.
// A thumbnail among them gives the picture's aspect ratio.
bool PsdRecoverer::ReadResourceBlocks(uint64_t start, uint64_t length, std::optional<double> &aspect)
{
    const uint64_t end = start + length;
    uint64_t pos = start;
    uint8_t b[kThumbnailHeaderSize];
    while (pos < end) {
        m_source.SeekTo(pos);
        if (end - pos < 12 || !m_source.ReadExact(b, 7) || LoadBE32(b) != k8BIM)
            return false;
        const uint16_t id = LoadBE16(b + 4);
        const uint64_t name = (1 + uint64_t{b[6]} + 1) & ~uint64_t{1};
        m_source.SeekTo(pos + 6 + name);
        if (!m_source.ReadExact(b, 4))
            return false;
        const uint64_t size = LoadBE32(b), data = pos + 6 + name + 4;
        pos = data + ((size + 1) & ~uint64_t{1});
        if (pos > end)
            return false;
        ThumbnailHeader thumb;
        if ((id == kThumbnailResource || id == kOldThumbnailResource) && size >= kThumbnailHeaderSize &&
            m_source.ReadExact(b, kThumbnailHeaderSize) && ParseThumbnailHeader(b, thumb))
            aspect = double(thumb.width) / double(thumb.height);
    }
    return pos == end;
}

bool PsdRecoverer::MatchResourcesSection(uint64_t &mergedAt)
{
    const uint64_t start = m_source.GetPosition();
    uint8_t b[8];
    if (!m_source.ReadExact(b, 8) || LoadBE32(b + 4) != k8BIM)
        return false;
    const uint64_t length = LoadBE32(b);
    std::optional<double> aspect;
    if (length < 12 || !ReadResourceBlocks(start + 4, length, aspect))
        return false;
    m_properties = m_userProperties;
    // The colour-mode data before it: its 4-byte length, then that many
    // bytes (768 of them a palette).
    // A palette's length is looked for first: a palette ending in black
    // would read as an empty section's length.
    for (uint64_t k = 0; k <= 1025; ++k) {
        const uint64_t l = k == 0 ? 768 : k - 1;
        if (l + 4 > start || (k > 0 && l == 768))
            continue;
        m_source.SeekTo(start - 4 - l);
        if (!m_source.ReadExact(b, 4) || LoadBE32(b) != l)
            continue;
        if (l == 768 && m_palette.empty())
            for (int k = 0; k < 256; ++k) {
                std::array<uint8_t, 4> group = {0xFF, 0xFF, 0xFF, 0xFF};
                m_source.Read(group.data(), 3);
                m_palette.push_back(group);
            }
        break;
    }
    // The layer-and-mask section, passed by its length; its records, where
    // it holds any, are signals too.
    const uint64_t section = start + 4 + length;
    m_source.SeekTo(section);
    if (!m_source.ReadExact(b, 4))
        return false;
    mergedAt = section + 4 + LoadBE32(b);
    PropertySignals signals;
    signals.aspect = aspect;
    uint64_t sectionLength;
    uint16_t depth, keyDepth;
    if (LoadBE32(b) != 0 && ParseLayerSection(section, kDocumentLayout, sectionLength, depth, keyDepth)) {
        GatherLayerSignals(signals, kDocumentLayout, keyDepth);
        DiscardLayers();
    }
    signals.palette = !m_palette.empty();
    GatherMergedSignals(signals, mergedAt, kDocumentLayout);
    ApplyInference(signals);
    m_source.SeekTo(mergedAt);
    return true;
}

bool PsdRecoverer::RecoverPreview()
{
    const uint64_t start = m_source.GetPosition();
    uint8_t b[kThumbnailHeaderSize];
    if (!m_source.ReadExact(b, 7) || LoadBE32(b) != k8BIM)
        return false;
    const uint16_t id = LoadBE16(b + 4);
    if (id != kThumbnailResource && id != kOldThumbnailResource)
        return false;
    m_source.SeekTo(start + 6 + ((1 + uint64_t{b[6]} + 1) & ~uint64_t{1}));
    if (!m_source.ReadExact(b, 4))
        return false;
    const uint64_t size = LoadBE32(b);
    ThumbnailHeader thumb;
    if (size < kThumbnailHeaderSize + 4 || !m_source.ReadExact(b, kThumbnailHeaderSize) || !ParseThumbnailHeader(b, thumb))
        return false;
    const uint64_t bytes = std::min<uint64_t>(thumb.compressedSize, size - kThumbnailHeaderSize);
    if (bytes > (16u << 20))
        return false;
    std::vector<uint8_t> jpeg(bytes);
    jpeg.resize(m_source.ReadLarge(jpeg.data(), jpeg.size()));
    if (jpeg.size() < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8)
        return false;
    m_previewAspect = double(thumb.width) / double(thumb.height);
    if (!m_job.Flag(ZELT_RECOVER_PREVIEW))
        return false;
    if (id == kOldThumbnailResource) {
        // Old thumbnails keep blue where red belongs.
        std::vector<uint8_t> swapped = SwapJpegRedBlue(jpeg);
        if (!swapped.empty())
            jpeg.swap(swapped);
    }
    OutputFile file(m_job);
    if (!file.Create(m_namer, m_outputDir + PathWithoutExtension(PathFileName(m_sourcePath)) + "_preview.jpg",
                     std::strlen("_preview")))
        return false;
    file.Out().Write(jpeg.data(), jpeg.size());
    file.Close();
    ++m_recovered;
    return true;
}

} // namespace zelt
