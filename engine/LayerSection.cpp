// Layer-and-mask-information sections: the layer records and the channel
// image data behind them, in the main layer info or in a tagged block
// (Lr16, Lr32) of 16- and 32-bit documents, in either layout.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "DocumentWriter.h"
#include "Messages.h"
#include "LayerSectionReader.h"
#include "PackBits.h"
#include "PsdRecoverer.h"

namespace zelt {

/// The most tagged blocks looked at behind a section's global layer mask info.
static constexpr int kMaxTaggedBlocks = 64;

bool PsdRecoverer::InsideRecoveredSection(uint64_t position) const
{
    return std::any_of(m_recoveredSections.begin(), m_recoveredSections.end(),
                       [position](const auto &r) { return position >= r.first && position < r.second; });
}

bool PsdRecoverer::RecoverLayerSection(uint64_t &sectionLength, uint32_t &filesWritten)
{
    sectionLength = filesWritten = 0;
    const uint64_t start = m_source.GetPosition();
    // At the key of a tagged block of layers, the key and the block's length
    // look like a section's two lengths: the block is read by itself.
    if (start >= 4) {
        uint8_t b[8];
        m_source.SeekTo(start - 4);
        if (m_source.ReadExact(b, 8) && MayStartLayerBlock(b))
            return false;
    }
    // Inside the records and channel data of a section already recovered,
    // what looks like a section is a part of that one.
    if (std::any_of(m_recoveredInfos.begin(), m_recoveredInfos.end(),
                    [start](const auto &r) { return start >= r.first && start < r.second; }))
        return false;
    if (LayoutFixedAt(start))
        return TryLayerSection(start, m_layout, sectionLength, filesWritten);
    return TryLayerSection(start, kDocumentLayout, sectionLength, filesWritten) ||
           TryLayerSection(start, kLargeLayout, sectionLength, filesWritten);
}

bool PsdRecoverer::ParseLayerSection(uint64_t start, const Layout &layout, uint64_t &section, uint16_t &depth,
                                     uint16_t &keyDepth)
{
    const uint32_t n = layout.LengthBytes();
    uint8_t b[16];
    m_source.SeekTo(start);
    if (!m_source.ReadExact(b, n))
        return false;
    section = LoadBE(b, n);
    if (section == 0 || section > kMaxSectionLength || !m_source.ReadExact(b + 8, n))
        return false;
    const uint64_t infoLength = LoadBE(b + 8, n);
    depth = m_properties.depth;
    keyDepth = 0;
    uint64_t end;
    if (infoLength == 0) {
        // Layers of a 16- or 32-bit document: in a tagged block behind the
        // global layer mask info.
        uint64_t body, length;
        if (!FindLayerBlock(m_source.GetPosition(), start + n + section, layout, body, length, depth))
            return false;
        keyDepth = depth;
        m_source.SeekTo(body);
        end = body + length;
        m_parsedInfo = {body, end};
        m_infoEnd = end;
    } else {
        // 64-bit sums: "layer info length + its field" never wraps.
        if (infoLength > section || infoLength + n > section)
            return false;
        end = m_source.GetPosition() + infoLength;
        m_parsedInfo = {m_source.GetPosition(), end};
        m_infoEnd = end;
    }
    const uint64_t countAt = m_parsedInfo.first;
    const bool salvage = m_job.Flag(ZELT_RECOVER_SALVAGE);
    if (!ReadLayerRecords(end, layout, depth) || m_layerCount == 0) {
        // A broken record does not end the section: the records after it,
        // and every layer whose data can be placed, are read all the same.
        if (salvage && SalvageLayerInfo(countAt, end, layout, depth))
            return true;
        DiscardLayers();
        return false;
    }
    // Records that read, but whose lengths put the layers' data out of
    // place, are salvaged too.
    if (salvage) {
        RepairChannelIds(m_layers, m_layerCount, ModeColourChannels(m_properties.mode));
        const uint64_t dataAt = m_source.GetPosition();
        LayerSectionReader reader(m_source, layout, depth, m_memoryBudget);
        if (!reader.PlacementHolds(m_layers, m_layerCount, dataAt, end)) {
            // The salvage is taken where more layers' data check than in
            // the plain reading; else the plain reading stands.
            const std::vector<LayerRecord> plain(m_layers.begin(), m_layers.begin() + long(m_layerCount));
            const int16_t storedCount = m_storedLayerCount;
            const std::size_t plainChecks = reader.LayersThatCheck(plain, plain.size(), dataAt);
            if (SalvageLayerInfo(countAt, end, layout, depth, true) &&
                reader.LayersThatCheck(m_layers, m_layerCount, std::nullopt) > plainChecks)
                return true;
            if (m_layers.size() < plain.size())
                m_layers.resize(plain.size());
            std::copy(plain.begin(), plain.end(), m_layers.begin());
            m_layerCount = plain.size();
            m_storedLayerCount = storedCount;
            m_salvaged = false;
        }
        m_source.SeekTo(dataAt);
    }
    return true;
}

// A channel id no file holds (a flipped bit, a zeroed byte) is the one id
// the record lacks: a colour when one is missing, else the transparency,
// else a mask the record has the rectangle of. The layer's data is read in
// the order of its records, so the id is all the damage took; other readers
// refuse an id they do not know.
void RepairChannelIds(std::vector<LayerRecord> &layers, std::size_t count, uint32_t colours)
{
    for (std::size_t i = 0; i < count && colours > 0; ++i) {
        LayerRecord &layer = layers[i];
        std::vector<ChannelRecord> &ch = layer.channels;
        const auto unknown = [](const ChannelRecord &c) { return c.id < -3 || c.id > 56; };
        if (!layer.valid || std::count_if(ch.begin(), ch.end(), unknown) != 1)
            continue;
        std::vector<int16_t> missing;
        for (uint32_t c = 0; c < colours; ++c)
            if (!FindChannel(ch, static_cast<int16_t>(c)))
                missing.push_back(static_cast<int16_t>(c));
        if (missing.empty() && !FindChannel(ch, -1))
            missing.push_back(-1);
        if (missing.empty() && layer.mask.present && !FindChannel(ch, -2))
            missing.push_back(-2);
        if (missing.empty() && layer.realMask.present && !FindChannel(ch, -3))
            missing.push_back(-3);
        if (missing.size() != 1)
            continue;
        std::find_if(ch.begin(), ch.end(), unknown)->id = missing[0];
        layer.idRepaired = true;
    }
}

bool PsdRecoverer::TryLayerSection(uint64_t start, const Layout &layout, uint64_t &sectionLength,
                                   uint32_t &filesWritten)
{
    // Without a header every section is read with what its own data says.
    if (HeuristicActive())
        m_properties = m_userProperties;
    uint64_t section;
    uint16_t depth, keyDepth;
    if (!ParseLayerSection(start, layout, section, depth, keyDepth))
        return false;
    if (HeuristicActive()) {
        const uint64_t dataStart = m_source.GetPosition();
        PropertySignals signals;
        GatherLayerSignals(signals, layout, keyDepth);
        GatherMergedSignals(signals, start + layout.LengthBytes() + section, layout);
        ApplyInference(signals);
        m_source.SeekTo(dataStart);
        if (keyDepth == 0 && depth != m_properties.depth) {
            depth = m_properties.depth;
            for (std::size_t i = 0; i < m_layerCount; ++i)
                if (m_layers[i].valid || m_layers[i].overBudget)
                    CheckLayerBudget(m_layers[i], depth, m_memoryBudget);
        }
    }
    sectionLength = section;
    m_sectionLayout = layout;
    const uint64_t infoStart = m_parsedInfo.first;
    const uint64_t d = start + layout.LengthBytes() + section;
    uint64_t mergedFromSource = 0;
    if (m_job.Flag(ZELT_RECOVER_REBUILD) && depth == m_properties.depth) {
        // A merged image written before is whole enough; one still to come
        // counts what its reading will take from the source.
        if (m_recoveredImages && m_recoveredImages->count(d) != 0)
            mergedFromSource = std::max<uint64_t>(1, uint64_t{m_properties.channels} * RowBytes(m_properties.width, m_properties.depth) * m_properties.height);
        else
            mergedFromSource = MergedImageFromSource(d, layout);
    }
    RecoverLayers(depth, layout, filesWritten, mergedFromSource != 0, mergedFromSource);
    NoteRecovered(start, infoStart, filesWritten);
    return true;
}

// What a section whose layers came back holds: from its start to the end of
// the channel data read. Only that range, and only of a section that gave a
// layer file, is taken as the section's own; beyond it a header or a section
// may start, however far the section's lengths say it reaches.
void PsdRecoverer::NoteRecovered(uint64_t start, uint64_t infoStart, uint32_t filesWritten, uint64_t recordsEnd)
{
    const uint64_t end = std::max({m_consumedEnd, infoStart, recordsEnd});
    m_readInfos.emplace_back(infoStart, end);
    if (filesWritten == 0)
        return;
    m_recoveredSections.emplace_back(start, end);
    m_recoveredInfos.emplace_back(infoStart, end);
}

// The tagged blocks of a section from `from` (its global layer mask info) to
// end: the body of the first that holds layers, and the depth its key
// states. Blocks are padded to 4 bytes by most writers, to 2 by some.
bool PsdRecoverer::FindLayerBlock(uint64_t from, uint64_t end, const Layout &layout, uint64_t &body,
                                  uint64_t &length, uint16_t &depth)
{
    uint8_t b[12];
    m_source.SeekTo(from);
    if (!m_source.ReadExact(b, 4))
        return false;
    uint64_t pos = from + 4 + LoadBE32(b);
    for (int k = 0; k < kMaxTaggedBlocks && pos + 12 <= end; ++k) {
        m_source.SeekTo(pos);
        if (!m_source.ReadExact(b, 8))
            return false;
        const uint32_t sig = LoadBE32(b), key = LoadBE32(b + 4);
        if (sig != kBlendSignature && sig != kSignature64)
            return false;
        const uint32_t w = layout.TaggedLengthBytes(key);
        if (!m_source.ReadExact(b, w))
            return false;
        const uint64_t len = LoadBE(b, w);
        const uint64_t data = m_source.GetPosition();
        if (len > end - std::min(end, data))
            return false;
        if (key == FourCC("Lr16") || key == FourCC("Lr32")) {
            body = data;
            length = len;
            depth = key == FourCC("Lr16") ? 16 : 32;
            return true;
        }
        // The next block: where a signature is, after padding to 4, to 2 or
        // none.
        const uint64_t next = data + len;
        const uint64_t tries[3] = {(next + 3) & ~uint64_t{3}, next + (len & 1), next};
        pos = end;
        for (uint64_t t : tries) {
            m_source.SeekTo(t);
            if (m_source.ReadExact(b, 4) && (LoadBE32(b) == kBlendSignature || LoadBE32(b) == kSignature64)) {
                pos = t;
                break;
            }
        }
    }
    return false;
}

bool PsdRecoverer::RecoverLayerBlock(uint32_t &filesWritten)
{
    filesWritten = 0;
    const uint64_t start = m_source.GetPosition();
    uint8_t b[16];
    if (!m_source.ReadExact(b, 8) || !MayStartLayerBlock(b) || InsideRecoveredSection(start))
        return false;
    const uint16_t depth = LoadBE32(b + 4) == FourCC("Lr16") ? 16 : 32;
    const Layout layouts[2] = {LayoutFixedAt(start) ? m_layout : kDocumentLayout, kLargeLayout};
    const int tries = LayoutFixedAt(start) ? 1 : 2;
    for (int t = 0; t < tries; ++t) {
        const Layout &layout = layouts[t];
        const uint32_t w = layout.TaggedLengthBytes(FourCC("Lr16"));
        m_source.SeekTo(start + 8);
        if (!m_source.ReadExact(b, w))
            continue;
        const uint64_t length = LoadBE(b, w);
        const uint64_t body = start + 8 + w;
        if (length < 2 || length > kMaxSectionLength)
            continue;
        if (HeuristicActive())
            m_properties = m_userProperties;
        m_infoEnd = body + length;
        if (!ReadLayerRecords(body + length, layout, depth) || m_layerCount == 0) {
            DiscardLayers();
            continue;
        }
        if (HeuristicActive()) {
            PropertySignals signals;
            GatherLayerSignals(signals, layout, depth);
            ApplyInference(signals);
        }
        m_sectionLayout = layout;
        RecoverLayers(depth, layout, filesWritten);
        NoteRecovered(start, body, filesWritten);
        return true;
    }
    return false;
}

bool PsdRecoverer::RecoverRecordRun(uint32_t &filesWritten)
{
    filesWritten = 0;
    const uint64_t signature = m_source.GetPosition();
    if (InsideReadInfo(signature) || InsideRecoveredSection(signature))
        return false;
    const Layout layout = LayoutFixedAt(signature) ? m_layout : kDocumentLayout;
    if (HeuristicActive())
        m_properties = m_userProperties;
    uint16_t depth = m_properties.depth;
    LayerSectionReader reader(m_source, layout, depth, m_memoryBudget);
    const std::optional<uint64_t> first = reader.RecordAround(signature);
    if (!first || InsideReadInfo(*first))
        return false;
    SectionRead read;
    // Without a header, the records found tell the colour channels.
    const uint32_t colours = m_headerSeen ? ModeColourChannels(m_properties.mode) : 0;
    if (!reader.SalvageRun(*first, colours, m_layers, read) || read.count == 0) {
        // Its records are not tried again, one by one.
        m_readInfos.emplace_back(*first, std::max(read.recordsEnd, *first + 1));
        m_layerCount = 0;
        return false;
    }
    TakeRun(read, layout);
    if (HeuristicActive()) {
        PropertySignals signals;
        GatherLayerSignals(signals, layout, 0);
        ApplyInference(signals);
        if (depth != m_properties.depth) {
            depth = m_properties.depth;
            // The layers made from data alone were split at the depth
            // assumed before: split again at the one the records prove.
            if (read.fromData > 0) {
                LayerSectionReader again(m_source, layout, depth, m_memoryBudget);
                read = SectionRead{};
                if (!again.SalvageRun(*first, colours, m_layers, read) || read.count == 0) {
                    m_layerCount = 0;
                    return false;
                }
                TakeRun(read, layout);
            }
            for (std::size_t i = 0; i < m_layerCount; ++i)
                if (m_layers[i].valid || m_layers[i].overBudget)
                    CheckLayerBudget(m_layers[i], depth, m_memoryBudget);
        }
    }
    RecoverLayers(depth, layout, filesWritten);
    NoteRecovered(*first, *first, filesWritten, std::max(read.recordsEnd, read.dataEnd));
    return true;
}

// The layers of a run found by itself: no layer info tells more than where
// their placed data ends.
void PsdRecoverer::TakeRun(const SectionRead &read, const Layout &layout)
{
    m_layerCount = read.count;
    m_storedLayerCount = static_cast<int16_t>(std::min<std::size_t>(read.count, 32767));
    m_salvaged = true;
    m_sectionLayout = layout;
    m_infoEnd = read.dataEnd;
}

bool PsdRecoverer::RecoverChannelRun(uint32_t &filesWritten)
{
    filesWritten = 0;
    const uint64_t at = m_source.GetPosition();
    // Only behind a header, which tells the colour channels a layer has;
    // not inside anything read already, nor at or inside a merged image.
    if (!m_headerSeen || InsideReadInfo(at) || InsideRecoveredSection(at) || InsideRecoveredMerged(at) ||
        (m_recoveredImages && m_recoveredImages->count(at) != 0))
        return false;
    const Layout layout = LayoutFixedAt(at) ? m_layout : kDocumentLayout;
    if (HeuristicActive())
        m_properties = m_userProperties;
    const uint16_t depth = m_properties.depth;
    LayerSectionReader reader(m_source, layout, depth, m_memoryBudget);
    SectionRead read;
    if (!reader.SplitRun(at, ModeColourChannels(m_properties.mode), m_layers, read)) {
        m_layerCount = 0;
        return false;
    }
                TakeRun(read, layout);
    RecoverLayers(depth, layout, filesWritten);
    NoteRecovered(at, at, filesWritten, read.dataEnd);
    return true;
}

bool PsdRecoverer::RecoverLayers(uint16_t depth, const Layout &layout, uint32_t &filesWritten, bool mergedKnown,
                                 uint64_t mergedFromSource)
{
    // One layer at a time: read its channels, write its files, release its
    // samples. The files and messages are those of reading every layer first.
    bool stopped = false;
    try {
        if (m_job.Flag(ZELT_RECOVER_REBUILD))
            m_document = RebuiltDocument::Begin(*this, depth, layout, !mergedKnown, mergedFromSource);
        for (std::size_t i = 0; i < m_layerCount; ++i) {
            LayerRecord &layer = m_layers[i];
            const auto index = static_cast<uint32_t>(i);
            m_job.PollAbort();
            // The layer's sample buffers come from the pool, which keeps their
            // memory for the next layer instead of giving it back each time.
            for (std::size_t c = 0; c < layer.channels.size(); ++c)
                layer.channels[c].samples.swap(m_samplePool[c]);
            // A large layer whose stored data cannot fill 1 % of it is only
            // counted, never given its memory.
            const uint64_t layerAt = m_source.GetPosition();
            const bool counted = !stopped && CannotHoldEnough(layer, depth);
            ReadChannelData(layer, stopped, depth, layout, counted);
            if (counted && layer.valid && EnoughSamples(layer.FromSource(), layer.PlaneBytes(depth))) {
                // More came than the bound allowed for: read it whole.
                m_source.SeekTo(layerAt);
                ReadChannelData(layer, stopped, depth, layout);
            }
            // A picture is written only when enough of it came from the
            // source: below 1 % of its samples it would be filler, written
            // at its full size from a few bytes.
            bool read = false;
            if (layer.valid) {
                const uint64_t fromSource = layer.FromSource();
                if (layer.Empty()) {
                    m_job.NotifyFormatted(MSG_STATUS, kMsgLayerNoPixels, index);
                } else if (fromSource == 0) {
                    m_job.NotifyFormatted(MSG_STATUS, kMsgLayerNoData, index);
                } else if (!EnoughSamples(fromSource, layer.PlaneBytes(depth))) {
                    m_job.NotifyFormatted(MSG_STATUS, kMsgLayerFewSamples, index,
                                          SampleShare(fromSource, layer.PlaneBytes(depth)).c_str());
                } else {
                    read = true;
                    if (layer.recordLost)
                        m_job.NotifyFormatted(MSG_STATUS, kMsgLayerRecordLost, index, layer.width, layer.height);
                    m_job.NotifyFormatted(MSG_STATUS, kMsgReadLayer, index);
                    if (WriteLayerFile(layer, index, depth)) {
                        ++filesWritten;
                        ++m_recovered;
                    }
                }
            }
            if (m_document)
                m_document->AddLayer(i, layer);
            // How much of the layer came back whole, for every caller that
            // shows it (the rebuilt document's, or one with coarse reports).
            if (read && (m_document || m_job.Flag(ZELT_REPORT_COARSE) || m_job.Flag(ZELT_RECOVER_REBUILD))) {
                const RowCounts rows = layer.Rows();
                const std::string name = m_document ? m_document->Name(i) : LayerName(layer, layout, index);
                m_job.NotifyFormatted(MSG_STATUS, kMsgLayerRows, index, name.c_str(), layer.width, layer.height,
                                      rows.read, layer.height, rows.white, rows.damaged);
            }
            for (std::size_t c = 0; c < layer.channels.size(); ++c)
                layer.channels[c].samples.swap(m_samplePool[c]);
        }
    } catch (...) {
        DiscardLayers();
        throw;
    }
    m_consumedEnd = m_source.GetPosition();
    DiscardLayers();
    // The pool keeps a layer's memory only while its section is read.
    for (auto &buffer : m_samplePool)
        if (buffer.capacity() > (64u << 20))
            std::vector<uint8_t>().swap(buffer);
    return true;
}

bool EnoughSamples(uint64_t fromSource, uint64_t total) { return fromSource * 100 >= total; }

uint64_t PsdRecoverer::ChannelBound(const ChannelRecord &ch, const LayerRecord &layer, uint64_t at, uint16_t depth)
{
    const MaskRect *mask = layer.MaskFor(ch.id);
    if ((mask && !mask->usable) || ch.dataLength <= 2)
        return 0;
    const uint64_t plane = RowBytes(mask ? mask->Width() : layer.width, depth) * (mask ? mask->Height() : layer.height);
    uint8_t b[2];
    m_source.SeekTo(at);
    if (!m_source.ReadExact(b, 2))
        return 0;
    const uint64_t stored = ch.dataLength - 2;
    switch (LoadBE16(b)) {
    case 0: return std::min(plane, stored);
    case 1: {
        // Two stored bytes give at most 128 of a row; the row lengths take
        // two bytes a row at least.
        const uint64_t table = uint64_t{mask ? mask->Height() : layer.height} * 2;
        return std::min(plane, 64 * (stored > table ? stored - table : 0));
    }
    case 2:
    case 3: return std::min(plane, 1032 * stored); // deflate's most
    default: return 0;
    }
}

bool PsdRecoverer::CannotHoldEnough(LayerRecord &layer, uint16_t depth)
{
    if (!layer.valid || layer.Empty())
        return false;
    const uint64_t start = m_source.GetPosition();
    uint64_t total = 0, bound = 0, at = m_salvaged ? layer.dataOffset : start;
    if (m_salvaged && !layer.placed)
        return false;
    for (const ChannelRecord &ch : layer.channels) {
        const MaskRect *mask = layer.MaskFor(ch.id);
        total += RowBytes(mask ? mask->Width() : layer.width, depth) * (mask ? mask->Height() : layer.height);
        bound += ChannelBound(ch, layer, at, depth);
        at += ch.dataLength;
    }
    m_source.SeekTo(start);
    return total > (16u << 20) && !EnoughSamples(bound, total);
}

std::string SampleShare(uint64_t fromSource, uint64_t total)
{
    // Two significant digits in plain decimals: "0.4 %", "0.0014 %".
    if (fromSource == 0)
        return "0 %";
    const double percent = total == 0 ? 0.0 : 100.0 * double(fromSource) / double(total);
    int decimals = 1;
    while (decimals < 10 && percent < 10.0 / std::pow(10.0, decimals))
        ++decimals;
    char text[64];
    std::snprintf(text, sizeof text, "%.*f %%", decimals, percent);
    return text;
}

std::string PsdRecoverer::LayerName(const LayerRecord &layer, const Layout &layout, uint32_t index)
{
    if (layer.recordLost)
        return "Layer " + std::to_string(index) + " (record lost)";
    // The name is near the start of the extra data: the mask data, the
    // blending ranges, the Pascal name, then "luni" among the first blocks.
    std::vector<uint8_t> extra(std::min<uint32_t>(layer.extraLength, 1u << 20));
    const uint64_t at = m_source.GetPosition();
    m_source.SeekTo(layer.extraOffset);
    extra.resize(m_source.ReadLarge(extra.data(), extra.size()));
    m_source.SeekTo(at);
    return ParseLayerExtra(extra, layout).Name();
}

void PsdRecoverer::DiscardLayers()
{
    for (std::size_t i = 0; i < m_layerCount; ++i)
        for (std::size_t c = 0; c < m_layers[i].channels.size(); ++c)
            if (!m_layers[i].channels[c].samples.empty())
                m_layers[i].channels[c].samples.swap(m_samplePool[c]);
    m_layerCount = 0;
}

uint64_t PsdRecoverer::ReadTicking(uint8_t *out, uint64_t size)
{
    uint64_t done = 0;
    while (done < size) {
        const uint64_t piece = std::min<uint64_t>(size - done, 16u << 20);
        const uint64_t got = m_source.ReadLarge(out + done, piece);
        done += got;
        m_job.Tick(got);
        if (got < piece)
            break;
    }
    return done;
}

uint64_t PsdRecoverer::InflateTicking(uint8_t *out, uint64_t size)
{
    uint64_t done = 0;
    while (done < size && !m_inflater.Done()) {
        const uint64_t got = m_inflater.Fill(out + done, std::min<uint64_t>(size - done, 16u << 20));
        done += got;
        m_job.Tick(got);
    }
    return done;
}

bool PsdRecoverer::ReadLayerRecords(uint64_t end, const Layout &layout, uint16_t depth)
{
    if (depth == 0)
        depth = m_properties.depth;
    m_salvaged = false;
    LayerSectionReader reader(m_source, layout, depth, m_memoryBudget);
    SectionRead read;
    const bool ok = reader.ReadRecords(end, m_layers, read);
    m_layerCount = read.count;
    m_storedLayerCount = read.storedCount;
    return ok;
}

bool PsdRecoverer::InsideReadInfo(uint64_t at) const
{
    return std::any_of(m_readInfos.begin(), m_readInfos.end(),
                       [at](const auto &r) { return at >= r.first && at < r.second; });
}

bool PsdRecoverer::SalvageLayerInfo(uint64_t countAt, uint64_t end, const Layout &layout, uint16_t depth,
                                    bool recordsRead)
{
    // Records salvaged once are not salvaged again from a later start that
    // only looks like their section's.
    if (InsideReadInfo(countAt))
        return false;
    LayerSectionReader reader(m_source, layout, depth, m_memoryBudget);
    SectionRead read;
    if (!reader.Salvage(countAt, end, m_headerSeen ? ModeColourChannels(m_properties.mode) : 0, m_layers, read,
                        recordsRead) || read.count == 0) {
        m_layerCount = 0;
        return false;
    }
    m_layerCount = read.count;
    m_storedLayerCount = read.storedCount;
    m_salvaged = true;
    m_source.SeekTo(read.recordsEnd);
    return true;
}

RowCounts LayerRecord::Rows() const
{
    RowCounts counts;
    if (!rowsTracked) {
        counts.white = height;
        return counts;
    }
    for (uint8_t state : rowState)
        (state == kRowRead ? counts.read : state == kRowDamaged ? counts.damaged : counts.white)++;
    return counts;
}

uint64_t LayerRecord::PlaneBytes(uint16_t depth) const
{
    uint64_t total = 0;
    for (const ChannelRecord &c : channels)
        total += RowBytes(c.width, depth) * c.height;
    return total;
}

uint64_t LayerRecord::FromSource() const
{
    uint64_t total = 0;
    for (const ChannelRecord &c : channels)
        total += c.fromSource;
    return total;
}

bool LayerRecord::Whole() const
{
    if (!Rows().Whole())
        return false;
    return std::all_of(channels.begin(), channels.end(),
                       [](const ChannelRecord &c) { return c.id >= -1 || !c.decoded || c.exactRows >= c.height; });
}

void PsdRecoverer::ReadChannelData(LayerRecord &layer, bool &stopped, uint16_t depth, const Layout &layout,
                                   bool probe)
{
    layer.rowState.assign(layer.valid ? layer.height : 0, kRowRead);
    layer.rowsTracked = false;
    // A salvaged section's layer is read where it was placed, and one that
    // could not be placed has no data to read.
    bool localStop = stopped;
    if (m_salvaged) {
        localStop = !layer.placed;
        if (layer.placed)
            m_source.SeekTo(layer.dataOffset);
    }
    for (ChannelRecord &ch : layer.channels) {
        const uint64_t start = m_source.GetPosition();
        if (layer.valid)
            DecodeChannel(ch, layer, localStop, depth, layout, probe);
        if (!layer.valid || !localStop)
            m_source.SeekTo(start + ch.dataLength);
    }
    if (!m_salvaged)
        stopped = localStop;
}

void PsdRecoverer::FillTicking(uint8_t *out, uint8_t value, uint64_t count)
{
    while (count > 0) {
        const uint64_t piece = std::min<uint64_t>(count, 16u << 20);
        std::memset(out, value, piece);
        out += piece;
        count -= piece;
        m_job.Tick(piece);
    }
}

void PsdRecoverer::DecodeChannel(ChannelRecord &ch, LayerRecord &layer, bool &stopped, uint16_t depth,
                                 const Layout &layout, bool probe)
{
    const MaskRect *mask = layer.MaskFor(ch.id);
    ch.height = mask ? mask->Height() : layer.height;
    ch.width = mask ? mask->Width() : layer.width;
    ch.fromSource = 0;
    ch.wholeRows = ch.exactRows = 0;
    ch.decoded = !mask || mask->usable;
    const uint64_t rowBytes = RowBytes(ch.width, depth);
    const uint64_t planeSize = rowBytes * ch.height; // checked against the budget
    if (!probe)
        ch.samples.resize(planeSize);
    uint8_t *samples = probe ? nullptr : ch.samples.data();
    uint64_t done = 0; // samples read or decoded, from the start
    const uint64_t sourceLength = probe ? SourceLength() : 0;
    // The channel's own bytes end at its stored length, and inside its layer
    // info; what is read past them belongs to something else.
    const uint64_t channelStart = m_source.GetPosition();
    uint64_t ownEnd = channelStart + ch.dataLength;
    if (m_infoEnd != 0)
        ownEnd = std::min(ownEnd, m_infoEnd);
    // The rows of the colour and transparency channels make the layer's
    // rows: each row as bad as its worst channel's.
    const bool tracked = !mask && ch.height == layer.rowState.size();
    layer.rowsTracked |= tracked;
    uint32_t rowsSeen = 0; // rows given a state; the rest had no data
    auto mark = [&](uint32_t row, RowState state) {
        if (tracked)
            layer.rowState[row] = std::max<uint8_t>(layer.rowState[row], state);
        ch.exactRows += state == kRowRead;
        rowsSeen = row + 1;
    };

    if (!stopped && ch.decoded && ch.dataLength > 2) {
        uint8_t b[2];
        if (!m_source.ReadExact(b, 2)) {
            stopped = true;
        } else if (const uint16_t compression = LoadBE16(b); planeSize == 0) {
            // nothing to read into
        } else if (compression == 0) {
            if (probe) {
                const uint64_t pos = m_source.GetPosition();
                done = std::min(planeSize, sourceLength > pos ? sourceLength - pos : 0);
            } else {
                done = ReadTicking(samples, planeSize);
            }
            const uint64_t samplesAt = channelStart + 2;
            const uint64_t own = std::min(done, ownEnd > samplesAt ? ownEnd - samplesAt : 0);
            ch.fromSource = own;
            ch.wholeRows = static_cast<uint32_t>(done / rowBytes);
            for (uint32_t r = 0; r < ch.height && uint64_t{r} * rowBytes < done; ++r)
                mark(r, (uint64_t{r} + 1) * rowBytes <= own ? kRowRead : kRowDamaged);
        } else if (compression == 1) {
            const uint32_t w = layout.RowLengthBytes();
            const std::size_t lengthsSize = std::size_t{ch.height} * w;
            m_rowLengths.resize(lengthsSize);
            if (m_source.ReadLarge(m_rowLengths.data(), lengthsSize) != lengthsSize) {
                stopped = true;
            } else {
                if (probe)
                    m_scratch.resize(rowBytes);
                // A row whose stored bytes run out is kept as decoded; the
                // rows after it are not decoded.
                for (uint32_t r = 0; r < ch.height; ++r) {
                    const auto stored = static_cast<uint32_t>(LoadBE(m_rowLengths.data() + std::size_t{r} * w, w));
                    const uint64_t at = m_source.GetPosition();
                    uint64_t from = 0;
                    bool exact = false;
                    const bool whole = DecodeRleRow(m_source, rowBytes, stored, probe ? m_scratch.data() : samples + done,
                                                    m_rleInput, &from, &exact);
                    const bool own = at + stored <= ownEnd;
                    if (own)
                        ch.fromSource += from;
                    m_job.Tick(stored);
                    mark(r, whole && exact && own ? kRowRead : from > 0 ? kRowDamaged : kRowWhite);
                    done += rowBytes;
                    if (!whole)
                        break;
                    ++ch.wholeRows;
                }
            }
        } else if (compression == 2 || compression == 3) {
            const uint64_t samplesAt = channelStart + 2;
            m_inflater.Start(m_source, ownEnd > samplesAt ? ownEnd - samplesAt : 0);
            uint64_t produced = 0;
            if (probe) {
                m_scratch.resize(64 * 1024);
                while (produced < planeSize && !m_inflater.Done())
                    produced += m_inflater.Fill(m_scratch.data(), std::min<uint64_t>(planeSize - produced, m_scratch.size()));
            } else {
                produced = InflateTicking(samples, planeSize);
            }
            if (compression == 3) {
                if (probe)
                    produced = depth == 16 ? produced & ~uint64_t{1}
                               : depth == 32 ? produced / rowBytes * rowBytes : produced;
                else
                    produced = UndoPrediction(samples, produced, ch.width, rowBytes, depth);
            }
            done = produced;
            ch.fromSource = done;
            ch.wholeRows = static_cast<uint32_t>(done / rowBytes);
            for (uint32_t r = 0; r < ch.height && uint64_t{r} * rowBytes < done; ++r)
                mark(r, (uint64_t{r} + 1) * rowBytes <= done ? kRowRead : kRowDamaged);
        }
    }
    for (uint32_t r = rowsSeen; tracked && r < ch.height; ++r)
        layer.rowState[r] = kRowWhite;
    if (!probe && done < planeSize)
        FillTicking(samples + done, 0xFF, planeSize - done);
}

} // namespace zelt
