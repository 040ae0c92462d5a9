#include "PropertyInference.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>

#include "ZeltApi.h"

namespace zelt {
namespace {

uint64_t RowOf(uint64_t width, uint16_t depth) { return depth == 1 ? (width + 7) / 8 : width * (depth / 8); }

uint16_t ModeFor(uint32_t colour, uint16_t depth, bool palette)
{
    switch (colour) {
    case 1: return palette ? 2 : depth == 1 ? 0 : 1;
    case 3: return 3;
    case 4: return 4;
    default: return 7;
    }
}

const char *ModeName(uint16_t mode)
{
    switch (mode) {
    case 0: return "Bitmap";
    case 1: return "Grayscale";
    case 2: return "Indexed";
    case 3: return "RGB";
    case 4: return "CMYK";
    case 7: return "Multichannel";
    case 8: return "Duotone";
    case 9: return "Lab";
    default: return "mode unknown";
    }
}

// The (height, width) of a given area whose ratio is nearest the aspect
// ratio, within 3 %.
std::optional<std::pair<uint64_t, uint64_t>> SplitArea(uint64_t area, double aspect)
{
    if (area == 0 || !(aspect > 0))
        return std::nullopt;
    const double h0 = std::sqrt(double(area) / aspect);
    std::optional<std::pair<uint64_t, uint64_t>> best;
    double bestError = 0.03;
    const auto from = static_cast<uint64_t>(std::max(1.0, h0 * 0.95)), to = static_cast<uint64_t>(h0 * 1.05) + 1;
    for (uint64_t h = from; h <= to && h <= 300000; ++h) {
        if (area % h != 0 || area / h > 300000)
            continue;
        const double error = std::fabs(double(area / h) / double(h) - aspect) / aspect;
        if (error < bestError) {
            bestError = error;
            best = std::make_pair(h, area / h);
        }
    }
    return best;
}

} // namespace

std::optional<uint16_t> DepthOfPlane(uint64_t bytes, uint64_t height, uint64_t width)
{
    if (height == 0 || width == 0)
        return std::nullopt;
    for (uint16_t depth : {uint16_t(8), uint16_t(16), uint16_t(32), uint16_t(1)})
        if (RowOf(width, depth) * height == bytes && (depth != 1 || width > 1))
            return depth;
    return std::nullopt;
}

std::string DescribeProperties(const ImageProperties &p)
{
    return std::to_string(p.channels) + (p.channels == 1 ? " channel, " : " channels, ") + std::to_string(p.width) +
           " x " + std::to_string(p.height) + " pixels, " + std::to_string(p.depth) +
           (p.depth == 1 ? " bit, " : " bits, ") + ModeName(p.mode);
}

InferredProperties InferProperties(const PropertySignals &s, const ImageProperties &user, uint32_t keep)
{
    InferredProperties out{user, false, {}};
    // Properties a caller gave that describe no picture (no rows, no
    // channels, a depth that is not 1, 8, 16 or 32) leave nothing to weigh
    // the signals against: they stay as given.
    if (user.height == 0 || user.width == 0 || user.channels == 0 ||
        (user.depth != 1 && user.depth != 8 && user.depth != 16 && user.depth != 32))
        return out;
    ImageProperties &p = out.properties;
    std::vector<std::string> sources;
    bool fromLayers = false;

    // Depth: the key states it; each channel that told its depth votes.
    std::map<uint16_t, int> votes;
    if (s.keyDepth)
        votes[*s.keyDepth] += 2;
    for (uint16_t d : s.channelDepths)
        ++votes[d];
    if (!votes.empty() && !(keep & ZELT_KEEP_DEPTH)) {
        p.depth = std::max_element(votes.begin(), votes.end(), [](auto &a, auto &b) { return a.second < b.second; })->first;
        fromLayers = true;
    }
    // Channels and mode from the colour channels the layers use.
    if (s.colourChannels > 0) {
        if (!(keep & ZELT_KEEP_CHANNELS))
            p.channels = static_cast<uint16_t>(s.colourChannels);
        if (!(keep & ZELT_KEEP_MODE))
            p.mode = s.colourChannels == 3 && s.labLike ? 9 : ModeFor(s.colourChannels, p.depth, s.palette);
        fromLayers = true;
    } else if (s.palette) {
        // A palette without layers: an indexed picture has one channel.
        if (!(keep & ZELT_KEEP_MODE))
            p.mode = 2;
        if (!(keep & ZELT_KEEP_CHANNELS))
            p.channels = 1;
    }
    // The canvas: the background layer's (exact), else the union of the
    // layers (layers may hang over the edge: the merged image's rows, where
    // they tell otherwise, win over it).
    const std::optional<PixelRect> canvas = s.background ? s.background : s.layerUnion;
    bool strongWidth = (keep & ZELT_KEEP_WIDTH) != 0, strongHeight = (keep & ZELT_KEEP_HEIGHT) != 0;
    bool haveWidth = strongWidth, haveHeight = strongHeight;
    if (canvas && canvas->Height() > 0 && canvas->Width() > 0 && canvas->Height() <= 300000 && canvas->Width() <= 300000) {
        if (!haveHeight)
            p.height = static_cast<uint32_t>(canvas->Height());
        if (!haveWidth)
            p.width = static_cast<uint32_t>(canvas->Width());
        strongWidth |= s.background.has_value();
        strongHeight |= s.background.has_value();
        haveWidth = haveHeight = true;
        fromLayers = true;
    }
    if (fromLayers)
        sources.push_back("layer records");
    const bool keepDepth = (keep & ZELT_KEEP_DEPTH) != 0 || s.keyDepth || !s.channelDepths.empty();
    const bool keepChannels = (keep & ZELT_KEEP_CHANNELS) != 0;
    // Where nothing else tells the depth, the merged image's bytes may: they
    // pair up like 16-bit samples.
    const uint16_t mergedDepth = s.sixteenBitLike && !keepDepth && p.depth == 8 ? 16 : p.depth;

    // The merged image's rows: every row decodes to width x bytes per
    // sample, and there are channels x height of them.
    if (s.mergedRowBytes && s.mergedRows && *s.mergedRowBytes > 0 && *s.mergedRows > 0) {
        const uint64_t rowBytes = *s.mergedRowBytes, rows = *s.mergedRows;
        // Width and depth: the row must hold a whole number of samples; the
        // canvas's width, then the depth already found, decide among them.
        std::optional<std::pair<uint16_t, uint64_t>> dw;
        if (haveWidth)
            for (uint16_t d : {p.depth, uint16_t(8), uint16_t(16), uint16_t(32), uint16_t(1)})
                if (RowOf(p.width, d) == rowBytes && !(keepDepth && d != p.depth)) {
                    dw = std::make_pair(d, uint64_t{p.width});
                    break;
                }
        if (!dw && !strongWidth && mergedDepth != 1 && rowBytes % (mergedDepth / 8) == 0 &&
            rowBytes / (mergedDepth / 8) <= 300000)
            dw = std::make_pair(mergedDepth, rowBytes / (mergedDepth / 8));
        if (dw) {
            // Channels and height: rows = channels x height. A height that
            // stands decides; else the preview's aspect ratio among the
            // channel counts that divide the rows; else the canvas's height,
            // the channels known, or the fewest channels that divide them
            // (an alpha channel beyond the colour ones).
            std::optional<std::pair<uint64_t, uint64_t>> ch; // channels, height
            const uint64_t fewest = std::max<uint64_t>(1, s.colourChannels);
            auto byHeight = [&]() -> std::optional<std::pair<uint64_t, uint64_t>> {
                const uint64_t c = rows / p.height;
                // With a height that stands, the rows tell the channels, also
                // fewer than the layers' identifiers suggested.
                const uint64_t least = strongHeight ? 1 : fewest;
                if (haveHeight && rows % p.height == 0 && c >= least && c <= 24 && !(keepChannels && c != p.channels))
                    return std::make_pair(c, uint64_t{p.height});
                return std::nullopt;
            };
            if (strongHeight) {
                ch = byHeight();
            } else {
                if (s.aspect) {
                    double bestError = 0.03;
                    for (uint64_t c = keepChannels ? p.channels : fewest; c <= (keepChannels ? p.channels : 24u); ++c) {
                        if (rows % c != 0 || rows / c > 300000)
                            continue;
                        const double error = std::fabs(double(dw->second) / double(rows / c) - *s.aspect) / *s.aspect;
                        if (error < bestError) {
                            bestError = error;
                            ch = std::make_pair(c, rows / c);
                        }
                    }
                }
                if (!ch)
                    ch = byHeight();
                if (!ch && rows % p.channels == 0 && rows / p.channels <= 300000 && p.channels >= fewest)
                    ch = std::make_pair(uint64_t{p.channels}, rows / p.channels);
                for (uint64_t c = fewest; !ch && !keepChannels && c <= 24; ++c)
                    if (rows % c == 0 && rows / c <= 300000)
                        ch = std::make_pair(c, rows / c);
            }
            if (ch) {
                p.depth = dw->first;
                p.width = static_cast<uint32_t>(dw->second);
                p.channels = static_cast<uint16_t>(ch->first);
                p.height = static_cast<uint32_t>(ch->second);
                if (s.colourChannels > p.channels && !(keep & ZELT_KEEP_MODE))
                    p.mode = ModeFor(p.channels >= 3 ? 3 : 1, p.depth, s.palette);
                sources.push_back("merged image rows");
            }
        }
    } else if (s.mergedBytes && *s.mergedBytes > 0) {
        // Raw or inflated planes: channels x height x width x bytes per
        // sample must be exactly what is there.
        const uint64_t total = *s.mergedBytes;
        const uint64_t plane = haveWidth && haveHeight ? RowOf(p.width, p.depth) * p.height : 0;
        const uint64_t fewest = std::max<uint64_t>(1, s.colourChannels);
        if (plane > 0 && strongWidth && strongHeight) {
            if (total % plane == 0 && total / plane >= fewest && total / plane <= 24 &&
                !(keepChannels && total / plane != p.channels)) {
                p.channels = static_cast<uint16_t>(total / plane);
                sources.push_back("merged image length");
            }
        } else if (haveWidth && haveHeight && p.depth != 1) {
            // The layers' extent is only near the canvas (layers may not
            // reach its edges or hang over them): of the sizes whose area
            // the planes fill, the nearest to it, each channel beyond the
            // colour ones and one alpha channel counting against it.
            std::optional<std::pair<uint64_t, uint64_t>> best;
            uint64_t channels = 0;
            double bestScore = 1e9;
            for (uint64_t c = keepChannels ? p.channels : fewest; c <= (keepChannels ? p.channels : 24u); ++c) {
                const uint64_t perPixel = c * (p.depth / 8);
                if (total % perPixel != 0)
                    continue;
                const uint64_t area = total / perPixel;
                const double extra = 0.3 * double(c > fewest + 1 ? c - fewest - 1 : 0);
                auto consider = [&](uint64_t h) {
                    if (h == 0 || area % h != 0 || h > 300000 || area / h > 300000 || (strongWidth && area / h != p.width) ||
                        (strongHeight && h != p.height))
                        return;
                    const double score = std::fabs(double(area / h) - p.width) / p.width +
                                         std::fabs(double(h) - p.height) / p.height + extra;
                    if (score < bestScore) {
                        bestScore = score;
                        best = std::make_pair(h, area / h);
                        channels = c;
                    }
                };
                for (uint64_t d = 1; d * d <= area; ++d)
                    if (area % d == 0) {
                        consider(d);
                        consider(area / d);
                    }
            }
            if (best) {
                p.channels = static_cast<uint16_t>(channels);
                p.height = static_cast<uint32_t>(best->first);
                p.width = static_cast<uint32_t>(best->second);
                sources.push_back("merged image length");
            }
        } else if (s.aspect && p.depth != 1) {
            for (const uint16_t depth : {mergedDepth, p.depth}) {
                const uint64_t perPixel = uint64_t{p.channels} * (depth / 8);
                if (total % perPixel == 0)
                    if (const auto hw = SplitArea(total / perPixel, *s.aspect)) {
                        p.height = static_cast<uint32_t>(hw->first);
                        p.width = static_cast<uint32_t>(hw->second);
                        p.depth = depth;
                        sources.push_back("merged image length");
                        sources.push_back("embedded preview");
                        break;
                    }
            }
        }
    }
    // A mode needs its colour channels: without layers to tell it, fewer
    // channels than the given mode has make the picture grey.
    if (s.colourChannels == 0 && !s.palette && !(keep & ZELT_KEEP_MODE) && !sources.empty()) {
        const uint32_t wanted = p.mode == 0 || p.mode == 1 || p.mode == 2 || p.mode == 8 ? 1 : p.mode == 4 ? 4 : p.mode == 7 ? 1 : 3;
        if (wanted > p.channels)
            p.mode = p.channels >= 3 ? 3 : p.depth == 1 ? 0 : 1;
    }

    out.found = !sources.empty();
    for (std::size_t i = 0; i < sources.size(); ++i)
        out.sources += (i == 0 ? "" : i + 1 == sources.size() ? " and " : ", ") + sources[i];
    return out;
}

void SampleBytePairs::Add(const uint8_t *b, std::size_t n)
{
    for (std::size_t k = 0; k + 3 < n; k += 2) {
        ++m_pairs;
        m_highSteps += static_cast<uint64_t>(std::abs(int(b[k]) - int(b[k + 2])));
        m_lowSteps += static_cast<uint64_t>(std::abs(int(b[k + 1]) - int(b[k + 3])));
    }
}

bool SampleBytePairs::LookSixteenBit() const
{
    // Each step between two 8-bit samples is counted once among the even
    // places and once among the odd ones, so flat areas and sharp edges
    // weigh alike in both; only samples whose halves differ in kind (a high
    // half that changes slowly, a low half that changes much, or the other
    // way round) set them apart. Too few pairs, or too little change, tell
    // nothing.
    if (m_pairs < 256)
        return false;
    const uint64_t most = std::max(m_highSteps, m_lowSteps), least = std::min(m_highSteps, m_lowSteps);
    return (most >= 8 * m_pairs && 2 * most >= 3 * least) || (most >= m_pairs && most >= 4 * least);
}

} // namespace zelt
