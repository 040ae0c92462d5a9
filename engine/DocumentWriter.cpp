#include "DocumentWriter.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "BigEndian.h"
#include "BlockCheck.h"
#include "Messages.h"
#include "LayerSectionReader.h"
#include "PackBits.h"
#include "PsdRecoverer.h"

namespace zelt {
namespace {

constexpr uint32_t k8BIM = 0x3842494D, k8B64 = 0x38423634;
constexpr std::size_t kMaxExtra = 64u << 20; // a layer's extra data beyond this is damage
const char kDamaged[] = " (damaged)";

void AppendUtf8(std::string &out, uint32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | cp >> 6);
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | cp >> 12);
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | cp >> 18);
        out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

bool ValidUtf8(const std::string &s)
{
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<uint8_t>(s[i]);
        const std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size())
            return false;
        for (std::size_t k = 1; k < n; ++k)
            if ((static_cast<uint8_t>(s[i + k]) & 0xC0) != 0x80)
                return false;
        i += n;
    }
    return true;
}

// The parts of extra data: where the Pascal name starts and where the tagged
// blocks start, or false when the data is too short for them.
struct ExtraParts {
    std::size_t name = 0, blocks = 0;
    bool maskWhole = false;
};

bool SplitExtra(const std::vector<uint8_t> &e, ExtraParts &parts)
{
    std::size_t pos = 0;
    if (e.size() < 4)
        return false;
    const uint64_t mask = LoadBE32(e.data());
    parts.maskWhole = 4 + mask <= e.size();
    if (!parts.maskWhole || 4 + mask + 4 > e.size())
        return false;
    pos = 4 + mask;
    const uint64_t ranges = LoadBE32(e.data() + pos);
    if (pos + 4 + ranges + 1 > e.size())
        return false;
    pos += 4 + ranges;
    parts.name = pos;
    const std::size_t nameField = (1 + std::size_t{e[pos]} + 3) / 4 * 4;
    if (pos + nameField > e.size())
        return false;
    parts.blocks = pos + nameField;
    return true;
}

struct Block {
    uint32_t sig, key;
    std::size_t data;
    uint64_t length;
};

// The tagged blocks of a layer's extra data from `from`, as far as they are
// whole (and, when `checked`, as far as their content parses); `rest` is
// where the first byte that is no such block starts.
std::vector<Block> WalkBlocks(const std::vector<uint8_t> &e, std::size_t from, const Layout &layout, std::size_t &rest,
                              bool checked = false)
{
    std::vector<Block> blocks;
    std::size_t pos = from;
    while (pos + 12 <= e.size()) {
        const uint32_t sig = LoadBE32(e.data() + pos), key = LoadBE32(e.data() + pos + 4);
        if (sig != k8BIM && sig != k8B64)
            break;
        const uint32_t w = layout.TaggedLengthBytes(key);
        if (pos + 8 + w > e.size())
            break;
        const uint64_t len = LoadBE(e.data() + pos + 8, w);
        const std::size_t data = pos + 8 + w;
        if (len > e.size() - data ||
            (checked && !TaggedBlockHolds(key, e.data() + data, static_cast<std::size_t>(len))))
            break;
        blocks.push_back({sig, key, data, len});
        pos = data + static_cast<std::size_t>(len);
    }
    rest = pos;
    return blocks;
}

// Whether every tagged block of whole extra data parses by its content too.
bool BlocksHold(const std::vector<uint8_t> &e, const Layout &layout)
{
    ExtraParts parts;
    if (!SplitExtra(e, parts))
        return true; // the chain check tells this damage
    std::size_t whole, checked;
    WalkBlocks(e, parts.blocks, layout, whole);
    WalkBlocks(e, parts.blocks, layout, checked, true);
    return whole == checked;
}

std::vector<uint16_t> UnicodeName(const std::vector<uint8_t> &e, const Block &b)
{
    std::vector<uint16_t> units;
    if (b.length < 4)
        return units;
    const uint64_t count = std::min<uint64_t>(LoadBE32(e.data() + b.data), (b.length - 4) / 2);
    for (uint64_t i = 0; i < count; ++i)
        units.push_back(LoadBE16(e.data() + b.data + 4 + 2 * i));
    while (!units.empty() && units.back() == 0)
        units.pop_back();
    return units;
}

