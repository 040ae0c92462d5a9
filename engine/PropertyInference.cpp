#include "PropertyInference.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>

#include "ZeltApi.h"

namespace zelt {
namespace {

constexpr uint64_t kMaxChannels = 57;
constexpr uint64_t kMaxSide = 300000;

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

uint32_t ModeColours(uint16_t mode)
{
    return mode == 0 || mode == 1 || mode == 2 || mode == 8 || mode == 7 ? 1 : mode == 4 ? 4 : 3;
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
    for (std::size_t k = 0; k + 7 < n; k += 4) {
        ++m_quads;
        for (std::size_t j = 0; j < 4; ++j)
            m_placeSteps[j] += static_cast<uint64_t>(std::abs(int(b[k + j]) - int(b[k + j + 4])));
    }
}

bool SampleBytePairs::Flat() const
{
    if (m_quads < 256)
        return false;
    uint64_t steps = 0;
    for (uint64_t step : m_placeSteps)
        steps += step;
    return double(steps) / double(4 * m_quads) < 1.0;
}

uint16_t SampleBytePairs::Depth() const
{
    if (m_quads < 256)
        return 0;
    double step[4];
    for (int j = 0; j < 4; ++j)
        step[j] = double(m_placeSteps[j]) / double(m_quads);
    const double most = *std::max_element(step, step + 4), least = *std::min_element(step, step + 4);
    if (most < 1.0)
        return 0; // flat: nothing to tell the places apart by
    auto alike = [](double a, double b) { return std::max(a, b) <= 1.25 * std::min(a, b) + 0.5; };
    // Floats: the sign and exponent byte barely moves, the low mantissa
    // bytes move much, and the pairs do not repeat as 16-bit samples do.
    if (step[0] * 4 < step[3] && step[0] * 4 < step[2] && step[0] <= step[1] && !alike(step[1], step[3]))
        return 32;
    if (LookSixteenBit() && alike(step[0], step[2]) && alike(step[1], step[3]))
        return 16;
    if (most <= 1.25 * least + 0.5 && !LookSixteenBit())
        return 8;
    return 0;
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

namespace {

// The number in the metadata's text after key (an element's text or an
// attribute's value), or 0.
uint64_t XmpNumber(const std::string &xmp, const std::string &key)
{
    const std::size_t at = xmp.find(key);
    if (at == std::string::npos)
        return 0;
    std::size_t i = at + key.size();
    while (i < xmp.size() && (xmp[i] == '>' || xmp[i] == '=' || xmp[i] == '"' || xmp[i] == '\'' || xmp[i] == ' '))
        ++i;
    uint64_t n = 0;
    for (; i < xmp.size() && xmp[i] >= '0' && xmp[i] <= '9' && n < 1000000; ++i)
        n = n * 10 + uint64_t(xmp[i] - '0');
    return n;
}

} // namespace

void ReadResourceSignals(uint16_t id, const std::vector<uint8_t> &data, PropertySignals &s)
{
    auto be32 = [&](std::size_t at) {
        return uint32_t(data[at]) << 24 | uint32_t(data[at + 1]) << 16 | uint32_t(data[at + 2]) << 8 | data[at + 3];
    };
    if (id == 1050 && data.size() >= 20 && be32(0) == 6) {
        // Slices, version 6: their bounds are the canvas's.
        const PixelRect r{int32_t(be32(4)), int32_t(be32(8)), int32_t(be32(12)), int32_t(be32(16))};
        if (r.top == 0 && r.left == 0 && r.bottom > 0 && r.right > 0 && r.bottom <= int64_t(kMaxSide) &&
            r.right <= int64_t(kMaxSide))
            s.documentRect = r;
    } else if (id == 1060) {
        const std::string xmp(data.begin(), data.end());
        const uint64_t w = XmpNumber(xmp, "exif:PixelXDimension"), h = XmpNumber(xmp, "exif:PixelYDimension");
        if (w > 0 && h > 0 && w <= kMaxSide && h <= kMaxSide && !s.documentRect)
            s.documentRect = PixelRect{0, 0, int64_t(h), int64_t(w)};
        const uint64_t mode = XmpNumber(xmp, "photoshop:ColorMode");
        if (xmp.find("photoshop:ColorMode") != std::string::npos && (mode <= 4 || mode == 7 || mode == 8 || mode == 9))
            s.statedMode = static_cast<uint16_t>(mode);
    } else if (id == 1039 && data.size() >= 20) {
        // A colour profile's header names its colour space at byte 16.
        const std::string space(data.begin() + 16, data.begin() + 20);
        s.statedColours = space == "RGB " || space == "Lab " ? 3 : space == "GRAY" ? 1 : space == "CMYK" ? 4 : 0;
    }
}

namespace {

struct Reading {
    uint64_t channels, height, width;
    uint16_t depth;
    bool operator==(const Reading &o) const
    {
        return channels == o.channels && height == o.height && width == o.width && depth == o.depth;
    }
};


// The divisors of n, in rising order.
std::vector<uint64_t> Divisors(uint64_t n)
{
    std::vector<uint64_t> low, high;
    for (uint64_t d = 1; d * d <= n; ++d)
        if (n % d == 0) {
            low.push_back(d);
            if (d * d != n)
                high.push_back(n / d);
        }
    low.insert(low.end(), high.rbegin(), high.rend());
    return low;
}

// Every reading whose planes give exactly the merged data: its row lengths
// and rows, or its bytes. Where only the bytes are known, the size comes
// from the signals that give one (the background's, the layers' extent or
// the preview's aspect): the bytes alone fit too many.
std::vector<Reading> FittingReadings(const PropertySignals &s)
{
    std::vector<Reading> out;
    const uint16_t depths[] = {1, 8, 16, 32};
    if (s.mergedRowBytes && s.mergedRows && *s.mergedRowBytes > 0 && *s.mergedRows > 0) {
        const uint64_t rowBytes = *s.mergedRowBytes, rows = *s.mergedRows;
        for (uint16_t d : depths) {
            std::vector<uint64_t> widths;
            if (d == 1) {
                for (uint64_t w = rowBytes * 8 - 7; w <= rowBytes * 8; ++w)
                    widths.push_back(w);
            } else if (rowBytes % (d / 8) == 0) {
                widths.push_back(rowBytes / (d / 8));
            }
            for (uint64_t w : widths)
                for (uint64_t c = 1; c <= kMaxChannels; ++c)
                    if (rows % c == 0 && rows / c <= kMaxSide && w <= kMaxSide && w > 0)
                        out.push_back({c, rows / c, w, d});
        }
        return out;
    }
    if (!s.mergedBytes || *s.mergedBytes == 0)
        return out;
    const uint64_t total = *s.mergedBytes;
    for (uint16_t d : depths) {
        for (uint64_t c = 1; c <= kMaxChannels; ++c) {
            if (d != 1 && total % (c * (d / 8)) != 0)
                continue;
            auto consider = [&](uint64_t h, uint64_t w) {
                if (h > 0 && w > 0 && h <= kMaxSide && w <= kMaxSide && c * RowOf(w, d) * h == total)
                    out.push_back({c, h, w, d});
            };
            if (s.background) {
                consider(s.background->Height(), s.background->Width());
                continue;
            }
            if (d == 1)
                continue; // packed rows: the bytes fit a width only within eight
            const uint64_t area = total / (c * (d / 8));
            for (uint64_t h : Divisors(area)) {
                const uint64_t w = area / h;
                const bool nearUnion = s.layerUnion && s.layerUnion->Height() > 0 && s.layerUnion->Width() > 0 &&
                                       std::fabs(double(h) / double(s.layerUnion->Height()) - 1) < 0.25 &&
                                       std::fabs(double(w) / double(s.layerUnion->Width()) - 1) < 0.25;
                const bool nearAspect = s.aspect && std::fabs(double(w) / double(h) - *s.aspect) / *s.aspect < 0.03;
                if (nearUnion || nearAspect)
                    consider(h, w);
            }
        }
    }
    return out;
}

// Keeps the readings a test passes, where any does; else leaves them as
// they are (a signal that fits none of them tells nothing among them).
template <typename Test>
void Prefer(std::vector<Reading> &readings, Test test)
{
    std::vector<Reading> kept;
    std::copy_if(readings.begin(), readings.end(), std::back_inserter(kept), test);
    if (!kept.empty())
        readings.swap(kept);
}

} // namespace

std::optional<ImageProperties> ProvenReading(const PropertySignals &s, const ImageProperties &p, uint32_t keep,
                                             std::string &sources)
{
    if (keep & (ZELT_KEEP_CHANNELS | ZELT_KEEP_HEIGHT | ZELT_KEEP_WIDTH | ZELT_KEEP_DEPTH | ZELT_KEEP_MODE))
        return p;
    std::vector<Reading> readings = FittingReadings(s);
    bool layers = false, preview = false;
    // What the layers state stands: a key's depth, the depth every sized
    // channel told, the background's size, at least the colour channels
    // they use (one for a palette).
    std::map<uint16_t, int> votes;
    for (uint16_t d : s.channelDepths)
        ++votes[d];
    // A palette or an indexed mode has 8 bits, Bitmap 1.
    const bool indexed = s.palette || (s.statedMode && *s.statedMode == 2);
    const std::optional<uint16_t> modeDepth = indexed ? std::optional<uint16_t>(8)
                                              : s.statedMode && *s.statedMode == 0 ? std::optional<uint16_t>(1)
                                                                                   : std::nullopt;
    const std::optional<uint16_t> depth = s.keyDepth ? s.keyDepth
                                          : votes.size() == 1 ? std::optional<uint16_t>(votes.begin()->first)
                                                              : modeDepth;
    // The colours: the layers', else the colour profile's, else the mode's.
    const uint64_t colours = indexed ? 1
                             : s.colourChannels > 0 ? s.colourChannels
                             : s.statedColours > 0  ? s.statedColours
                             : s.statedMode && *s.statedMode != 7 ? ModeColours(*s.statedMode)
                                                                  : 0;
    const std::optional<PixelRect> canvas = s.background ? s.background : s.documentRect;
    auto stated = [&](const Reading &r) {
        return (!depth || r.depth == *depth) && r.channels >= std::max<uint64_t>(1, colours) &&
               (!canvas || (r.height == canvas->Height() && r.width == canvas->Width()));
    };
    readings.erase(std::remove_if(readings.begin(), readings.end(), [&](const Reading &r) { return !stated(r); }),
                   readings.end());
    layers = s.keyDepth || !votes.empty() || s.colourChannels > 0 || s.background;
    const bool resources = s.documentRect || s.statedColours > 0 || s.statedMode;
    // What agrees with one reading more than with the others, in turn: the
    // bytes' own depth, channels as many as the colours or one more (an
    // alpha channel), the preview's aspect, the layers' extent.
    if (s.sampleDepth != 0 && !depth)
        Prefer(readings, [&](const Reading &r) { return r.depth == s.sampleDepth; });
    if (colours > 0)
        Prefer(readings, [&](const Reading &r) { return r.channels <= colours + 1; });
    // The planes meet where the rows jump: the most channels all of whose
    // plane boundaries jump (a divisor's boundaries are among them); where
    // none does, this tells nothing.
    uint64_t lined = 0;
    for (const auto &[c, jump] : s.planeRepeat)
        if (jump >= 3)
            lined = std::max<uint64_t>(lined, c);
    if (lined != 0 && readings.size() > 1)
        Prefer(readings, [&](const Reading &r) { return r.channels == lined; });
    // Raw planes show their rows: a sample is most like the one a row
    // below. Samples are compared by their telling byte: the high one of
    // 16 bits, the second of a float (the first, sign and exponent, barely
    // moves).
    if (!s.rawSample.empty() && readings.size() > 1) {
        auto step = [&](const Reading &r) {
            const uint64_t stride = RowOf(r.width, r.depth);
            const uint64_t n = std::min<uint64_t>(s.rawSample.size(), stride * r.height);
            if (stride == 0 || n <= stride + 64)
                return 1e9;
            const uint64_t every = r.depth == 32 ? 4 : r.depth == 16 ? 2 : 1, first = r.depth == 32 ? 1 : 0;
            double sum = 0;
            uint64_t count = 0;
            for (uint64_t i = first; i + stride < n; i += every, ++count)
                sum += std::abs(double(s.rawSample[i]) - double(s.rawSample[i + stride]));
            return count == 0 ? 1e9 : sum / double(count);
        };
        double least = 1e9, second = 1e9;
        std::map<uint64_t, double> byStride;
        for (const Reading &r : readings) {
            const uint64_t stride = RowOf(r.width, r.depth);
            if (!byStride.count(stride))
                byStride[stride] = step(r);
        }
        for (const auto &[stride, v] : byStride) {
            if (v < least) {
                second = least;
                least = v;
            } else {
                second = std::min(second, v);
            }
        }
        // Only a stride that stands out tells the rows.
        if (least < 0.7 * second)
            Prefer(readings, [&](const Reading &r) { return byStride[RowOf(r.width, r.depth)] <= least; });
    }
    if (s.aspect && readings.size() > 1) {
        const std::size_t before = readings.size();
        Prefer(readings, [&](const Reading &r) {
            return std::fabs(double(r.width) / double(r.height) - *s.aspect) / *s.aspect < 0.03;
        });
        preview = readings.size() < before || (!s.mergedRows && !s.background && !s.layerUnion);
    }
    if (s.layerUnion && !canvas && s.layerUnion->Height() > 0 && s.layerUnion->Width() > 0 && readings.size() > 1) {
        auto distance = [&](const Reading &r) {
            return std::fabs(double(r.height) / double(s.layerUnion->Height()) - 1) +
                   std::fabs(double(r.width) / double(s.layerUnion->Width()) - 1);
        };
        double nearest = 1e9;
        for (const Reading &r : readings)
            nearest = std::min(nearest, distance(r));
        Prefer(readings, [&](const Reading &r) { return distance(r) <= nearest + 0.02 && distance(r) < 0.5; });
        layers = true;
    }
    // Where the colours are known, no alpha channel is read into the
    // picture that nothing else shows.
    if (colours > 0 && readings.size() > 1)
        Prefer(readings, [&](const Reading &r) { return r.channels == colours; });
    // A flat picture shows no depth and no plane: it is read as most
    // pictures are, 8 bits (1 for Bitmap) and its colours without alpha.
    if (s.sampleFlat && readings.size() > 1 && colours > 0) {
        Prefer(readings, [&](const Reading &r) { return r.depth == (depth ? *depth : 8); });
        Prefer(readings, [&](const Reading &r) { return r.channels == colours; });
    }
    if (readings.size() != 1)
        return std::nullopt;
    const Reading &r = readings[0];
    ImageProperties proven = p;
    proven.channels = static_cast<uint16_t>(r.channels);
    proven.height = static_cast<uint32_t>(r.height);
    proven.width = static_cast<uint32_t>(r.width);
    proven.depth = r.depth;
    // The mode: the layers' (as inferred), the metadata's, else the one the
    // channels can hold (the given one where it fits).
    if (s.statedMode && s.colourChannels == 0 && ModeColours(*s.statedMode) <= proven.channels)
        proven.mode = *s.statedMode;
    else if (s.colourChannels == 0 && !s.palette &&
             (ModeColours(proven.mode) > proven.channels || (proven.channels >= 3 && ModeColours(proven.mode) == 1)))
        proven.mode = proven.channels >= 3 ? 3 : 1;
    if (proven.depth == 1 && colours <= 1 && !s.palette)
        proven.mode = 0;
    std::vector<std::string> names;
    if (layers)
        names.push_back("layer records");
    if (resources)
        names.push_back("image resources");
    names.push_back(s.mergedRows ? "merged image rows" : "merged image length");
    if (preview)
        names.push_back("embedded preview");
    sources.clear();
    for (std::size_t i = 0; i < names.size(); ++i)
        sources += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
    return proven;
}

} // namespace zelt
