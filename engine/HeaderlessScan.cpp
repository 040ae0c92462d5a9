// What the scan finds when no header leads it: the signals of the picture's
// properties in what survives, an image-resources section recognised by its
// resource blocks (the way to a flat file's merged image), and the embedded
// preview.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
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
    // A layer made from data alone (its record lost) was made with the
    // colours, depth and place assumed: it tells none of them.
    for (std::size_t i = 0; i < m_layerCount; ++i) {
        const LayerRecord &l = m_layers[i];
        if ((!l.valid && !l.overBudget) || l.recordLost)
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
    // A lone layer tells only where the layers reach.
    std::size_t pixelLayers = 0;
    for (std::size_t i = 0; i < m_layerCount; ++i)
        pixelLayers += (m_layers[i].valid || m_layers[i].overBudget) && !m_layers[i].Empty() && !m_layers[i].recordLost;
    for (std::size_t i = 0; i < m_layerCount && all && pixelLayers > 1; ++i) {
        const LayerRecord &l = m_layers[i];
        if ((l.valid || l.overBudget) && !l.recordLost && !l.Empty() && l.top == 0 && l.left == 0 && l.bottom >= all->bottom &&
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
            if (m_salvaged)
                pos = l.placed ? l.dataOffset : 0;
            for (const ChannelRecord &c : l.channels) {
                const uint64_t at = pos;
                pos += c.dataLength;
                if (m_salvaged && !l.placed)
                    continue;
                if ((!l.valid && !l.overBudget) || l.recordLost || l.Empty() || c.id < -1 || c.dataLength <= 2 ||
                    probes >= kMaxDepthProbes)
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
                    while (total < most && !m_inflater.Done()) {
                        const uint64_t got = m_inflater.Fill(m_scratch.data(), std::min<uint64_t>(m_scratch.size(), most - total));
                        total += got;
                        m_job.Tick(got);
                    }
                    depth = DepthOfPlane(total, l.height, l.width);
                }
                if (depth)
                    s.channelDepths.push_back(*depth);
            }
        }
    }
    // Lab or RGB: the colour channels of 8-bit layers, where their alpha
    // shows them, looked at together.
    const bool eight = std::all_of(s.channelDepths.begin(), s.channelDepths.end(), [](uint16_t d) { return d == 8; }) &&
                       (!s.channelDepths.empty() || m_userProperties.depth == 8);
    m_source.SeekTo(dataStart);
    if (keyDepth == 0 && eight && s.colourChannels == 3)
        s.labLike = LooksLikeLab(layout);
    m_source.SeekTo(dataStart);
}