void PutBE(std::vector<uint8_t> &out, uint64_t v, uint32_t width)
{
    for (uint32_t shift = 8 * std::min<uint32_t>(width, 8); shift > 0;) {
        shift -= 8;
        out.push_back(static_cast<uint8_t>(v >> shift));
    }
}

} // namespace

std::string Utf16ToUtf8(const std::vector<uint16_t> &units)
{
    std::string out;
    for (std::size_t i = 0; i < units.size(); ++i) {
        uint32_t cp = units[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000)
            cp = 0x10000 + ((cp - 0xD800) << 10) + (units[++i] - 0xDC00);
        else if (cp >= 0xD800 && cp < 0xE000)
            cp = 0xFFFD;
        AppendUtf8(out, cp);
    }
    return out;
}

std::string LegacyToUtf8(const std::string &bytes)
{
    if (ValidUtf8(bytes))
        return bytes;
    std::string out;
    for (char c : bytes)
        AppendUtf8(out, static_cast<uint8_t>(c));
    return out;
}

std::string LayerExtra::Name() const { return hasUnicodeName ? unicodeName : LegacyToUtf8(pascalName); }

LayerExtra ParseLayerExtra(const std::vector<uint8_t> &extra, const Layout &layout, bool checked)
{
    LayerExtra info;
    ExtraParts parts;
    if (!SplitExtra(extra, parts))
        return info;
    info.pascalName.assign(extra.begin() + long(parts.name) + 1,
                           extra.begin() + long(parts.name) + 1 + extra[parts.name]);
    std::size_t rest;
    for (const Block &b : WalkBlocks(extra, parts.blocks, layout, rest, checked)) {
        if (b.key == FourCC("luni")) {
            info.unicodeName = Utf16ToUtf8(UnicodeName(extra, b));
            info.hasUnicodeName = true;
        } else if (b.key == FourCC("lsct") && b.length >= 4) {
            info.sectionType = LoadBE32(extra.data() + b.data);
        }
    }
    return info;
}

std::vector<uint8_t> RewriteLayerExtra(const std::vector<uint8_t> &extra, const Layout &from, const Layout &to,
                                       bool damaged, bool keepMask, bool plainDivider)
{
    ExtraParts parts;
    if (!SplitExtra(extra, parts)) {
        // Too short for its parts: readers would stumble on it, so the
        // record gets the smallest extra data there is (no mask, no
        // blending ranges, an empty name).
        return std::vector<uint8_t>(12, 0);
    }
    std::vector<uint8_t> out(extra.begin(), extra.begin() + long(parts.name));
    if (!keepMask) {
        // The mask data goes (its length 0); the blending ranges stay.
        const std::size_t mask = 4 + LoadBE32(extra.data());
        out.assign(4, 0);
        out.insert(out.end(), extra.begin() + long(mask), extra.begin() + long(parts.name));
    }
    std::string name(extra.begin() + long(parts.name) + 1, extra.begin() + long(parts.name) + 1 + extra[parts.name]);
    if (damaged)
        name = name.substr(0, 255 - (sizeof kDamaged - 1)) + kDamaged;
    const std::size_t nameAt = out.size(); // the mask data may have gone before it
    out.push_back(static_cast<uint8_t>(name.size()));
    out.insert(out.end(), name.begin(), name.end());
    while (out.size() - nameAt < (1 + name.size() + 3) / 4 * 4)
        out.push_back(0);
    std::size_t rest;
    for (const Block &b : WalkBlocks(extra, parts.blocks, from, rest, true)) {
        PutBE(out, b.sig, 4);
        PutBE(out, b.key, 4);
        const uint32_t w = to.TaggedLengthBytes(b.key);
        if (b.key == FourCC("luni") && damaged) {
            std::vector<uint16_t> units = UnicodeName(extra, b);
            for (const char *c = kDamaged; *c; ++c)
                units.push_back(static_cast<uint8_t>(*c));
            const uint64_t len = (4 + 2 * uint64_t{units.size()} + 3) / 4 * 4;
            PutBE(out, len, w);
            PutBE(out, units.size(), 4);
            for (uint16_t u : units)
                PutBE(out, u, 2);
            out.insert(out.end(), len - 4 - 2 * units.size(), 0);
            continue;
        }
        PutBE(out, b.length, w);
        const std::size_t at = out.size();
        out.insert(out.end(), extra.begin() + long(b.data), extra.begin() + long(b.data + b.length));
        if (plainDivider && (b.key == FourCC("lsct") || b.key == FourCC("lsdk")) && b.length >= 4)
            StoreBE32(out.data() + at, 0);
    }
    // What does not form a block is dropped: a reader would stumble on it.
    return out;
}

