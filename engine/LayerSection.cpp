// Layer-and-mask-information sections: the layer records and the channel
// image data behind them.
#include <cstring>

#include "Messages.h"
#include "PackBits.h"
#include "PsdRecoverer.h"

namespace zelt {

static constexpr int64_t kMaxLayerSide = 300000;

bool PsdRecoverer::RecoverLayerSection(uint32_t &sectionLength, uint32_t &filesWritten)
{
    sectionLength = filesWritten = 0;
    uint8_t b[8];
    if (!m_source.ReadExact(b, 4))
        return false;
    sectionLength = LoadBE32(b);
    if (sectionLength == 0 || !m_source.ReadExact(b + 4, 4))
        return false;
    const uint32_t infoLength = LoadBE32(b + 4);
    // 64-bit sums: "layer info length + 4" never wraps.
    if (infoLength == 0 || infoLength > sectionLength || uint64_t{infoLength} + 4 > sectionLength)
        return false;
    const uint64_t end = m_source.GetPosition() + infoLength;

    if (!ReadLayerRecords(end) || m_layerCount == 0) {
        DiscardLayers();
        return false;
    }

    // One layer at a time: read its channels, write its files, release its
    // samples. The files and messages are those of reading every layer first.
    bool stopped = false;
    try {
        for (std::size_t i = 0; i < m_layerCount; ++i) {
            LayerRecord &layer = m_layers[i];
            // The layer's sample buffers come from the pool, which keeps their
            // memory for the next layer instead of giving it back each time.
            for (std::size_t c = 0; c < layer.channels.size(); ++c)
                layer.channels[c].samples.swap(m_samplePool[c]);
            ReadChannelData(layer, stopped);
            if (layer.valid) {
                m_job.NotifyFormatted(MSG_STATUS, kMsgReadLayer, static_cast<unsigned>(i));
                if (WriteLayerFile(layer, static_cast<uint32_t>(i))) {
                    ++filesWritten;
                    ++m_recovered;
                }
            }
            for (std::size_t c = 0; c < layer.channels.size(); ++c)
                layer.channels[c].samples.swap(m_samplePool[c]);
        }
    } catch (...) {
        DiscardLayers();
        throw;
    }
    DiscardLayers();
    return true;
}

void PsdRecoverer::DiscardLayers()
{
    for (std::size_t i = 0; i < m_layerCount; ++i)
        for (std::size_t c = 0; c < m_layers[i].channels.size(); ++c)
            if (!m_layers[i].channels[c].samples.empty())
                m_layers[i].channels[c].samples.swap(m_samplePool[c]);
    m_layerCount = 0;
}

bool PsdRecoverer::ReadLayerRecords(uint64_t end)
{
    // Every field read is checked: a short read, or a position past end after
    // the read, fails the whole section.
    auto field = [&](uint8_t *dst, uint32_t n) {
        return m_source.ReadExact(dst, n) && m_source.GetPosition() <= end;
    };
    uint8_t b[16];
    m_layerCount = 0;
    if (!field(b, 2))
        return false;
    const int16_t stored = static_cast<int16_t>(LoadBE16(b));
    const uint32_t count = stored < 0 ? static_cast<uint32_t>(-int32_t{stored}) : static_cast<uint32_t>(stored);
    const uint32_t bps = BytesPerSample(m_properties.depth);

    for (uint32_t k = 0; k < count; ++k) {
        if (m_layerCount == m_layers.size())
            m_layers.emplace_back();
        LayerRecord &r = m_layers[m_layerCount++];
        r.valid = true;
        r.channels.clear();

        if (!field(b, 16))
            return false;
        r.top = static_cast<int32_t>(LoadBE32(b));
        r.left = static_cast<int32_t>(LoadBE32(b + 4));
        r.bottom = static_cast<int32_t>(LoadBE32(b + 8));
        r.right = static_cast<int32_t>(LoadBE32(b + 12));
        // Exact differences of the signed bounds, in 64 bits.
        const int64_t h = int64_t{r.bottom} - r.top, w = int64_t{r.right} - r.left;
        if (h < 0 || h > kMaxLayerSide || w < 0 || w > kMaxLayerSide)
            r.valid = false;
        r.height = static_cast<uint32_t>(h);
        r.width = static_cast<uint32_t>(w);

        if (!field(b, 2))
            return false;
        const uint16_t channelCount = LoadBE16(b);
        if (channelCount > 24)
            return false;
        for (uint16_t c = 0; c < channelCount; ++c) {
            if (!field(b, 6))
                return false;
            ChannelRecord &ch = r.channels.emplace_back();
            ch.id = static_cast<int16_t>(LoadBE16(b));
            ch.dataLength = LoadBE32(b + 2);
        }
        if (!field(b, 4) || LoadBE32(b) != kBlendSignature)
            return false;
        m_source.SeekTo(m_source.GetPosition() + 8);
        if (!field(b, 4))
            return false;
        m_source.SeekTo(m_source.GetPosition() + LoadBE32(b));

        // A layer too large to hold in memory is passed over like one whose
        // bounds fail: its data is skipped by the stored lengths.
        if (r.valid) {
            auto plane = CheckedMul(r.height, r.width, bps);
            auto total = plane ? CheckedMul(*plane, r.channels.size()) : std::nullopt;
            if (!total || *total > m_memoryBudget)
                r.valid = false;
        }
    }
    return true;
}

void PsdRecoverer::ReadChannelData(LayerRecord &layer, bool &stopped)
{
    const uint32_t bps = BytesPerSample(m_properties.depth);
    const std::size_t rowLength = std::size_t{layer.width} * bps;
    const std::size_t planeSize = rowLength * layer.height; // checked against the budget

    for (ChannelRecord &ch : layer.channels) {
        const uint64_t start = m_source.GetPosition();
        if (!layer.valid) {
            m_source.SeekTo(start + ch.dataLength);
            continue;
        }
        // Every sample not read or decoded below is 0xFF; the buffer is
        // filled only where that is so.
        ch.samples.resize(planeSize);
        uint8_t *samples = ch.samples.data();
        std::size_t done = 0; // samples read or decoded, from the start
        if (!stopped && uint64_t{ch.dataLength} > uint64_t{2} * layer.height) {
            uint8_t b[2];
            if (!m_source.ReadExact(b, 2)) {
                stopped = true;
            } else if (const uint16_t compression = LoadBE16(b); compression == 0) {
                done = m_source.ReadLarge(samples, planeSize);
            } else if (compression == 1) {
                const std::size_t lengthsSize = std::size_t{layer.height} * 2;
                m_rowLengths.resize(lengthsSize);
                if (lengthsSize > 0 &&
                    m_source.Read(m_rowLengths.data(), static_cast<uint32_t>(lengthsSize)) != lengthsSize) {
                    stopped = true;
                } else {
                    // A row whose stored bytes run out is kept as decoded; the
                    // rows after it are not decoded.
                    for (uint32_t r = 0; r < layer.height; ++r) {
                        const uint16_t stored = LoadBE16(m_rowLengths.data() + std::size_t{r} * 2);
                        const bool whole = DecodeRleRow(m_source, rowLength, stored, samples + done, m_rleInput);
                        done += rowLength;
                        if (!whole)
                            break;
                    }
                }
            }
        }
        if (done < planeSize)
            std::memset(samples + done, 0xFF, planeSize - done);
        if (!stopped)
            m_source.SeekTo(start + ch.dataLength);
    }
}

} // namespace zelt