bool PsdRecoverer::LooksLikeLab(const Layout &layout)
{
    const uint64_t dataStart = m_source.GetPosition();
    double sum[3] = {0, 0, 0}, squares[3] = {0, 0, 0};
    uint64_t count = 0;
    bool stopped = false;
    for (std::size_t i = 0; i < m_layerCount && !stopped && count < (4u << 20); ++i) {
        LayerRecord &l = m_layers[i];
        const bool small = uint64_t{l.height} * l.width <= (1u << 20);
        if (!l.valid || l.Empty() || !small) {
            const bool valid = l.valid;
            l.valid = false; // passed over by its lengths
            ReadChannelData(l, stopped, 8, layout, true);
            l.valid = valid;
            continue;
        }
        ReadChannelData(l, stopped, 8, layout);
        const ChannelRecord *c[3] = {FindChannel(l.channels, 0), FindChannel(l.channels, 1), FindChannel(l.channels, 2)};
        const ChannelRecord *alpha = FindChannel(l.channels, -1);
        if (c[0] && c[1] && c[2])
            for (uint64_t k = 0; k < uint64_t{l.height} * l.width; ++k) {
                if (alpha && alpha->samples[k] == 0)
                    continue;
                for (int j = 0; j < 3; ++j) {
                    const double v = c[j]->samples[k];
                    sum[j] += v;
                    squares[j] += v * v;
                }
                ++count;
            }
        for (ChannelRecord &ch : l.channels)
            std::vector<uint8_t>().swap(ch.samples);
    }
    m_source.SeekTo(dataStart);
    if (count < 16)
        return false;
    double mean[3], spread[3];
    for (int j = 0; j < 3; ++j) {
        mean[j] = sum[j] / double(count);
        spread[j] = std::sqrt(std::max(0.0, squares[j] / double(count) - mean[j] * mean[j]));
    }
    return spread[0] > 10 && std::fabs(mean[1] - 128) < 12 && std::fabs(mean[2] - 128) < 12 &&
           spread[1] < 0.25 * spread[0] + 1 && spread[2] < 0.25 * spread[0] + 1;
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

void PsdRecoverer::GatherMergedSignals(PropertySignals &s, uint64_t d, const Layout &layout, uint64_t leastRow)
{
    const uint64_t end = SourceLength();
    uint8_t b[4];
    m_source.SeekTo(d);
    if (d >= end || !m_source.ReadExact(b, 2))
        return;
    const uint16_t compression = LoadBE16(b);
    if (compression == 0) {
        if (end > d + 2) {
            s.mergedBytes = end - d - 2;
            m_scratch.resize(std::min<uint64_t>(end - d - 2, 64 * 1024));
            SampleBytePairs pairs;
            pairs.Add(m_scratch.data(), m_source.Read(m_scratch.data(), static_cast<uint32_t>(m_scratch.size())));
            s.sixteenBitLike = pairs.LookSixteenBit();
            s.sampleDepth = pairs.Depth();
            s.sampleFlat = pairs.Flat();
            s.rawSample.assign(m_scratch.begin(), m_scratch.end());
        }
    } else if (compression == 1) {
        // The row count N for which the table of N lengths and the rows they
        // give reach exactly to the end of the source.
        const uint32_t w = layout.RowLengthBytes();
        uint64_t sum = 0, rows = 0, previous = 0, steps = 0;
        for (uint64_t n = 1; n <= kMaxMergedRows; ++n) {
            if (!m_source.ReadExact(b, w) || LoadBE(b, w) < leastRow)
                return;
            const uint64_t e = LoadBE(b, w);
            // A table found by itself must go on changing smoothly, as a
            // picture's rows do: noise that began like one soon does not.
            if (leastRow > 0 && n > 1) {
                steps += std::max(e, previous) - std::min(e, previous) > std::max<uint64_t>(8, std::min(e, previous) / 2);
                if (n >= 64 && steps * 4 > n)
                    return;
            }
            previous = e;
            sum += e;
            const uint64_t reach = d + 2 + w * n + sum;
            if (reach == end) {
                rows = n;
                break;
            }
            if (reach > end) {
                CutTableSignals(s, d, layout);
                return;
            }
        }
        if (rows == 0) {
            CutTableSignals(s, d, layout);
            return;
        }
        // Every row must decode to the same length: the width's bytes.
        uint64_t at = d + 2 + w * rows, rowBytes = 0;
        SampleBytePairs pairs;
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
            pairs.Add(m_scratch.data(), length);
        }
        if (rowBytes != 0) {
            s.mergedRows = rows;
            s.mergedRowBytes = rowBytes;
            s.sixteenBitLike = rowBytes % 2 == 0 && pairs.LookSixteenBit();
            GatherRowSignals(s, d, layout, rows, rowBytes);
        }
    } else if (compression == 2 || compression == 3) {
        m_inflater.Start(m_source);
        m_scratch.resize(1 << 20);
        uint64_t total = 0;
        while (!m_inflater.Done()) {
            const uint64_t got = m_inflater.Fill(m_scratch.data(), m_scratch.size());
            total += got;
            m_job.Tick(got);
        }
        if (total > 0)
            s.mergedBytes = total;
        if (compression == 2 && total > 0) {
            // Inflated planes without prediction hold the samples themselves.
            m_source.SeekTo(d + 2);
            m_inflater.Start(m_source);
            const uint64_t got = m_inflater.Fill(m_scratch.data(), std::min<uint64_t>(m_scratch.size(), 64 * 1024));
            SampleBytePairs pairs;
            pairs.Add(m_scratch.data(), got);
            s.sampleDepth = pairs.Depth();
            s.sampleFlat = pairs.Flat();
            s.rawSample.assign(m_scratch.begin(), m_scratch.begin() + long(got));
        }
    }
}