struct RebuiltDocument::Entry {
    bool included = false;    ///< a record of the document
    bool placedEmpty = false; ///< too little of its data survives: its record, no pixels
    bool damaged = false;     ///< the source does not hold all of its data whole
    bool visible = true;      ///< its own flag and every group around it
    bool maskKept = false;    ///< its mask data reached the document
    bool maskDropped = false; ///< its mask's rectangle is damaged: readers refuse it
    std::string name;
    std::vector<uint8_t> record;
    uint64_t recordAt = 0; ///< where its record starts in the file
};

RebuiltDocument::RebuiltDocument(PsdRecoverer &r, uint16_t depth, const Layout &sectionLayout)
    : m_r(r), m_job(r.m_job), m_depth(depth), m_sectionLayout(sectionLayout),
      // 1-bit planes stay raw: they are small, and readers that size a
      // packed row as width / 8 rounded down misread run-length ones.
      m_compressed(r.m_job.Flag(ZELT_COMPRESS_DOCUMENT) && depth != 1)
{
}

RebuiltDocument::~RebuiltDocument() = default;

const std::string &RebuiltDocument::Name(std::size_t i) const { return m_entries[i].name; }

std::unique_ptr<RebuiltDocument> RebuiltDocument::Begin(PsdRecoverer &r, uint16_t depth, const Layout &sectionLayout,
                                                        bool composite, uint64_t mergedFromSource)
{
    std::unique_ptr<RebuiltDocument> doc(new RebuiltDocument(r, depth, sectionLayout));
    RebuiltDocument &d = *doc;
    CFile64Ex &source = r.m_source;
    const ImageProperties &p = r.m_properties;
    d.m_channels = p.channels;
    d.m_height = p.height;
    d.m_width = p.width;
    d.m_mode = r.WrittenMode(p.mode);
    const auto planeSize = CheckedMul(RowBytes(p.width, depth), p.height);
    d.m_planeSize = planeSize ? *planeSize : 0;
    const uint64_t dataStart = source.GetPosition();
    d.m_entries.resize(r.m_layerCount);

    // How much of each layer's data the source holds, decoded as it will be:
    // a layer that is not all there whole carries " (damaged)" in its names,
    // and one with almost nothing left is placed without its pixels.
    bool stopped = false;
    uint64_t layerFromSource = 0, layerBytes = 0;
    for (std::size_t i = 0; i < r.m_layerCount; ++i) {
        LayerRecord &layer = r.m_layers[i];
        r.ReadChannelData(layer, stopped, depth, sectionLayout, true);
        Entry &e = d.m_entries[i];
        e.included = layer.valid;
        if (!layer.valid)
            continue;
        const uint64_t from = layer.FromSource(), bytes = layer.PlaneBytes(depth);
        e.placedEmpty = !layer.Empty() && !EnoughSamples(from, bytes);
        e.maskDropped = layer.mask.Implausible() || layer.realMask.Implausible();
        e.damaged = e.placedEmpty || !layer.Whole() || layer.idRepaired || e.maskDropped ||
                    !KnownBlendKey(LoadBE32(layer.blend.data() + 4));
        if (!e.placedEmpty) {
            layerFromSource += from;
            layerBytes += bytes;
        }
    }

    // Names, groups and visibility from the extra data.
    std::vector<std::vector<uint8_t>> extras(r.m_layerCount);
    std::vector<uint32_t> sectionTypes(r.m_layerCount, 0);
    for (std::size_t i = 0; i < r.m_layerCount; ++i) {
        const LayerRecord &layer = r.m_layers[i];
        std::vector<uint8_t> &extra = extras[i];
        if (layer.extraLength <= kMaxExtra) {
            extra.resize(layer.extraLength);
            source.SeekTo(layer.extraOffset);
            extra.resize(source.ReadLarge(extra.data(), extra.size()));
        }
        if (layer.recordLost) {
            // Made from its data alone: a name that says so, nothing else.
            const std::string name = "Layer " + std::to_string(i) + " (record lost)";
            extra.assign(8, 0);
            extra.push_back(static_cast<uint8_t>(name.size()));
            extra.insert(extra.end(), name.begin(), name.end());
            while ((extra.size() - 8) % 4 != 0)
                extra.push_back(0);
        } else if (layer.valid && !(ExtraChainHolds(extra.data(), extra.size(), sectionLayout) &&
                                      BlocksHold(extra, sectionLayout))) {
            // Damaged extra data: only what parses is copied (a tagged block
            // that fails, by its structure or by its content, goes with those
            // after it), and the layer says so.
            d.m_entries[i].damaged = true;
        }
        const LayerExtra info = ParseLayerExtra(extra, sectionLayout, true);
        d.m_entries[i].name = info.Name();
        sectionTypes[i] = info.sectionType;
    }
    std::vector<bool> hiddenGroups; // from the top of the stack of layers down
    for (std::size_t k = r.m_layerCount; k-- > 0;) {
        const bool hidden = (r.m_layers[k].blend[10] & 0x02) != 0;
        const bool inHidden = std::find(hiddenGroups.begin(), hiddenGroups.end(), true) != hiddenGroups.end();
        d.m_entries[k].visible = !hidden && !inHidden;
        if (sectionTypes[k] == 1 || sectionTypes[k] == 2)
            hiddenGroups.push_back(hidden || inHidden);
        else if (sectionTypes[k] == 3 && !hiddenGroups.empty())
            hiddenGroups.pop_back();
    }
    source.SeekTo(dataStart);

    // Properties that describe no picture make no document; nor does one of
    // whose samples less than 1 % came from the source (its layers and its
    // merged image together).
    const auto canvas = CheckedMul(d.m_planeSize, p.channels);
    if (!canvas || *canvas == 0)
        return doc;
    if (!EnoughSamples(layerFromSource + mergedFromSource, layerBytes + *canvas)) {
        r.m_job.NotifyFormatted(MSG_STATUS, kMsgDocumentFewSamples,
                                SampleShare(layerFromSource + mergedFromSource, layerBytes + *canvas).c_str());
        return doc;
    }

    // The records in the widths of the document's layout, which depends on
    // the document's size. Run-length channels get their lengths once
    // written.
    // Groups as other readers take them: from the bottom up, a group's end
    // opens it and its start closes it. One whose other end is not in the
    // document (a record lost) is written as an ordinary layer.
    std::vector<bool> plainDivider(r.m_layerCount, false);
    std::vector<std::size_t> open;
    for (std::size_t i = 0; i < r.m_layerCount; ++i) {
        if (!d.m_entries[i].included)
            continue;
        if (sectionTypes[i] == 3)
            open.push_back(i);
        else if (sectionTypes[i] == 1 || sectionTypes[i] == 2) {
            if (open.empty())
                plainDivider[i] = true;
            else
                open.pop_back();
        }
    }
    for (std::size_t i : open)
        plainDivider[i] = true;
    auto build = [&](const Layout &layout) {
        uint64_t body = 2;
        for (std::size_t i = 0; i < r.m_layerCount; ++i) {
            Entry &e = d.m_entries[i];
            e.record.clear();
            if (!e.included)
                continue;
            const LayerRecord &layer = r.m_layers[i];
            std::vector<uint8_t> extra =
                RewriteLayerExtra(extras[i], sectionLayout, layout, e.damaged, !e.placedEmpty && !e.maskDropped,
                                  plainDivider[i]);
            ExtraParts parts;
            e.maskKept = !e.placedEmpty && !e.maskDropped && SplitExtra(extra, parts) && layer.mask.present;
            std::vector<uint8_t> &rec = e.record;
            PutBE(rec, static_cast<uint32_t>(layer.top), 4);
            PutBE(rec, static_cast<uint32_t>(layer.left), 4);
            PutBE(rec, static_cast<uint32_t>(e.placedEmpty ? layer.top : layer.bottom), 4);
            PutBE(rec, static_cast<uint32_t>(e.placedEmpty ? layer.left : layer.right), 4);
            PutBE(rec, layer.channels.size(), 2);
            for (const ChannelRecord &c : layer.channels) {
                const MaskRect *m = layer.MaskFor(c.id);
                const uint64_t plane = e.placedEmpty ? 0
                                       : m            ? (e.maskKept ? RowBytes(m->Width(), depth) * m->Height() : 0)
                                                      : RowBytes(layer.width, depth) * layer.height;
                PutBE(rec, static_cast<uint16_t>(c.id), 2);
                PutBE(rec, 2 + plane, layout.LengthBytes());
                body += 2 + plane;
            }
            std::array<uint8_t, 12> blend = layer.blend;
            if (!KnownBlendKey(LoadBE32(blend.data() + 4))) // damaged: readers refuse a key they do not know
                StoreBE32(blend.data() + 4, FourCC("norm"));
            StoreBE32(blend.data(), k8BIM);
            rec.insert(rec.end(), blend.begin(), blend.end());
            PutBE(rec, extra.size(), 4);
            rec.insert(rec.end(), extra.begin(), extra.end());
            body += rec.size();
        }
        return body;
    };
    // The image resources, each that still parses (a damaged path or
    // descriptor makes other readers refuse the whole document).
    std::vector<uint8_t> resourceData;
    if (r.m_resourcesWhole && r.m_resourcesLength <= r.m_memoryBudget) {
        resourceData.resize(r.m_resourcesLength);
        source.SeekTo(r.m_resourcesOffset);
        resourceData.resize(source.ReadLarge(resourceData.data(), resourceData.size()));
        resourceData = ResourcesThatHold(resourceData.data(), resourceData.size());
        source.SeekTo(dataStart);
    }
    const uint64_t resources = resourceData.size();
    uint64_t body = build(kDocumentLayout);
    const uint64_t estimate = 64 + 768 + resources + body + d.m_planeSize * p.channels;
    d.m_layout = r.LayoutForFile(p.height, p.width, estimate);
    if (d.m_layout.large)
        body = build(d.m_layout);
    const uint64_t infoLength = (body + 3) / 4 * 4;
    d.m_padding = infoLength - body;
    d.m_layers = static_cast<std::size_t>(
        std::count_if(d.m_entries.begin(), d.m_entries.end(), [](const Entry &e) { return e.included; }));

    const std::string path = r.m_outputDir + PathWithoutExtension(PathFileName(r.m_sourcePath)) + "_rebuilt" +
                             PathExtension(r.m_sourcePath);
    auto file = std::make_unique<OutputFile>(r.m_job);
    if (file->Create(r.m_namer, r.WithExtension(path, d.m_layout), std::strlen("_rebuilt"))) {
        OutputStream &out = file->Out();
        std::vector<uint8_t> head(26, 0);
        StoreBE32(head.data(), PsdRecoverer::kSignature);
        StoreBE16(head.data() + 4, d.m_layout.Version());
        StoreBE16(head.data() + 12, p.channels);
        StoreBE32(head.data() + 14, p.height);
        StoreBE32(head.data() + 18, p.width);
        StoreBE16(head.data() + 22, depth);
        StoreBE16(head.data() + 24, d.m_mode);
        r.AppendColorModeData(d.m_mode, head);
        out.Write(head.data(), head.size());
        out.WriteBE(resources, 4);
        out.Write(resourceData.data(), resourceData.size());
        const uint32_t n = d.m_layout.LengthBytes();
        d.m_sectionAt = out.Position();
        if (d.m_layers == 0) {
            // No layer: an empty layer info (length 0), as readers expect,
            // and an empty global layer mask info.
            out.WriteBE(n + 4, n);
            out.WriteBE(0, n);
            out.WriteBE(0, 4);
            d.m_sectionEnded = true;
        } else {
            out.WriteBE(n + infoLength + 4, n);
            out.WriteBE(infoLength, n);
            const auto count = static_cast<int32_t>(d.m_layers);
            out.WriteBE(static_cast<uint16_t>(r.m_storedLayerCount < 0 ? -count : count), 2);
            for (Entry &e : d.m_entries) {
                e.recordAt = out.Position();
                out.Write(e.record.data(), e.record.size());
                e.record = {};
            }
        }
        d.m_file = std::move(file);
    }

    // The composite, for when no merged image comes. Its memory counts
    // against the budget as a plane's does.
    if (!composite) {
        // the merged image recovered before comes in its place
    } else if (*canvas <= r.m_memoryBudget) {
        d.m_canvas.resize(*canvas);
        for (uint32_t c = 0; c < p.channels; ++c)
            d.FillWhite(d.m_canvas.data() + c * d.m_planeSize, d.m_planeSize, c);
    } else {
        d.m_canvasTooLarge = true;
    }
    source.SeekTo(dataStart);
    return doc;
}

