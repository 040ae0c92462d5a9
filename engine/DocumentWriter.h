// The rebuilt document: one complete layered Photoshop file for a recovered
// layer section, with every layer's record as it was stored (name, bounds,
// blend mode, opacity, flags, masks, groups, settings) and its channels
// uncompressed, then the merged image (the recovered one, or the visible
// layers composited). Written as a stream, one layer at a time; each layer
// also gets a status line telling how much of it was read.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Layout.h"
#include "OutputFiles.h"
#include "RecoveryJob.h"

namespace zelt {

class PsdRecoverer;
struct LayerRecord;

/// What a layer's extra data says about it (tagged blocks "luni", "lsct").
struct LayerExtra {
    std::string pascalName;  ///< as stored
    std::string unicodeName; ///< UTF-8, from "luni" when present
    bool hasUnicodeName = false;
    uint32_t sectionType = 0; ///< 0 a layer, 1 and 2 a group, 3 the end of a group
    /// The name to show: the Unicode one, else the Pascal one as UTF-8.
    std::string Name() const;
};

/// Parses extra data (mask data, blending ranges, Pascal name, tagged
/// blocks) read from a section of the layout; when checked, only the tagged
/// blocks whose content parses.
LayerExtra ParseLayerExtra(const std::vector<uint8_t> &extra, const Layout &layout, bool checked = false);

/// The extra data with " (damaged)" added to the layer's names (when
/// damaged) and the tagged blocks' lengths put in the widths of the target
/// layout. Extra data too short for its parts gives the smallest there is
/// (no mask, no blending ranges, an empty name).
/// Without keepMask the mask data goes (a layer placed without pixels). A
/// plainDivider (a group's end or start whose other end was lost) becomes an
/// ordinary layer's: other readers refuse groups that do not nest.
std::vector<uint8_t> RewriteLayerExtra(const std::vector<uint8_t> &extra, const Layout &from, const Layout &to,
                                       bool damaged, bool keepMask = true, bool plainDivider = false);

/// Text with its UTF-16 code units as UTF-8; a Pascal name's bytes (Latin-1
/// where they are not UTF-8) as UTF-8.
std::string Utf16ToUtf8(const std::vector<uint16_t> &units);
std::string LegacyToUtf8(const std::string &bytes);

class RebuiltDocument {
public:
    /// Starts the document of the layers the recoverer has just parsed: finds
    /// out how much of each layer the source holds, creates the file and
    /// writes everything up to the first layer's channel data. The source is
    /// left where the channel data starts. Where the file cannot be created
    /// the layers still get their status lines.
    /// composite: whether the visible layers are composited, for a merged
    /// image that may not come; mergedFromSource: the bytes of the merged
    /// image that will come from the source. A document of which less than
    /// 1 % came from the source, or whose properties describe no picture,
    /// is not written. With ZELT_COMPRESS_DOCUMENT its channels and merged
    /// image are PackBits rows.
    static std::unique_ptr<RebuiltDocument> Begin(PsdRecoverer &r, uint16_t depth, const Layout &sectionLayout,
                                                  bool composite, uint64_t mergedFromSource);
    ~RebuiltDocument();

    /// Layer i, just decoded (or passed over): its channels into the
    /// document, its pixels onto the composite.
    void AddLayer(std::size_t i, const LayerRecord &layer);
    /// Layer i's name as its extra data gives it.
    const std::string &Name(std::size_t i) const;

    /// The next plane of the merged image, in channel order. Planes of
    /// another size than the document's are not taken.
    void MergedPlane(const uint8_t *plane, uint64_t size);

    /// Writes the merged image (the composite for the planes not given, or
    /// white where the composite did not fit the memory budget), closes the
    /// file and reports it. True when the file was written.
    bool Finish();

private:
    struct Entry;
    RebuiltDocument(PsdRecoverer &r, uint16_t depth, const Layout &sectionLayout);
    void Composite(const LayerRecord &layer, const Entry &e);
    void FillWhite(uint8_t *plane, uint64_t size, uint32_t channel) const;
    /// A channel's compression field and data; gives its stored length.
    uint64_t WriteChannel(const uint8_t *plane, uint64_t rowBytes, uint32_t rows);
    uint64_t MaxRowLength() const;
    /// Closes the layer section: padding, the global layer mask info, and
    /// for a compressed document its lengths.
    void EndLayerSection();
    void BeginMergedImage();
    void WriteMergedPlane(const uint8_t *plane);

    PsdRecoverer &m_r;
    RecoveryJob &m_job;
    uint16_t m_depth;
    Layout m_sectionLayout, m_layout;
    uint16_t m_channels = 0, m_mode = 0;
    uint32_t m_height = 0, m_width = 0;
    uint64_t m_planeSize = 0;
    std::vector<Entry> m_entries;
    std::unique_ptr<OutputFile> m_file;
    uint64_t m_padding = 0; ///< zeros after the channel data, inside the layer info's length
    uint32_t m_mergedPlanes = 0;
    std::vector<uint8_t> m_canvas; ///< the composite, channel after channel
    bool m_canvasTooLarge = false;
    bool m_compressed = false;       ///< PackBits channels and merged image
    bool m_mergedCompressed = false; ///< the merged image as PackBits rows
    std::size_t m_layers = 0;        ///< the records the document holds
    uint64_t m_sectionAt = 0;        ///< where the layer-and-mask section's length is
    bool m_sectionEnded = false;
    uint64_t m_mergedTableAt = 0;
    std::vector<uint8_t> m_mergedTable, m_table, m_rows;
};

} // namespace zelt