void PsdRecoverer::CutTableSignals(PropertySignals &s, uint64_t d, const Layout &layout)
{
    // A table cut short with the rest of the image does not reach the end of
    // the source. Where the canvas is known, the table's length is channels
    // x height entries: only the right count puts the first rows' data where
    // they decode, every one, to exactly the width's bytes.
    const std::optional<PixelRect> canvas = s.background ? s.background : s.documentRect;
    if (!canvas || canvas->Height() == 0 || canvas->Width() == 0)
        return;
    const uint64_t height = canvas->Height(), width = canvas->Width(), end = SourceLength();
    const uint32_t w = layout.RowLengthBytes();
    std::optional<std::pair<uint64_t, uint64_t>> found; // rows, row bytes
    // The entries as far as the source and the most channels reach.
    const uint64_t most = std::min<uint64_t>(kMaxFileChannels * height, end > d + 2 ? (end - d - 2) / w : 0);
    if (most == 0 || most > (1u << 24))
        return;
    std::vector<uint8_t> table(most * w);
    m_source.SeekTo(d + 2);
    if (m_source.ReadLarge(table.data(), table.size()) != table.size())
        return;
    for (uint16_t depth : {uint16_t(8), uint16_t(16), uint16_t(32), uint16_t(1)}) {
        const uint64_t rowBytes = RowBytes(static_cast<uint32_t>(width), depth);
        // Every entry of the table is a row's length; past the table, what
        // would be read as entries is the rows' data.
        uint64_t plausible = 0;
        while (plausible < most) {
            const uint64_t e = LoadBE(table.data() + plausible * w, w);
            if (e < 1 || e > 2 * rowBytes + 16)
                break;
            ++plausible;
        }
        for (uint64_t c = 1; c <= kMaxFileChannels && c * height <= plausible; ++c) {
            const uint64_t rows = c * height, data = d + 2 + w * rows;
            if (data >= end)
                break;
            uint64_t at = data;
            bool exact = true;
            for (uint64_t r = 0; r < std::min<uint64_t>(rows, 8) && exact; ++r) {
                const auto stored = static_cast<uint32_t>(LoadBE(table.data() + r * w, w));
                exact = ExactRowAt(at, stored, rowBytes);
                at += stored;
            }
            if (!exact)
                continue;
            if (found)
                return; // two readings fit: the table tells nothing
            found = std::make_pair(rows, rowBytes);
        }
    }
    if (found) {
        s.mergedRows = found->first;
        s.mergedRowBytes = found->second;
    }
}

bool PsdRecoverer::ExactRowAt(uint64_t at, uint32_t stored, uint64_t rowBytes)
{
    std::vector<uint8_t> row(rowBytes);
    uint64_t from = 0;
    bool exact = false;
    m_source.SeekTo(at);
    return DecodeRleRow(m_source, rowBytes, stored, row.data(), m_rleInput, &from, &exact) && exact;
}