void RebuiltDocument::FillWhite(uint8_t *plane, uint64_t size, uint32_t channel) const
{
    // White in each mode's stored values: all bits 0 in Bitmap, a and b at
    // their middle in Lab, the full value everywhere else (CMYK is stored
    // inverted). A large plane is filled in pieces, each a chance to stop.
    const bool middle = m_mode == 9 && channel > 0;
    for (uint64_t from = 0; from < size;) {
        const uint64_t piece = std::min<uint64_t>(size - from, 16u << 20);
        uint8_t *at = plane + from;
        if (m_mode == 0) {
            std::memset(at, 0, piece);
        } else if (m_depth == 32) {
            const uint32_t v = middle ? 0x3F000000 : 0x3F800000; // 0.5, 1.0
            for (uint64_t i = 0; i + 4 <= piece; i += 4)
                StoreBE32(at + i, v);
        } else if (m_depth == 16 && middle) {
            for (uint64_t i = 0; i + 2 <= piece; i += 2)
                StoreBE16(at + i, 0x8000);
        } else {
            std::memset(at, middle ? 0x80 : 0xFF, piece);
        }
        from += piece;
        m_job.Tick(piece);
    }
}

// Normal blending over the canvas, with the layer's transparency and
// opacity; blend modes and clipping are not imitated.
void RebuiltDocument::Composite(const LayerRecord &layer, const Entry &e)
{
    if (m_canvas.empty() || !e.visible || layer.Empty() || m_mergedPlanes > 0)
        return;
    const double opacity = layer.blend[8] / 255.0;
    if (opacity <= 0)
        return;
    const ChannelRecord *alpha = FindChannel(layer.channels, -1);
    const int64_t y0 = std::max<int64_t>(layer.top, 0), y1 = std::min<int64_t>(int64_t{layer.top} + layer.height, m_height);
    const int64_t x0 = std::max<int64_t>(layer.left, 0), x1 = std::min<int64_t>(int64_t{layer.left} + layer.width, m_width);
    if (y0 >= y1 || x0 >= x1)
        return;
    const uint32_t bps = BytesPerSample(m_depth);
    const uint64_t layerRow = RowBytes(layer.width, m_depth), canvasRow = RowBytes(m_width, m_depth);
    auto sample = [&](const uint8_t *plane, uint64_t row, uint64_t x) -> double {
        const uint8_t *s = plane + row * layerRow;
        switch (m_depth) {
        case 1: return (s[x / 8] >> (7 - x % 8)) & 1;
        case 16: return LoadBE16(s + x * 2) / 65535.0;
        case 32: {
            const uint32_t bits = LoadBE32(s + x * 4);
            float f;
            std::memcpy(&f, &bits, 4);
            return std::isfinite(f) ? std::clamp<double>(f, 0.0, 1.0) : 0.0;
        }
        default: return s[x * bps] / 255.0;
        }
    };
    // The layer's colour channels with the canvas planes they go onto.
    std::vector<std::pair<const ChannelRecord *, uint8_t *>> pairs;
    for (uint32_t k = 0; k < m_channels; ++k)
        if (const ChannelRecord *src = FindChannel(layer.channels, static_cast<int16_t>(k)); src && !src->samples.empty())
            pairs.emplace_back(src, m_canvas.data() + uint64_t{k} * m_planeSize);
    if (m_depth == 8) {
        // The common case in integers: a = alpha x opacity in 0 to 255 x 255.
        const auto op = static_cast<uint32_t>(layer.blend[8]);
        for (const auto &[src, plane] : pairs) {
            for (int64_t y = y0; y < y1; ++y) {
                const auto ly = static_cast<uint64_t>(y - layer.top);
                const uint8_t *s = src->samples.data() + ly * layerRow;
                const uint8_t *a = alpha && !alpha->samples.empty() ? alpha->samples.data() + ly * layerRow : nullptr;
                uint8_t *drow = plane + static_cast<uint64_t>(y) * canvasRow;
                for (int64_t x = x0; x < x1; ++x) {
                    const auto lx = static_cast<uint64_t>(x - layer.left);
                    const uint32_t w = op * (a ? a[lx] : 255u);
                    uint8_t &dv = drow[x];
                    dv = static_cast<uint8_t>((uint32_t{dv} * (65025u - w) + uint32_t{s[lx]} * w + 32512u) / 65025u);
                }
            }
        }
        return;
    }
    for (const auto &[src, plane] : pairs) {
        for (int64_t y = y0; y < y1; ++y) {
            const auto ly = static_cast<uint64_t>(y - layer.top);
            uint8_t *drow = plane + static_cast<uint64_t>(y) * canvasRow;
            for (int64_t x = x0; x < x1; ++x) {
                const auto lx = static_cast<uint64_t>(x - layer.left);
                const double a = opacity * (alpha && !alpha->samples.empty() ? sample(alpha->samples.data(), ly, lx) : 1.0);
                if (a <= 0)
                    continue;
                const double s = sample(src->samples.data(), ly, lx);
                const auto cx = static_cast<uint64_t>(x);
                switch (m_depth) {
                case 1:
                    if (a >= 0.5) {
                        const auto bit = static_cast<uint8_t>(1u << (7 - cx % 8));
                        drow[cx / 8] = static_cast<uint8_t>(s > 0 ? drow[cx / 8] | bit : drow[cx / 8] & ~bit);
                    }
                    break;
                case 16: {
                    const double dv = LoadBE16(drow + cx * 2) / 65535.0;
                    StoreBE16(drow + cx * 2, static_cast<uint16_t>(std::lround((dv + (s - dv) * a) * 65535.0)));
                    break;
                }
                case 32: {
                    const uint32_t bits = LoadBE32(drow + cx * 4);
                    float f;
                    std::memcpy(&f, &bits, 4);
                    const float out = static_cast<float>(f + (s - f) * a);
                    uint32_t ob;
                    std::memcpy(&ob, &out, 4);
                    StoreBE32(drow + cx * 4, ob);
                    break;
                }
                default: {
                    const double dv = drow[cx * bps] / 255.0;
                    drow[cx * bps] = static_cast<uint8_t>(std::lround((dv + (s - dv) * a) * 255.0));
                    break;
                }
                }
            }
        }
    }
}


