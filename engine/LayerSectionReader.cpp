#include "LayerSectionReader.h"

#include <algorithm>
#include <cstring>

#include "File64Ex.h"
#include "Inflate.h"
#include "PackBits.h"

namespace zelt {
namespace {

constexpr int64_t kMaxLayerSide = kMaxPictureSide;
constexpr uint32_t k8BIM = 0x3842494D, k8B64 = 0x38423634;
/// How far a layer's data is looked for inside a layer info.
constexpr uint64_t kMaxSearch = 64u << 20;
/// How far a broken record's successor is looked for: inside the layer
/// info, not farther than damage and a few records reach (the records of
/// another document may follow in a disk image); in a run found by itself,
/// less.
constexpr uint64_t kRecordSearch = 4u << 20;
constexpr uint64_t kRunSearch = 256u << 10;
/// How far a run's layers' data is looked for past its records' end, where
/// no layer info tells where the data ends.
constexpr uint64_t kRunDataSearch = 16u << 20;
/// A record's extra data beyond this is damage.
constexpr uint32_t kMaxExtra = 64u << 20;

bool Signature(uint32_t sig) { return sig == k8BIM || sig == k8B64; }

// The stored row lengths of a run-length table at `at`, as far as they
// reach: false when the source ends first.
bool TableSum(CFile64Ex &source, uint64_t at, uint32_t rows, uint32_t width, uint64_t &sum,
              std::vector<uint8_t> &buffer)
{
    buffer.resize(std::size_t{rows} * width);
    source.SeekTo(at);
    if (source.ReadLarge(buffer.data(), buffer.size()) != buffer.size())
        return false;
    sum = 0;
    for (uint32_t r = 0; r < rows; ++r)
        sum += LoadBE(buffer.data() + std::size_t{r} * width, width);
    return true;
}

/// The blend of a layer whose record is lost: normal, opaque, visible.
constexpr std::array<uint8_t, 12> kNormalBlend = {'8', 'B', 'I', 'M', 'n', 'o', 'r', 'm', 255, 0, 0, 0};

/// A record's bounds from their 16 stored bytes, with the layer's size
/// (exact differences of the signed bounds, in 64 bits); whether a picture
/// can have them.
bool TakeBounds(LayerRecord &r, const uint8_t *b)
{
    r.top = static_cast<int32_t>(LoadBE32(b));
    r.left = static_cast<int32_t>(LoadBE32(b + 4));
    r.bottom = static_cast<int32_t>(LoadBE32(b + 8));
    r.right = static_cast<int32_t>(LoadBE32(b + 12));
    const int64_t h = int64_t{r.bottom} - r.top, w = int64_t{r.right} - r.left;
    r.height = static_cast<uint32_t>(h);
    r.width = static_cast<uint32_t>(w);
    return h >= 0 && h <= kMaxLayerSide && w >= 0 && w <= kMaxLayerSide;
}

/// The bytes of a layer's channel data, as its record gives them.
uint64_t LayerDataLength(const LayerRecord &r)
{
    uint64_t total = 0;
    for (const ChannelRecord &ch : r.channels)
        total += ch.dataLength;
    return total;
}

/// A layer with more than a compression field and a few bytes stored: its
/// data can be checked by its own structure.
bool HasDataToCheck(const LayerRecord &r)
{
    return std::any_of(r.channels.begin(), r.channels.end(), [](const ChannelRecord &c) { return c.dataLength > 2 + 4; });
}

} // namespace

void CheckLayerBudget(LayerRecord &r, uint16_t depth, uint64_t budget)
{
    std::optional<uint64_t> total = 0;
    for (const ChannelRecord &ch : r.channels) {
        const MaskRect *m = r.MaskFor(ch.id);
        const auto plane = CheckedMul(RowBytes(m ? m->Width() : r.width, depth), m ? m->Height() : r.height);
        total = plane && total ? CheckedAdd(*total, *plane) : std::nullopt;
    }
    r.overBudget = !total || *total > budget;
    r.valid = !r.overBudget;
}

bool KnownBlendKey(uint32_t key)
{
    switch (key) {
    case FourCC("pass"): case FourCC("norm"): case FourCC("diss"): case FourCC("dark"): case FourCC("mul "):
    case FourCC("idiv"): case FourCC("lbrn"): case FourCC("dkCl"): case FourCC("lite"): case FourCC("scrn"):
    case FourCC("div "): case FourCC("lddg"): case FourCC("lgCl"): case FourCC("over"): case FourCC("sLit"):
    case FourCC("hLit"): case FourCC("vLit"): case FourCC("lLit"): case FourCC("pLit"): case FourCC("hMix"):
    case FourCC("diff"): case FourCC("smud"): case FourCC("fsub"): case FourCC("fdiv"): case FourCC("hue "):
    case FourCC("sat "): case FourCC("colr"): case FourCC("lum "):
        return true;
    default:
        return false;
    }
}

bool ExtraChainHolds(const uint8_t *e, std::size_t n, const Layout &layout)
{
    if (n < 4)
        return n == 0;
    const uint64_t mask = LoadBE32(e);
    // 20 bytes and up: the rectangle, colour and flags, then (flagged)
    // mask parameters and a second rectangle; 28 is common.
    if (!(mask == 0 || mask >= 20) || 4 + mask + 4 > n)
        return false;
    std::size_t pos = 4 + static_cast<std::size_t>(mask);
    const uint64_t ranges = LoadBE32(e + pos);
    if (ranges % 8 != 0 || pos + 4 + ranges + 1 > n)
        return false;
    pos += 4 + static_cast<std::size_t>(ranges);
    const std::size_t name = (1 + std::size_t{e[pos]} + 3) / 4 * 4;
    if (pos + name > n)
        return false;
    pos += name;
    // The tagged blocks, each padded to 2 or 4 bytes by some writers.
    while (pos < n) {
        if (pos + 12 > n || !Signature(LoadBE32(e + pos)))
            return false;
        const uint32_t key = LoadBE32(e + pos + 4), w = layout.TaggedLengthBytes(key);
        if (pos + 8 + w > n)
            return false;
        const uint64_t length = LoadBE(e + pos + 8, w);
        const std::size_t data = pos + 8 + w;
        if (length > n - data)
            return false;
        const std::size_t next = data + static_cast<std::size_t>(length);
        std::size_t chosen = next;
        for (const std::size_t t : {next, next + (next & 1), (next + 3) & ~std::size_t{3}})
            if (t == n || (t + 4 <= n && Signature(LoadBE32(e + t)))) {
                chosen = t;
                break;
            }
        if (chosen > n)
            return false;
        pos = chosen;
    }
    return pos == n;
}

bool LayerSectionReader::MayBeBlendSignature(const uint8_t *w)
{
    return LoadBE32(w) == k8BIM && KnownBlendKey(LoadBE32(w + 4)) && w[9] <= 1;
}

LayerSectionReader::LayerSectionReader(CFile64Ex &source, const Layout &layout, uint16_t depth, uint64_t budget)
    : m_source(source), m_layout(layout), m_depth(depth), m_budget(budget)
{
}

// The mask data at the start of a layer's extra data: a 4-byte length M,
// then the mask's rectangle and default colour (M of 18 or more) and the
// real mask's (M of 36 or more). Read without moving the record parse.
void LayerSectionReader::ReadMaskData(LayerRecord &r)
{
    r.mask = r.realMask = MaskRect{};
    if (r.extraLength < 4 + 18)
        return;
    uint8_t b[4 + 36];
    m_source.SeekTo(r.extraOffset);
    if (!m_source.ReadExact(b, 4))
        return;
    const uint32_t m = LoadBE32(b);
    if (m < 18 || uint64_t{m} + 4 > r.extraLength)
        return;
    const uint32_t want = m >= 36 ? 36 : 18;
    if (!m_source.ReadExact(b + 4, want))
        return;
    auto take = [](MaskRect &rect, const uint8_t *at, uint8_t colour) {
        rect.present = true;
        rect.top = static_cast<int32_t>(LoadBE32(at));
        rect.left = static_cast<int32_t>(LoadBE32(at + 4));
        rect.bottom = static_cast<int32_t>(LoadBE32(at + 8));
        rect.right = static_cast<int32_t>(LoadBE32(at + 12));
        rect.defaultColour = colour;
        const int64_t h = int64_t{rect.bottom} - rect.top, w = int64_t{rect.right} - rect.left;
        rect.usable = h > 0 && w > 0 && h <= kMaxLayerSide && w <= kMaxLayerSide;
    };
    take(r.mask, b + 4, b[4 + 16]);
    if (m >= 36)
        take(r.realMask, b + 4 + 20, b[4 + 19]);
}

bool LayerSectionReader::PlacementHolds(const std::vector<LayerRecord> &layers, std::size_t count, uint64_t at,
                                        uint64_t infoEnd)
{
    const uint64_t sourceEnd = m_source.GetLength();
    bool failedBefore = false;
    for (std::size_t i = 0; i < count; ++i) {
        const LayerRecord &r = layers[i];
        // A cut source: the layers from the one the cut falls in on are read
        // as far as they reach, as a plain reading does.
        if (infoEnd > sourceEnd && at + LayerDataLength(r) > sourceEnd)
            return true;
        uint64_t end;
        // Bounds no picture has, on a record whose channels hold data: the
        // damage hit the record, and its data is placed by its own structure.
        if (!r.valid && !r.overBudget && HasDataToCheck(r))
            return false;
        // One layer whose data does not check is damage to that data; the
        // next one with data failing too puts the lengths in doubt.
        if (r.valid && HasDataToCheck(r)) {
            if (!ChannelsFit(r, at, end) && failedBefore)
                return false;
            failedBefore = !ChannelsFit(r, at, end);
        }
        at += LayerDataLength(r);
    }
    return true;
}

std::size_t LayerSectionReader::LayersThatCheck(const std::vector<LayerRecord> &layers, std::size_t count,
                                                std::optional<uint64_t> plainAt)
{
    std::size_t good = 0;
    uint64_t at = plainAt.value_or(0), end;
    for (std::size_t i = 0; i < count; ++i) {
        const LayerRecord &r = layers[i];
        const uint64_t pos = plainAt ? at : r.dataOffset;
        if ((plainAt || r.placed) && r.valid && HasDataToCheck(r) && ChannelsFit(r, pos, end))
            ++good;
        at += LayerDataLength(r);
    }
    return good;
}

bool LayerSectionReader::ReadRecords(uint64_t end, std::vector<LayerRecord> &layers, SectionRead &read)
{
    // Every field read is checked: a short read, or a position past end after
    // the read, fails the whole section.
    auto field = [&](uint8_t *dst, uint32_t n) { return m_source.ReadExact(dst, n) && m_source.GetPosition() <= end; };
    uint8_t b[16];
    read.count = 0;
    if (!field(b, 2))
        return false;
    const int16_t stored = static_cast<int16_t>(LoadBE16(b));
    read.storedCount = stored;
    const uint32_t count = stored < 0 ? static_cast<uint32_t>(-int32_t{stored}) : static_cast<uint32_t>(stored);
    const uint32_t lengthBytes = m_layout.LengthBytes();

    for (uint32_t k = 0; k < count; ++k) {
        if (read.count == layers.size())
            layers.emplace_back();
        LayerRecord &r = layers[read.count++];
        r.Reset();
        if (!field(b, 16))
            return false;
        r.valid = TakeBounds(r, b);

        if (!field(b, 2))
            return false;
        const uint16_t channelCount = LoadBE16(b);
        if (channelCount > 24)
            return false;
        for (uint16_t c = 0; c < channelCount; ++c) {
            if (!field(b, 2 + lengthBytes))
                return false;
            ChannelRecord &ch = r.channels.emplace_back();
            ch.id = static_cast<int16_t>(LoadBE16(b));
            ch.dataLength = LoadBE(b + 2, lengthBytes);
        }
        if (!field(r.blend.data(), 4) || LoadBE32(r.blend.data()) != k8BIM)
            return false;
        // Blend mode key, opacity, clipping, flags, filler: kept as stored,
        // not tested against end.
        if (m_source.Read(r.blend.data() + 4, 8) != 8)
            return false;
        if (!field(b, 4))
            return false;
        r.extraLength = LoadBE32(b);
        r.extraOffset = m_source.GetPosition();
        ReadMaskData(r);
        m_source.SeekTo(r.extraOffset + r.extraLength);

        if (r.valid)
            CheckLayerBudget(r, m_depth, m_budget);
    }
    read.recordsEnd = m_source.GetPosition();
    return true;
}

bool LayerSectionReader::ParseRecord(uint64_t at, uint64_t end, LayerRecord &r, bool strict, uint64_t &next)
{
    const uint32_t n = m_layout.LengthBytes();
    uint8_t b[18];
    m_source.SeekTo(at);
    if (at + 18 > end || !m_source.ReadExact(b, 18))
        return false;
    r.Reset();
    if (!TakeBounds(r, b))
        return false;
    const uint16_t channels = LoadBE16(b + 16);
    if (channels > 24 || at + 18 + uint64_t{channels} * (2 + n) + 16 > end)
        return false;
    for (uint16_t c = 0; c < channels; ++c) {
        if (!m_source.ReadExact(b, 2 + n))
            return false;
        ChannelRecord &ch = r.channels.emplace_back();
        ch.id = static_cast<int16_t>(LoadBE16(b));
        ch.dataLength = LoadBE(b + 2, n);
        if (ch.id < -3 || ch.id > 56 || ch.dataLength > end)
            return false;
    }
    if (!m_source.ReadExact(r.blend.data(), 12) || !MayBeBlendSignature(r.blend.data()))
        return false;
    if (!m_source.ReadExact(b, 4))
        return false;
    r.extraLength = LoadBE32(b);
    r.extraOffset = m_source.GetPosition();
    if (r.extraLength > kMaxExtra || r.extraOffset + r.extraLength > end)
        return false;
    if (strict) {
        m_buffer.resize(r.extraLength);
        if (m_source.ReadLarge(m_buffer.data(), m_buffer.size()) != m_buffer.size() ||
            !ExtraChainHolds(m_buffer.data(), m_buffer.size(), m_layout))
            return false;
    }
    next = r.extraOffset + r.extraLength;
    ReadMaskData(r);
    // No channel stores much more than its plane: raw data is the plane,
    // packed rows at most a 128th more with their lengths, a zlib stream a
    // little more where nothing compresses.
    for (const ChannelRecord &ch : r.channels) {
        const MaskRect *m = r.MaskFor(ch.id);
        const uint64_t rows = m ? m->Height() : r.height;
        const uint64_t plane = RowBytes(m ? m->Width() : r.width, m_depth) * rows;
        if (ch.dataLength > 2 + rows * 4 + plane + plane / 64 + 1024)
            return false;
    }
    CheckLayerBudget(r, m_depth, m_budget);
    return true;
}

std::optional<uint64_t> LayerSectionReader::RecordAround(uint64_t signature)
{
    const uint32_t n = m_layout.LengthBytes();
    uint8_t b[2];
    for (uint32_t channels = 0; channels <= 24; ++channels) {
        const uint64_t back = 18 + uint64_t{channels} * (2 + n);
        if (signature < back)
            break;
        const uint64_t at = signature - back;
        m_source.SeekTo(at + 16);
        if (!m_source.ReadExact(b, 2) || LoadBE16(b) != channels)
            continue;
        LayerRecord r;
        uint64_t next;
        if (ParseRecord(at, m_source.GetLength(), r, true, next))
            return at;
    }
    return std::nullopt;
}

std::optional<uint64_t> LayerSectionReader::FindRecord(uint64_t from, uint64_t to, uint64_t end)
{
    // Every record has its blend signature 18 + (2 + n) x channels bytes in:
    // only positions before an "8BIM" are tried.
    constexpr std::size_t kPiece = 64 * 1024, kReach = 18 + 24 * 10 + 4;
    std::vector<uint8_t> piece(kPiece + kReach);
    for (uint64_t at = from; at < to; at += kPiece) {
        m_source.SeekTo(at);
        const uint32_t got = m_source.Read(piece.data(), static_cast<uint32_t>(piece.size()));
        for (std::size_t i = 18; i + 12 <= got; ++i) {
            if (piece[i] != '8' || !MayBeBlendSignature(piece.data() + i))
                continue;
            const uint64_t signature = at + i;
            const std::optional<uint64_t> start = RecordAround(signature);
            if (start && *start >= from && *start < to) {
                LayerRecord r;
                uint64_t next;
                if (ParseRecord(*start, end, r, true, next))
                    return start;
            }
        }
        if (got < piece.size())
            break;
    }
    return std::nullopt;
}

void LayerSectionReader::ReadSalvaged(uint64_t pos, uint64_t end, std::size_t count, std::vector<Found> &found,
                                      uint64_t &recordsEnd)
{
    bool breakBefore = false;
    std::size_t breaks = 0;
    while (pos < end && (count == 0 || found.size() + breaks < count)) {
        Found f;
        uint64_t next;
        if (ParseRecord(pos, end, f.record, false, next)) {
            f.breakBefore = breakBefore;
            breakBefore = false;
            found.push_back(std::move(f));
            pos = next;
            continue;
        }
        // A broken record, or the end of the records: the next record that
        // reads strictly, not farther than the section or the search reaches.
        // A run's records end where their data starts (what follows may be
        // an embedded document's records).
        if (count == 0 && DataFollows(found, pos))
            break;
        const std::optional<uint64_t> q = FindRecord(pos + 1, std::min(end, pos + (count == 0 ? kRunSearch : kRecordSearch)), end);
        if (!q)
            break;
        breakBefore = true;
        ++breaks;
        pos = *q;
    }
    // A count the damage lowered: where the data should start, records
    // that read strictly follow.
    for (Found f; count != 0 && pos < end && !breakBefore;) {
        uint64_t next;
        if (!ParseRecord(pos, end, f.record, true, next))
            break;
        found.push_back(std::move(f));
        pos = next;
    }
    recordsEnd = pos;
}

bool LayerSectionReader::ChannelFits(const LayerRecord &layer, const ChannelRecord &ch, uint64_t at)
{
    const MaskRect *mask = layer.MaskFor(ch.id);
    const uint32_t height = mask ? mask->Height() : layer.height, width = mask ? mask->Width() : layer.width;
    const uint64_t plane = RowBytes(width, m_depth) * height;
    if (ch.dataLength < 2)
        return ch.dataLength == 0;
    uint8_t b[2];
    m_source.SeekTo(at);
    if (!m_source.ReadExact(b, 2))
        return false;
    const uint16_t compression = LoadBE16(b);
    if (compression > 3)
        return false;
    if (plane == 0 || (mask && !mask->usable) || ch.dataLength == 2)
        return true; // nothing stored to check it by
    switch (compression) {
    case 0: return ch.dataLength - 2 == plane;
    case 1: {
        const uint32_t w = m_layout.RowLengthBytes();
        uint64_t sum;
        return ch.dataLength >= 2 + uint64_t{height} * w &&
               TableSum(m_source, at + 2, height, w, sum, m_buffer) && 2 + uint64_t{height} * w + sum == ch.dataLength;
    }
    default: {
        // A zlib stream's header: deflate, and its check bits.
        uint8_t z[2];
        return ch.dataLength >= 4 && m_source.ReadExact(z, 2) && (z[0] & 0x0F) == 8 && (z[0] * 256 + z[1]) % 31 == 0;
    }
    }
}

bool LayerSectionReader::ChannelsFit(const LayerRecord &layer, uint64_t at, uint64_t &end)
{
    for (const ChannelRecord &ch : layer.channels) {
        if (!ChannelFits(layer, ch, at))
            return false;
        at += ch.dataLength;
    }
    end = at;
    return true;
}

bool LayerSectionReader::DataFollows(const std::vector<Found> &found, uint64_t at)
{
    // The layers since the last break, their data from here on; only a
    // compressed channel proves it (zeroed bytes read as raw data).
    std::size_t first = found.size();
    while (first > 0 && !found[first - 1].breakBefore)
        --first;
    if (first > 0)
        --first;
    for (std::size_t i = first; i < found.size(); ++i) {
        const LayerRecord &layer = found[i].record;
        uint64_t end;
        bool compressed = false;
        uint64_t pos = at;
        for (const ChannelRecord &ch : layer.channels) {
            uint8_t b[2];
            m_source.SeekTo(pos);
            if (ch.dataLength > 2 + 4 && m_source.ReadExact(b, 2) && LoadBE16(b) >= 1 && LoadBE16(b) <= 3)
                compressed = true;
            pos += ch.dataLength;
        }
        if (!HasDataToCheck(layer)) {
            at = pos;
            continue;
        }
        return compressed && ChannelsFit(layer, at, end);
    }
    return false;
}

bool LayerSectionReader::RowsDecodeAlike(uint64_t at, uint64_t limit, uint64_t h, uint64_t sum, uint64_t &rowBytes)
{
    const uint32_t w = m_layout.RowLengthBytes();
    const uint64_t data = at + 2 + h * w, channelEnd = data + sum;
    uint8_t b[4];
    if (channelEnd > limit)
        return false;
    if (channelEnd != limit) {
        m_source.SeekTo(channelEnd);
        if (!m_source.ReadExact(b, 2) || LoadBE16(b) > 3)
            return false;
    }
    if (m_rowOut.size() < std::size_t{4} * kMaxLayerSide + 16)
        m_rowOut.resize(std::size_t{4} * kMaxLayerSide + 16);
    uint64_t first = 0, rowAt = data;
    for (uint64_t r = 0; r < h; ++r) {
        m_source.SeekTo(at + 2 + r * w);
        if (!m_source.ReadExact(b, w))
            return false;
        const auto length = static_cast<uint32_t>(LoadBE(b, w));
        m_rowIn.resize(length);
        m_source.SeekTo(rowAt);
        if (!m_source.ReadExact(m_rowIn.data(), length))
            return false;
        std::size_t filled = 0, consumed = 0;
        const std::size_t size =
            DecodePackBits(m_rowIn.data(), length, m_rowOut.data(), m_rowOut.size(), &filled, &consumed);
        while (consumed < length && m_rowIn[consumed] == 0x80)
            ++consumed;
        if (consumed != length || filled != 0 || size == 0 || (r > 0 && size != first))
            return false;
        first = size;
        rowAt += length;
    }
    rowBytes = first;
    return true;
}

bool LayerSectionReader::RunLengthExtent(uint64_t at, uint64_t limit, uint32_t &height, uint64_t &rowBytes,
                                         uint64_t &end, bool smooth, const Piece *prefer, uint64_t plane)
{
    // The first height whose data ends where the next channel (or the gap)
    // begins, and whose table's rows, where it puts them, decode whole and
    // every one alike. smooth: the table is looked at only as far as its
    // lengths change as a picture's rows do (where no gap bounds it).
    const uint32_t w = m_layout.RowLengthBytes();
    const uint64_t most = std::min<uint64_t>({kMaxLayerSide, (limit - at - 2) / w, plane != 0 ? plane : ~0ull});
    uint64_t sum = 0, previous = 0, steps = 0;
    uint8_t b[4];
    auto take = [&](uint64_t h, uint64_t bytes) {
        height = static_cast<uint32_t>(h);
        end = at + 2 + h * w + bytes;
        return true;
    };
    // A table of a constant row length (a plain colour) reads as a channel
    // of one row: the size of the channel before it comes first.
    if (prefer && prefer->height != 0 && prefer->height <= most &&
        TableSum(m_source, at + 2, prefer->height, w, sum, m_buffer) &&
        RowsDecodeAlike(at, limit, prefer->height, sum, rowBytes) && rowBytes == prefer->rowBytes)
        return take(prefer->height, sum);
    sum = 0;
    for (uint64_t h = 1; h <= most; ++h) {
        m_source.SeekTo(at + 2 + (h - 1) * w);
        if (!m_source.ReadExact(b, w))
            return false;
        const uint64_t stored = LoadBE(b, w);
        if (stored == 0)
            return false; // no writer stores a row in no bytes
        if (smooth && h > 1) {
            steps += std::max(stored, previous) - std::min(stored, previous) > std::max<uint64_t>(8, std::min(stored, previous) / 2);
            if (steps > 8 + h / 2)
                return false;
        }
        previous = stored;
        sum += stored;
        if (at + 2 + h * w + sum > limit)
            return false;
        if ((plane == 0 || plane % h == 0) && RowsDecodeAlike(at, limit, h, sum, rowBytes) &&
            (plane == 0 || rowBytes * h == plane))
            return take(h, sum);
    }
    return false;
}

bool LayerSectionReader::ChannelPieces(uint64_t from, uint64_t to, bool open, std::vector<Piece> &pieces)
{
    // The channels one after the other, each delimited by its own
    // structure: to the gap's end, or (open) as far as they go.
    uint8_t b[2];
    for (uint64_t pos = from; pos < to;) {
        m_source.SeekTo(pos);
        if (pos + 2 > to || !m_source.ReadExact(b, 2))
            return open;
        const uint16_t compression = LoadBE16(b);
        Piece p{pos, pos + 2, 0, 0};
        // Raw data or a channel without any: none where another compression
        // field follows at once.
        uint8_t after[2] = {0xFF, 0xFF};
        const bool fieldFollows = pos + 2 == to || (m_source.ReadExact(after, 2) && LoadBE16(after) <= 3);
        if (compression == 1) {
            if (!RunLengthExtent(pos, to, p.height, p.rowBytes, p.end, open,
                                 pieces.empty() ? nullptr : &pieces.back()))
                return open;
        } else if (compression == 0 && (!fieldFollows || LoadBE16(after) == 0) &&
                   RawExtent(pos, to, fieldFollows || pieces.empty() ? nullptr : &pieces.back(), open,
                             fieldFollows ? 1u << 20 : 4u << 20, p)) {
            // Raw data; transparent pixels read as another raw channel's
            // field, so such a channel is raw only where its size is proven.
        } else if (compression > 3 || (open && !fieldFollows)) {
            return open;
        }
        // Otherwise a channel without data: its compression field alone.
        pieces.push_back(p);
        pos = p.end;
    }
    return true;
}

bool LayerSectionReader::RawExtent(uint64_t at, uint64_t limit, const Piece *before, bool open, uint64_t reach,
                                   Piece &p)
{
    // Of the size of the channel before it, where the next channel or the
    // gap's end follows.
    uint8_t b[2];
    if (before && before->rowBytes != 0) {
        const uint64_t end = at + 2 + before->rowBytes * before->height;
        m_source.SeekTo(end);
        if (end == limit || (end < limit && m_source.ReadExact(b, 2) && LoadBE16(b) <= 3)) {
            p.height = before->height;
            p.rowBytes = before->rowBytes;
            p.end = end;
            return true;
        }
    }
    // Else (the first channel of a layer) as large as the run-length
    // channel found after it, looked for not farther than reach.
    const uint64_t to = std::min(limit, at + 2 + reach);
    std::vector<uint8_t> piece(64 * 1024 + 1);
    for (uint64_t from = at + 2; from + 1 < to;) {
        m_source.SeekTo(from);
        const uint32_t got = m_source.Read(piece.data(), static_cast<uint32_t>(std::min<uint64_t>(piece.size(), to - from)));
        if (got < 2)
            break;
        for (uint32_t i = 0; i + 1 < got; ++i) {
            const uint64_t q = from + i;
            if (piece[i] != 0 || piece[i + 1] != 1 || q == at + 2)
                continue;
            Piece next{q, q, 0, 0};
            if (RunLengthExtent(q, limit, next.height, next.rowBytes, next.end, open, nullptr, q - at - 2)) {
                p.height = next.height;
                p.rowBytes = next.rowBytes;
                p.end = q;
                return true;
            }
        }
        from += got - 1;
    }
    return false;
}

bool LayerSectionReader::SplitGap(uint64_t from, uint64_t to, uint32_t colours, bool alphaFirst,
                                  std::vector<LayerRecord> &out)
{
    std::vector<Piece> pieces;
    return ChannelPieces(from, to, false, pieces) && LayersOfPieces(pieces, colours, alphaFirst, out);
}

bool LayerSectionReader::SplitRun(uint64_t at, uint32_t colours, std::vector<LayerRecord> &layers, SectionRead &read)
{
    // Only channels that show the same picture's rows, as many as the
    // colours (two at least), make layers of data alone.
    std::vector<Piece> pieces;
    ChannelPieces(at, std::min<uint64_t>(m_source.GetLength(), at + (256ull << 20)), true, pieces);
    while (!pieces.empty() && pieces.back().rowBytes == 0)
        pieces.pop_back();
    std::vector<LayerRecord> made;
    if (pieces.size() < std::max<uint32_t>(2, colours) || !LayersOfPieces(pieces, colours, true, made))
        return false;
    made.erase(std::remove_if(made.begin(), made.end(),
                              [&](const LayerRecord &r) { return r.channels.size() < std::max<uint32_t>(2, colours); }),
               made.end());
    if (made.empty())
        return false;
    for (LayerRecord &r : made)
        r.placed = true;
    read.count = made.size();
    read.fromData = made.size();
    read.recordsEnd = at;
    read.dataEnd = pieces.back().end;
    read.salvaged = true;
    if (layers.size() < made.size())
        layers.resize(made.size());
    for (std::size_t i = 0; i < made.size(); ++i)
        layers[i] = std::move(made[i]);
    return true;
}

bool LayerSectionReader::LayersOfPieces(const std::vector<Piece> &pieces, uint32_t colours, bool alphaFirst,
                                        std::vector<LayerRecord> &out)
{
    // Channels of one size in a row form a layer: the colour channels as
    // many as the document's, and a transparency channel where one more.
    const uint32_t bps = BytesPerSample(m_depth);
    for (std::size_t i = 0; i < pieces.size();) {
        std::size_t j = i + 1;
        while (j < pieces.size() && pieces[j].height == pieces[i].height && pieces[j].rowBytes == pieces[i].rowBytes)
            ++j;
        const std::size_t run = j - i;
        const Piece &first = pieces[i];
        // Layers without pixels (groups, adjustments) have nothing to write
        // but keep their places in the stored order, each as many channels
        // as a layer with transparency has; a lone channel of its own size
        // beside colour layers is a layer's mask, whose place in the layer
        // is lost with the record.
        // Each keeps its share of the empty channels (readers refuse a
        // record without channels), the transparency where the colours are.
        if (first.rowBytes == 0) {
            const std::size_t count = std::max<std::size_t>(1, (run + colours / 2) / (colours + 1));
            for (std::size_t k = 0, next = i; k < count; ++k) {
                LayerRecord r;
                r.recordLost = true;
                r.dataOffset = pieces[next].at;
                r.blend = kNormalBlend;
                const std::size_t share = std::min<std::size_t>(colours + 1, j - next);
                for (std::size_t c = 0; c <= colours; ++c) {
                    ChannelRecord &ch = r.channels.emplace_back();
                    ch.id = static_cast<int16_t>(alphaFirst ? int(c) - 1 : c == colours ? -1 : int(c));
                    ch.dataLength = c < share ? pieces[next + c].end - pieces[next + c].at : 0;
                }
                next += share;
                out.push_back(std::move(r));
            }
            i = j;
            continue;
        }
        if (run == 1 && colours > 1) {
            i = j;
            continue;
        }
        const uint64_t width = m_depth == 1 ? first.rowBytes * 8 : first.rowBytes / bps;
        const std::size_t perLayer = colours > 0 && run == colours + 2       ? run
                                     : colours > 0 && run % (colours + 1) == 0 ? colours + 1
                                     : colours > 0 && run % colours == 0     ? colours
                                                                             : run;
        if ((m_depth != 1 && first.rowBytes % bps != 0) || width == 0 || width > kMaxLayerSide)
            return false;
        for (std::size_t k = i; k < j; k += perLayer) {
            LayerRecord r;
            r.top = r.left = 0;
            r.bottom = static_cast<int32_t>(first.height);
            r.right = static_cast<int32_t>(width);
            r.height = first.height;
            r.width = static_cast<uint32_t>(width);
            r.recordLost = true;
            r.dataOffset = pieces[k].at;
            r.blend = kNormalBlend;
            // The channels in the order the file's own records keep them:
            // the transparency first or after the colours, a mask last.
            const bool alpha = perLayer == colours + 1 || perLayer == colours + 2;
            const bool withMask = perLayer == colours + 2;
            for (std::size_t c = 0; c < perLayer; ++c) {
                ChannelRecord &ch = r.channels.emplace_back();
                const auto index = static_cast<int16_t>(c);
                if (withMask && c + 1 == perLayer)
                    ch.id = -2;
                else if (!alpha)
                    ch.id = index;
                else if (alphaFirst)
                    ch.id = static_cast<int16_t>(index - 1);
                else
                    ch.id = c == colours ? int16_t{-1} : index;
                ch.dataLength = pieces[k + c].end - pieces[k + c].at;
            }
            if (withMask) {
                // A mask as large as the layer, in its place.
                r.mask.present = r.mask.usable = true;
                r.mask.bottom = r.bottom;
                r.mask.right = r.right;
            }
            CheckLayerBudget(r, m_depth, m_budget);
            out.push_back(std::move(r));
        }
        i = j;
    }
    return true;
}

bool LayerSectionReader::Place(std::vector<Found> &found, uint64_t recordsEnd, uint64_t dataEnd, uint32_t colours,
                               std::vector<LayerRecord> &layers, SectionRead &read)
{
    // Colours not known (no header): the records found tell them.
    if (colours == 0)
        for (const Found &f : found)
            for (const ChannelRecord &ch : f.record.channels)
                colours = std::max<uint32_t>(colours, ch.id >= 0 && ch.id <= 3 ? uint32_t(ch.id) + 1 : 0);
    // The records' groups between the breaks; the data of a group lies in
    // their order, of the groups too.
    std::vector<std::pair<std::size_t, std::size_t>> groups; // [first, end) of found
    for (std::size_t i = 0; i < found.size(); ++i)
        if (i == 0 || found[i].breakBefore)
            groups.emplace_back(i, i + 1);
        else
            groups.back().second = i + 1;
    const bool frontLost = !found.empty() && found[0].breakBefore;
    auto length = [&](std::size_t first, std::size_t end) {
        uint64_t total = 0;
        for (std::size_t i = first; i < end; ++i)
            for (const ChannelRecord &ch : found[i].record.channels)
                total += ch.dataLength;
        return total;
    };
    // Where each group's data starts, where it could be placed.
    std::vector<std::optional<uint64_t>> starts(groups.size());
    // A group fits where its layers' data checks: every layer that has data
    // to check it by, or at least half of them (a layer whose own data the
    // damage hit does not check, and is not read). The first of them must
    // check: the search anchors on it.
    std::vector<bool> fitting(found.size(), false);
    // anchor: how many of the group's checkable layers before the one that
    // must check (a search's anchor); none for a place already known.
    // A layer whose data would run past the source's end (a cut source) is
    // not checked: it neither fits nor fails, and is read as far as it
    // reaches.
    const uint64_t sourceEnd = m_source.GetLength();
    // At a start the records themselves tell (their end, none lost in front)
    // the first layer with data to check must check; the layers after it
    // that do not are damage, placed anew below.
    auto fits = [&](std::size_t g, uint64_t at, std::optional<std::size_t> anchor = std::nullopt,
                    bool knownStart = false) {
        uint64_t pos = at;
        std::size_t checked = 0, good = 0;
        bool all = true, firstOk = false;
        for (std::size_t i = groups[g].first; i < groups[g].second; ++i) {
            if (pos + LayerDataLength(found[i].record) > sourceEnd) {
                fitting[i] = true;
                pos += LayerDataLength(found[i].record);
                continue;
            }
            uint64_t end;
            const bool ok = ChannelsFit(found[i].record, pos, end);
            const bool counts = HasDataToCheck(found[i].record);
            fitting[i] = ok;
            all &= ok;
            if (counts) {
                if (anchor && checked == *anchor && !ok)
                    return false;
                if (checked == 0)
                    firstOk = ok;
                ++checked;
                good += ok;
            }
            for (const ChannelRecord &ch : found[i].record.channels)
                pos += ch.dataLength;
        }
        // Layers without data to check by: their compression fields.
        return checked == 0 ? all : knownStart ? firstOk : 2 * good >= checked;
    };
    // A group whose channels are all raw fits wherever a compression field
    // of 0 stands: it is placed only where its place is known.
    auto checkable = [&](std::size_t g) {
        for (std::size_t i = groups[g].first; i < groups[g].second; ++i)
            if (HasDataToCheck(found[i].record))
                return true;
        return false;
    };
    // The first group forwards from the records' end (also where records
    // before it may be lost: without them, that is where its data is); the
    // last backwards from the data's end where it is known (its padding
    // unknown: 0 to 3 bytes).
    if (!groups.empty() && fits(0, recordsEnd, std::nullopt, !frontLost))
        starts[0] = recordsEnd;
    const std::size_t last = groups.empty() ? 0 : groups.size() - 1;
    if (!groups.empty() && !starts[last] && dataEnd != 0) {
        const uint64_t total = length(groups[last].first, groups[last].second);
        for (uint64_t pad = 0; pad < 4 && !starts[last]; ++pad)
            if (dataEnd >= recordsEnd + total + pad && fits(last, dataEnd - pad - total))
                starts[last] = dataEnd - pad - total;
    }
    // The others where their data checks, looked for after the group before
    // them (the lost records' data lies between), where a compression field
    // could be, not farther than the search reaches.
    for (std::size_t g = 0; g < groups.size(); ++g) {
        if (starts[g] || !checkable(g))
            continue;
        const uint64_t total = length(groups[g].first, groups[g].second);
        uint64_t from = recordsEnd;
        for (std::size_t k = g; k-- > 0;)
            if (starts[k]) {
                from = *starts[k] + length(groups[k].first, groups[k].second);
                break;
            }
        // (A layer info that claims to reach past the source bounds nothing.)
        uint64_t to = dataEnd != 0 && dataEnd < sourceEnd ? std::min(dataEnd, from + kMaxSearch)
                                                          : std::min(sourceEnd, from + kRunDataSearch);
        for (std::size_t k = g + 1; k < groups.size(); ++k)
            if (starts[k]) {
                to = std::min(to, *starts[k]);
                break;
            }
        // Anchored on the group's first layer with data to check it by, or,
        // where the damage hit that one, on the second.
        for (std::size_t anchor = 0; anchor < 2 && !starts[g]; ++anchor) {
            std::size_t seen = 0;
            uint64_t offset = 0; // of the anchor's data from the group's start
            bool have = false;
            for (std::size_t i = groups[g].first; i < groups[g].second && !have; ++i) {
                const bool counts = HasDataToCheck(found[i].record);
                if (counts && seen++ == anchor) {
                    have = true;
                    break;
                }
                for (const ChannelRecord &ch : found[i].record.channels)
                    offset += ch.dataLength;
            }
            if (!have)
                break;
            std::vector<uint8_t> piece;
            for (uint64_t at = from + offset; at + total - offset <= to && !starts[g];) {
                piece.resize(static_cast<std::size_t>(std::min<uint64_t>(64 * 1024, to - at)) + 1);
                m_source.SeekTo(at);
                const uint32_t got = m_source.Read(piece.data(), static_cast<uint32_t>(piece.size()));
                if (got < 2)
                    break;
                // A compression field starts with a zero byte: only those are tried.
                const uint8_t *base = piece.data(), *end = base + got - 1;
                for (const uint8_t *z = base; !starts[g] && (z = static_cast<const uint8_t *>(
                                                                 std::memchr(z, 0, static_cast<std::size_t>(end - z)))) &&
                                              at + uint64_t(z - base) + total - offset <= to;
                     ++z)
                    if (z[1] <= 3 && fits(g, at + uint64_t(z - base) - offset, anchor))
                        starts[g] = at + uint64_t(z - base) - offset;
                at += got - 1;
            }
        }
    }
    // A record whose channel lengths the damage changed reads as a record,
    // but puts every layer after it out of place: where a layer with data
    // does not check and the next one with data does not either, the
    // layers from the one after it on are placed anew, as after a break.
    for (std::size_t g = 0; g < groups.size(); ++g) {
        if (!starts[g])
            continue;
        uint64_t pos = *starts[g];
        const std::size_t none = found.size();
        std::size_t failed = none;
        for (std::size_t i = groups[g].first; i < groups[g].second; ++i) {
            uint64_t end;
            const bool counts = HasDataToCheck(found[i].record) && pos + LayerDataLength(found[i].record) <= sourceEnd;
            const bool ok = counts && ChannelsFit(found[i].record, pos, end);
            if (counts && !ok) {
                if (failed != none && failed + 1 < groups[g].second && !found[failed + 1].breakBefore) {
                    found[failed + 1].breakBefore = true;
                    return Place(found, recordsEnd, dataEnd, colours, layers, read);
                }
                failed = i;
            } else if (counts) {
                failed = none;
            }
            for (const ChannelRecord &ch : found[i].record.channels)
                pos += ch.dataLength;
        }
    }
    // Every record that was placed, and between the groups the layers of
    // the lost records, made from their data where it splits cleanly.
    bool alphaFirst = true;
    for (const Found &f : found)
        if (!f.record.channels.empty() && std::any_of(f.record.channels.begin(), f.record.channels.end(),
                                                       [](const ChannelRecord &c) { return c.id == -1; })) {
            alphaFirst = f.record.channels[0].id == -1;
            break;
        }
    std::vector<LayerRecord> list;
    uint64_t placedEnd = recordsEnd;
    bool any = false;
    for (std::size_t g = 0; g < groups.size(); ++g) {
        if (g == 0 && frontLost && !starts[0] && !checkable(0)) {
            // The first records found keep no pixels to place them by: the
            // lost records' data runs from the records' end as far as its
            // structure goes.
            std::vector<Piece> pieces;
            ChannelPieces(recordsEnd, std::min<uint64_t>(sourceEnd, recordsEnd + (256ull << 20)), true, pieces);
            while (!pieces.empty() && pieces.back().rowBytes == 0)
                pieces.pop_back();
            std::vector<LayerRecord> made;
            if (!pieces.empty() && LayersOfPieces(pieces, colours, alphaFirst, made)) {
                read.fromData += made.size();
                for (LayerRecord &r : made)
                    list.push_back(std::move(r));
                placedEnd = pieces.back().end;
            }
        }
        // (Before the first group too: where its data is not where the
        // records end, records in front of it were lost.)
        if (starts[g] && *starts[g] > placedEnd) {
            std::vector<LayerRecord> made;
            if (SplitGap(placedEnd, *starts[g], colours, alphaFirst, made)) {
                read.fromData += made.size();
                for (LayerRecord &r : made)
                    list.push_back(std::move(r));
            }
        }
        uint64_t pos = starts[g] ? *starts[g] : 0;
        for (std::size_t i = groups[g].first; i < groups[g].second; ++i) {
            LayerRecord &r = found[i].record;
            r.placed = starts[g].has_value();
            r.dataOffset = pos;
            for (const ChannelRecord &ch : r.channels)
                pos += ch.dataLength;
            any |= r.placed;
            list.push_back(std::move(r));
        }
        if (starts[g])
            placedEnd = pos;
    }
    read.dataEnd = placedEnd;
    read.count = list.size();
    if (layers.size() < list.size())
        layers.resize(list.size());
    for (std::size_t i = 0; i < list.size(); ++i)
        layers[i] = std::move(list[i]);
    read.salvaged = true;
    return any || read.fromData > 0;
}

bool LayerSectionReader::Salvage(uint64_t countAt, uint64_t end, uint32_t colours, std::vector<LayerRecord> &layers,
                                 SectionRead &read, bool recordsRead)
{
    uint8_t b[2];
    m_source.SeekTo(countAt);
    if (!m_source.ReadExact(b, 2))
        return false;
    const int16_t stored = static_cast<int16_t>(LoadBE16(b));
    read.storedCount = stored;
    const std::size_t count = stored < 0 ? static_cast<std::size_t>(-int32_t{stored}) : static_cast<std::size_t>(stored);
    end = std::min(end, m_source.GetLength());
    // A section is one whose first record reads: what only looks like its
    // lengths (resource blocks, say) has no records to salvage. Records
    // read plainly are a section's, whatever their bounds.
    LayerRecord first;
    uint64_t next;
    if (!recordsRead && !ParseRecord(countAt + 2, end, first, false, next))
        return false;
    std::vector<Found> found;
    uint64_t recordsEnd = countAt + 2;
    ReadSalvaged(countAt + 2, end, count, found, recordsEnd);
    // With the count lost, the first record may be anything: the records
    // are found from the first that reads.
    read.broken = static_cast<std::size_t>(std::count_if(found.begin(), found.end(), [](const Found &f) { return f.breakBefore; }));
    if (found.empty())
        return false;
    read.recordsEnd = recordsEnd;
    return Place(found, recordsEnd, end, colours, layers, read);
}

bool LayerSectionReader::SalvageRun(uint64_t first, uint32_t colours, std::vector<LayerRecord> &layers, SectionRead &read)
{
    std::vector<Found> found;
    uint64_t recordsEnd = first;
    ReadSalvaged(first, m_source.GetLength(), 0, found, recordsEnd);
    if (found.empty())
        return false;
    // The records before the first found are lost with the section's front.
    found[0].breakBefore = true;
    read.broken = static_cast<std::size_t>(std::count_if(found.begin(), found.end(), [](const Found &f) { return f.breakBefore; }));
    read.recordsEnd = recordsEnd;
    return Place(found, recordsEnd, 0, colours, layers, read);
}

} // namespace zelt