void PsdRecoverer::GatherRowSignals(PropertySignals &s, uint64_t d, const Layout &layout, uint64_t rows, uint64_t rowBytes)
{
    // The samples' depth, from rows taken across the whole image.
    const uint32_t w = layout.RowLengthBytes();
    std::vector<uint8_t> table(rows * w);
    m_source.SeekTo(d + 2);
    if (rows > (1u << 22) || m_source.ReadLarge(table.data(), table.size()) != table.size())
        return;
    std::vector<uint64_t> starts(rows);
    uint64_t at = d + 2 + rows * w;
    for (uint64_t r = 0; r < rows; ++r) {
        starts[r] = at;
        at += LoadBE(table.data() + r * w, w);
    }
    SampleBytePairs pairs;
    const uint64_t every = std::max<uint64_t>(1, rows / 64);
    for (uint64_t r = 0, taken = 0; r < rows && taken < (256u << 10); r += every) {
        m_source.SeekTo(starts[r]);
        const uint64_t length = RowDecodedLength(static_cast<uint32_t>(LoadBE(table.data() + r * w, w)), rowBytes);
        if (length != rowBytes)
            continue;
        pairs.Add(m_scratch.data(), length);
        taken += length;
    }
    s.sampleDepth = pairs.Depth();
    s.sampleFlat = pairs.Flat();
    // Where the planes meet: the last row of one channel's plane (the
    // picture's bottom) and the first of the next (its top) differ far more
    // than a plane's neighbouring rows do. Each channel count is judged by
    // the least of its jumps against the rows' usual step.
    std::map<uint64_t, std::vector<uint8_t>> cache;
    auto row = [&](uint64_t r) -> const std::vector<uint8_t> & {
        auto it = cache.find(r);
        if (it != cache.end())
            return it->second;
        m_source.SeekTo(starts[r]);
        const uint64_t length = RowDecodedLength(static_cast<uint32_t>(LoadBE(table.data() + r * w, w)), rowBytes);
        std::vector<uint8_t> bytes;
        if (length == rowBytes)
            bytes.assign(m_scratch.begin(), m_scratch.begin() + long(length));
        return cache.emplace(r, std::move(bytes)).first->second;
    };
    auto distance = [&](uint64_t r) {
        const std::vector<uint8_t> &x = row(r), &y = row(r + 1);
        if (x.empty() || y.empty())
            return -1.0;
        double sum = 0;
        for (std::size_t i = 0; i < x.size(); ++i)
            sum += std::abs(double(x[i]) - double(y[i]));
        return sum / double(x.size());
    };
    if (rows < 4 || rowBytes * rows > (256u << 20) / 4)
        return;
    std::vector<double> steps;
    for (uint64_t k = 0; k < 64; ++k)
        if (const double d = distance(k * (rows - 1) / 64); d >= 0)
            steps.push_back(d);
    if (steps.size() < 8)
        return;
    std::nth_element(steps.begin(), steps.begin() + long(steps.size() / 2), steps.end());
    const double usual = std::max(0.5, steps[steps.size() / 2]);
    for (uint32_t c = 2; c <= PsdRecoverer::kMaxFileChannels; ++c) {
        if (rows % c != 0)
            continue;
        double least = 1e9;
        for (uint32_t k = 1; k < c && least > 0; ++k)
            least = std::min(least, distance(k * (rows / c) - 1));
        if (least >= 0)
            s.planeRepeat.emplace_back(c, least / usual);
    }
}

void PsdRecoverer::ApplyInference(const PropertySignals &signals)
{
    PropertySignals s = signals;
    if (!s.aspect)
        s.aspect = m_previewAspect;
    // What the last image resources said stands for the picture behind them.
    if (!s.documentRect)
        s.documentRect = m_resourceSignals.documentRect;
    if (s.statedColours == 0)
        s.statedColours = m_resourceSignals.statedColours;
    if (!s.statedMode)
        s.statedMode = m_resourceSignals.statedMode;
    const InferredProperties inferred = InferProperties(s, m_userProperties, KeepFlags());
    m_properties = inferred.properties;
    m_pendingProperties.clear();
    // The merged image is read only with a reading its data prove; the
    // layers take the properties inferred.
    std::string sources = inferred.sources;
    const std::optional<ImageProperties> proven = ProvenReading(s, inferred.properties, KeepFlags(), sources);
    m_mergedProven = proven.has_value();
    if (proven) {
        m_properties = *proven;
        m_pendingProperties = DescribeProperties(*proven) + " (" + sources + ")";
    }
}