uint64_t RebuiltDocument::MaxRowLength() const { return m_layout.large ? 0xFFFFFFFFu : 0xFFFFu; }

uint64_t RebuiltDocument::WriteChannel(const uint8_t *plane, uint64_t rowBytes, uint32_t rows)
{
    OutputStream &out = m_file->Out();
    const uint64_t planeSize = rowBytes * rows;
    if (m_compressed && rows > 0 && rowBytes > 0) {
        // PackBits rows, unless a row does not fit its stored length's width.
        m_rows.clear();
        m_table.clear();
        bool fits = true;
        const uint32_t w = m_layout.RowLengthBytes();
        for (uint32_t y = 0; y < rows && fits; ++y) {
            const std::size_t before = m_rows.size();
            EncodePackBits(plane + uint64_t{y} * rowBytes, rowBytes, m_rows);
            const uint64_t length = m_rows.size() - before;
            fits = length <= MaxRowLength();
            PutBE(m_table, length, w);
            if (y % 4096 == 4095)
                m_job.PollAbort();
        }
        if (fits) {
            out.WriteBE(1, 2);
            out.Write(m_table.data(), m_table.size());
            out.Write(m_rows.data(), m_rows.size());
            return 2 + m_table.size() + m_rows.size();
        }
    }
    out.WriteBE(0, 2);
    out.Write(plane, planeSize);
    return 2 + planeSize;
}

