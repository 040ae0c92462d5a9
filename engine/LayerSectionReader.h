// The layer section's own reader: the records of a layer info, and where
// each layer's channel data lies. Read plainly, the records follow one
// another and one that does not read fails the section. Salvaged, a broken
// record is passed over to the next one that reads, a run of records is found
// by itself where the section's front is lost, every layer's channel data is
// placed by what the surviving records say and checked by its own structure,
// and the channel data of lost records is split into layers of its own.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "Layout.h"
#include "PsdRecoverer.h"

namespace zelt {

class CFile64Ex;

/// Makes a layer too large for the memory budget at depth not valid.
void CheckLayerBudget(LayerRecord &r, uint16_t depth, uint64_t budget);

/// Whether a record's extra data parses as a chain: mask data of length 0,
/// 20 or 36 and up, blending ranges a multiple of 8, a Pascal name padded to
/// 4, then tagged blocks ("8BIM" or "8B64") that end exactly at its end.
bool ExtraChainHolds(const uint8_t *extra, std::size_t size, const Layout &layout);

/// Whether the key is a blend mode of the format.
bool KnownBlendKey(uint32_t key);

/// What reading a layer info found.
struct SectionRead {
    std::size_t count = 0;   ///< layers in the list, in stored order
    int16_t storedCount = 0; ///< the count as stored (0 where it is lost)
    uint64_t recordsEnd = 0; ///< where the channel data begins
    uint64_t dataEnd = 0;    ///< where it ends (the last channel's end)
    std::size_t broken = 0;  ///< broken records passed over
    std::size_t fromData = 0; ///< layers made from the data of lost records
    bool salvaged = false;   ///< every layer carries its own data offset
};

class LayerSectionReader {
public:
    LayerSectionReader(CFile64Ex &source, const Layout &layout, uint16_t depth, uint64_t budget);

    /// The records from the position (the layer count) up to end, one after
    /// the other: false at the first that does not read.
    bool ReadRecords(uint64_t end, std::vector<LayerRecord> &layers, SectionRead &read);

    /// Whether every layer with data, its data one after the other from
    /// `at`, checks by its structure (records read plainly whose lengths the
    /// damage changed do not).
    /// How many layers with data to check check: one after the other from
    /// plainAt, or (without it) each where it was placed.
    std::size_t LayersThatCheck(const std::vector<LayerRecord> &layers, std::size_t count,
                                std::optional<uint64_t> plainAt);
    /// A layer the end of a cut source falls in, and those after it, hold.
    bool PlacementHolds(const std::vector<LayerRecord> &layers, std::size_t count, uint64_t at, uint64_t infoEnd);

    /// The records of a layer info from countAt (its layer count) to end
    /// (the layer info's end, where its channel data ends), salvaged.
    /// colours: the document's colour channels, for layers made from data
    /// alone (0: the records found tell them). False when no layer could be
    /// placed. Unless recordsRead (the plain reading read every record), its
    /// first record must read.
    bool Salvage(uint64_t countAt, uint64_t end, uint32_t colours, std::vector<LayerRecord> &layers,
                 SectionRead &read, bool recordsRead = false);

    /// A run of records found by itself, the first at `first`, where the
    /// section's lengths and count are lost: the layers' data follows the
    /// records, or (records before the first lost) lies where it checks,
    /// after the lost records' data. colours 0: the colour channels the
    /// records found hold (no header tells them). False when no layer could
    /// be placed; read.recordsEnd tells how far the records went all the same.
    bool SalvageRun(uint64_t first, uint32_t colours, std::vector<LayerRecord> &layers, SectionRead &read);

    /// Channel data of layers whose records are all lost, found by itself at
    /// `at` (a run-length channel's start): split by its own structure into
    /// layers of as many channels of one size as the colours (two at least).
    bool SplitRun(uint64_t at, uint32_t colours, std::vector<LayerRecord> &layers, SectionRead &read);

    /// Where a record starts whose blend signature lies at `signature`, when
    /// its fixed part reads and its extra data holds as a chain.
    std::optional<uint64_t> RecordAround(uint64_t signature);

    /// Cheap test of the bytes at a blend signature (w holds 12 bytes from
    /// it): "8BIM", a known blend key, a clipping of 0 or 1.
    static bool MayBeBlendSignature(const uint8_t *w);

private:
    struct Found {
        LayerRecord record;
        bool breakBefore = false; ///< a broken record lies before it
    };

    /// A record at `at` whose fixed part is plausible (strict also wants its
    /// extra data to hold as a chain); next gets where the record ends.
    bool ParseRecord(uint64_t at, uint64_t end, LayerRecord &r, bool strict, uint64_t &next);
    void ReadMaskData(LayerRecord &r);
    /// The first position in [from, to) where a record reads strictly.
    std::optional<uint64_t> FindRecord(uint64_t from, uint64_t to, uint64_t end);
    /// The records from `pos`, passing over broken ones; stops at count
    /// (when known) or where no more records follow.
    void ReadSalvaged(uint64_t pos, uint64_t end, std::size_t count, std::vector<Found> &found, uint64_t &recordsEnd);
    /// Every channel of the layer checked by its structure at `at`; gives
    /// where its data ends.
    bool ChannelsFit(const LayerRecord &layer, uint64_t at, uint64_t &end);
    bool DataFollows(const std::vector<Found> &found, uint64_t at);
    bool ChannelFits(const LayerRecord &layer, const ChannelRecord &ch, uint64_t at);
    /// Places the layers' data and makes layers of what lies between.
    bool Place(std::vector<Found> &found, uint64_t recordsEnd, uint64_t dataEnd, uint32_t colours,
               std::vector<LayerRecord> &layers, SectionRead &read);
    /// A channel's extent in a gap: its height and row bytes (0 for a
    /// channel without data).
    struct Piece {
        uint64_t at, end;
        uint32_t height;
        uint64_t rowBytes;
    };
    bool ChannelPieces(uint64_t from, uint64_t to, bool open, std::vector<Piece> &pieces);
    bool LayersOfPieces(const std::vector<Piece> &pieces, uint32_t colours, bool alphaFirst,
                        std::vector<LayerRecord> &out);
    /// Splits [from, to) into layers by the channels' own structure.
    bool SplitGap(uint64_t from, uint64_t to, uint32_t colours, bool alphaFirst, std::vector<LayerRecord> &out);
    /// The extent of a run-length channel at `at` whose height is found from
    /// its table; false where no height makes its rows decode alike. A
    /// channel of the size of the one before it (prefer) is tried first.
    /// plane: only a height and row length whose product it is.
    bool RunLengthExtent(uint64_t at, uint64_t limit, uint32_t &height, uint64_t &rowBytes, uint64_t &end,
                         bool smooth = false, const Piece *prefer = nullptr, uint64_t plane = 0);
    /// A raw channel at `at`: of the size of the channel before it, or of
    /// the run-length channel that follows it (looked for as far as reach).
    bool RawExtent(uint64_t at, uint64_t limit, const Piece *before, bool open, uint64_t reach, Piece &p);
    /// Whether the run-length channel at `at` holds h rows of `sum` bytes
    /// that decode alike (to rowBytes each), ending at limit or before a
    /// compression field.
    bool RowsDecodeAlike(uint64_t at, uint64_t limit, uint64_t h, uint64_t sum, uint64_t &rowBytes);

    CFile64Ex &m_source;
    Layout m_layout;
    uint16_t m_depth;
    uint64_t m_budget;
    std::vector<uint8_t> m_buffer;
    std::vector<uint8_t> m_rowIn, m_rowOut; ///< a run-length row, and what it decodes to
};

} // namespace zelt