// Resource blocks from start, filling exactly length bytes: "8BIM", a 2-byte
// id, a Pascal name padded to even, a 4-byte size, the data padded to even.
// A thumbnail among them gives the picture's aspect ratio; the slices, the
// metadata and the colour profile what they say of it (into signals).
bool PsdRecoverer::ReadResourceBlocks(uint64_t start, uint64_t length, std::optional<double> &aspect,
                                      PropertySignals *signals)
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
        if (signals && (id == 1050 || id == 1060 || id == 1039) && size <= (4u << 20)) {
            std::vector<uint8_t> bytes(size);
            m_source.SeekTo(data);
            if (m_source.ReadLarge(bytes.data(), bytes.size()) == bytes.size())
                ReadResourceSignals(id, bytes, *signals);
        }
    }
    return pos == end;
}

bool PsdRecoverer::MatchResourcesSection(uint64_t &mergedAt, Layout &layout)
{
    const uint64_t start = m_source.GetPosition();
    uint8_t b[8];
    if (!m_source.ReadExact(b, 8) || LoadBE32(b + 4) != k8BIM)
        return false;
    const uint64_t length = LoadBE32(b);
    std::optional<double> aspect;
    PropertySignals found;
    if (length < 12 || !ReadResourceBlocks(start + 4, length, aspect, &found))
        return false;
    m_resourceSignals = found;
    const bool infer = HeuristicActive();
    if (infer)
        m_properties = m_userProperties;
    // The colour-mode data before it: its 4-byte length, then that many
    // bytes (768 of them a palette). A palette's length is looked for first:
    // a palette ending in black would read as an empty section's length.
    for (uint64_t k = 0; k <= 1025 && infer; ++k) {
        const uint64_t l = k == 0 ? 768 : k - 1;
        if (l + 4 > start || (k > 0 && l == 768))
            continue;
        m_source.SeekTo(start - 4 - l);
        if (!m_source.ReadExact(b, 4) || LoadBE32(b) != l)
            continue;
        if (l == 768 && m_palette.empty())
            for (int g = 0; g < 256; ++g) {
                std::array<uint8_t, 4> group = {0xFF, 0xFF, 0xFF, 0xFF};
                m_source.Read(group.data(), 3);
                m_palette.push_back(group);
            }
        break;
    }
    // The layer-and-mask section, passed by its length, in the layout whose
    // merged image fits what is known of the picture (a document's, where
    // neither or both fit); its records, where it holds any, are signals too.
    const uint64_t section = start + 4 + length;
    struct Reading {
        Layout layout;
        uint64_t mergedAt = 0;
        PropertySignals signals;
        bool fits = false;
    };
    std::optional<Reading> chosen;
    for (const Layout &l : {kDocumentLayout, kLargeLayout}) {
        const uint32_t n = l.LengthBytes();
        m_source.SeekTo(section);
        if (!m_source.ReadExact(b, n) || LoadBE(b, n) > kMaxSectionLength)
            continue;
        Reading r{l, section + n + LoadBE(b, n), found, false};
        r.signals.aspect = aspect;
        uint64_t sectionLength;
        uint16_t depth, keyDepth;
        if (infer && LoadBE(b, n) != 0 && ParseLayerSection(section, l, sectionLength, depth, keyDepth)) {
            GatherLayerSignals(r.signals, l, keyDepth);
            DiscardLayers();
        }
        r.signals.palette = !m_palette.empty();
        GatherMergedSignals(r.signals, r.mergedAt, l);
        const ImageProperties p = infer ? InferProperties(r.signals, m_userProperties, KeepFlags()).properties : m_properties;
        r.fits = MergedFits(r.signals, p);
        if (!chosen || (r.fits && !chosen->fits))
            chosen = r;
    }
    if (!chosen)
        return false;
    if (infer)
        ApplyInference(chosen->signals);
    mergedAt = chosen->mergedAt;
    layout = chosen->layout;
    m_source.SeekTo(mergedAt);
    return true;
}