void RebuiltDocument::AddLayer(std::size_t i, const LayerRecord &layer)
{
    const Entry &e = m_entries[i];
    const auto index = static_cast<unsigned>(i);
    if (!layer.valid) {
        m_job.NotifyFormatted(MSG_STATUS, layer.overBudget ? kMsgLayerLeftOutMemory : kMsgLayerLeftOutBounds, index,
                              e.name.c_str());
        return;
    }
    if (m_file) {
        OutputStream &out = m_file->Out();
        const uint32_t n = m_layout.LengthBytes();
        for (std::size_t k = 0; k < layer.channels.size(); ++k) {
            const ChannelRecord &c = layer.channels[k];
            const MaskRect *m = layer.MaskFor(c.id);
            if (e.placedEmpty || (m && !e.maskKept)) {
                out.WriteBE(0, 2); // no pixels: the compression field alone
                continue;
            }
            const uint64_t length = WriteChannel(c.samples.data(), RowBytes(c.width, m_depth), c.height);
            if (m_compressed)
                m_file->Patch(e.recordAt + 18 + k * (2 + n) + 2, length, n);
        }
    }
    if (!e.placedEmpty)
        Composite(layer, e);
}

void RebuiltDocument::EndLayerSection()
{
    if (m_sectionEnded)
        return;
    m_sectionEnded = true;
    OutputStream &out = m_file->Out();
    const uint32_t n = m_layout.LengthBytes();
    if (!m_compressed) {
        out.Fill(0, m_padding);
        out.WriteBE(0, 4); // global layer mask info
        return;
    }
    // The lengths of a compressed section are known once its data is.
    const uint64_t infoStart = m_sectionAt + 2 * n;
    const uint64_t body = out.Position() - infoStart;
    out.Fill(0, (4 - body % 4) % 4);
    m_file->Patch(m_sectionAt + n, out.Position() - infoStart, n);
    out.WriteBE(0, 4);
    m_file->Patch(m_sectionAt, out.Position() - m_sectionAt - n, n);
}

void RebuiltDocument::BeginMergedImage()
{
    EndLayerSection();
    OutputStream &out = m_file->Out();
    const uint64_t rowBytes = RowBytes(m_width, m_depth);
    // Run-length when every row surely fits its stored length's width.
    m_mergedCompressed = m_compressed && rowBytes + rowBytes / 128 + 2 <= MaxRowLength();
    out.WriteBE(m_mergedCompressed ? 1 : 0, 2);
    if (m_mergedCompressed) {
        m_mergedTableAt = out.Position();
        m_mergedTable.clear();
        out.Fill(0, uint64_t{m_channels} * m_height * m_layout.RowLengthBytes());
    }
}

void RebuiltDocument::WriteMergedPlane(const uint8_t *plane)
{
    OutputStream &out = m_file->Out();
    if (!m_mergedCompressed) {
        out.Write(plane, m_planeSize);
        return;
    }
    const uint64_t rowBytes = RowBytes(m_width, m_depth);
    const uint32_t w = m_layout.RowLengthBytes();
    for (uint32_t y = 0; y < m_height; ++y) {
        m_rows.clear();
        EncodePackBits(plane + uint64_t{y} * rowBytes, rowBytes, m_rows);
        PutBE(m_mergedTable, m_rows.size(), w);
        out.Write(m_rows.data(), m_rows.size());
    }
}