bool PsdRecoverer::MergedFits(const PropertySignals &s, const ImageProperties &p)
{
    const uint64_t row = RowBytes(p.width, p.depth), rows = uint64_t{p.channels} * p.height;
    if (s.mergedRows)
        return *s.mergedRows == rows && (!s.mergedRowBytes || *s.mergedRowBytes == row);
    return s.mergedBytes && *s.mergedBytes == rows * row;
}

uint32_t PsdRecoverer::KeepFlags() const
{
    return m_job.Options().flags & (ZELT_KEEP_CHANNELS | ZELT_KEEP_HEIGHT | ZELT_KEEP_WIDTH | ZELT_KEEP_DEPTH | ZELT_KEEP_MODE);
}

bool PsdRecoverer::MatchTailImage()
{
    const uint64_t start = m_source.GetPosition();
    PropertySignals signals;
    GatherMergedSignals(signals, start, kDocumentLayout, 2);
    m_source.SeekTo(start);
    if (!signals.mergedRows || !signals.mergedRowBytes)
        return false;
    signals.palette = !m_palette.empty();
    m_properties = m_userProperties;
    ApplyInference(signals);
    // Found by its table alone: only a reading the data prove is taken.
    if (!MergedFits(signals, m_properties) || !m_mergedProven) {
        m_properties = m_userProperties;
        m_pendingProperties.clear();
        return false;
    }
    return true;
}

void PsdRecoverer::ReadLooseResource(uint64_t start, uint16_t id, uint8_t nameLength)
{
    uint8_t b[4];
    const uint64_t at = start + 6 + ((1 + uint64_t{nameLength} + 1) & ~uint64_t{1});
    m_source.SeekTo(at);
    if (!m_source.ReadExact(b, 4))
        return;
    const uint64_t size = LoadBE32(b);
    if (size < 20 || size > (4u << 20) || at + 4 + size > SourceLength())
        return;
    std::vector<uint8_t> data(size);
    if (m_source.ReadLarge(data.data(), data.size()) != data.size())
        return;
    // Only what is plainly that resource: a colour profile's signature, the
    // metadata's packet, slices of version 6.
    const bool plain = (id == 1039 && size >= 40 && std::memcmp(data.data() + 36, "acsp", 4) == 0) ||
                       (id == 1060 && std::string(data.begin(), data.end()).find("x:xmpmeta") != std::string::npos) ||
                       id == 1050;
    if (plain)
        ReadResourceSignals(id, data, m_resourceSignals);
}

bool PsdRecoverer::RecoverPreview()
{
    const uint64_t start = m_source.GetPosition();
    uint8_t b[kThumbnailHeaderSize];
    if (!m_source.ReadExact(b, 7) || LoadBE32(b) != k8BIM)
        return false;
    const uint16_t id = LoadBE16(b + 4);
    if (id == 1050 || id == 1060 || id == 1039) {
        // Without a header, a resource block that says what the picture is
        // counts wherever it survives, also where its section's length is lost.
        if (HeuristicActive())
            ReadLooseResource(start, id, b[6]);
        return false;
    }
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
    // A JPEG begins with its start-of-image marker and a marker after it,
    // and ends with its end-of-image marker (some writers pad after it).
    std::size_t end = jpeg.size();
    while (end > 0 && jpeg[end - 1] == 0)
        --end;
    if (end < 6 || jpeg[0] != 0xFF || jpeg[1] != 0xD8 || jpeg[2] != 0xFF || jpeg[end - 2] != 0xFF || jpeg[end - 1] != 0xD9)
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