void RebuiltDocument::MergedPlane(const uint8_t *plane, uint64_t size)
{
    if (size != m_planeSize || m_depth != m_r.m_properties.depth || m_mergedPlanes >= m_channels)
        return;
    if (m_mergedPlanes == 0) {
        m_canvas = {}; // the recovered merged image stands in for it
        if (m_file)
            BeginMergedImage();
    }
    if (m_file)
        WriteMergedPlane(plane);
    ++m_mergedPlanes;
}

bool RebuiltDocument::Finish()
{
    if (!m_file)
        return false;
    if (m_mergedPlanes == 0) {
        BeginMergedImage();
        if (m_canvasTooLarge)
            m_job.NotifyFormatted(MSG_STATUS, kMsgCompositeTooLarge);
    }
    std::vector<uint8_t> white;
    const uint64_t rowBytes = RowBytes(m_width, m_depth);
    for (uint32_t c = m_mergedPlanes; c < m_channels; ++c) {
        if (!m_canvas.empty()) {
            WriteMergedPlane(m_canvas.data() + uint64_t{c} * m_planeSize);
            continue;
        }
        // Over the memory budget the planes are made a row at a time.
        white.resize(rowBytes);
        FillWhite(white.data(), white.size(), c);
        OutputStream &out = m_file->Out();
        if (!m_mergedCompressed) {
            for (uint32_t y = 0; y < m_height; ++y)
                out.Write(white.data(), white.size());
            continue;
        }
        m_rows.clear();
        EncodePackBits(white.data(), white.size(), m_rows);
        for (uint32_t y = 0; y < m_height; ++y) {
            PutBE(m_mergedTable, m_rows.size(), m_layout.RowLengthBytes());
            out.Write(m_rows.data(), m_rows.size());
        }
    }
    if (m_mergedCompressed)
        m_file->PatchBytes(m_mergedTableAt, m_mergedTable.data(), m_mergedTable.size());
    m_file->Close();
    m_file.reset();
    return true;
}

PsdRecoverer::~PsdRecoverer() = default;

} // namespace zelt
