// PsdRecoverer: the engine's knowledge of the Photoshop file format. At every
// byte position of the source the scan asks it whether a file header or a
// layer-and-mask-information section starts there; what it recognises it
// reads, decodes and writes out as separate uncompressed Photoshop files.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "BigEndian.h"
#include "File64Ex.h"
#include "Inflate.h"
#include "Layout.h"
#include "OutputFiles.h"
#include "PropertyInference.h"
#include "RecoveryJob.h"

namespace zelt {

struct SectionRead;

class CFile64;
class RebuiltDocument;
class PropertyInference;

/// Where the merged image of a rebuilt document comes from.
enum class DocumentMerged { streamed, recoveredBefore, none };

/// Bytes per sample: depth / 8, at least 1.
inline uint32_t BytesPerSample(uint16_t depth) { return depth / 8 == 0 ? 1u : depth / 8u; }

/// Bytes of one row of width samples: depth 1 packs eight pixels a byte,
/// rows padded to whole bytes; other depths take BytesPerSample a sample.
inline uint64_t RowBytes(uint32_t width, uint16_t depth)
{
    return depth == 1 ? (uint64_t{width} + 7) / 8 : uint64_t{width} * BytesPerSample(depth);
}

/// A layer mask's rectangle and default colour, from the layer's mask data.
/// The largest side a document or layer has.
constexpr int64_t kMaxPictureSide = 300000;

struct MaskRect {
    bool present = false; ///< the mask data holds this rectangle
    int32_t top = 0, left = 0, bottom = 0, right = 0;
    uint8_t defaultColour = 0;
    /// The rectangle can be decoded: not empty, not inverted, within limits.
    bool usable = false;
    uint32_t Height() const { return usable ? static_cast<uint32_t>(int64_t{bottom} - top) : 0; }
    uint32_t Width() const { return usable ? static_cast<uint32_t>(int64_t{right} - left) : 0; }
    /// Inverted or beyond any picture's size (damage; an empty one is not).
    bool Implausible() const
    {
        const int64_t h = int64_t{bottom} - top, w = int64_t{right} - left;
        return present && (h < 0 || w < 0 || h > kMaxPictureSide || w > kMaxPictureSide);
    }
};

struct ChannelRecord {
    int16_t id = 0;          ///< 0 and up colour, -1 transparency, -2 layer mask, -3 real mask
    uint64_t dataLength = 0; ///< stored length, compression field included
    std::vector<uint8_t> samples;
    /// The decoded plane's own size: the layer's, or its mask's rectangle
    /// for -2 and -3 (0 x 0 when the mask has no usable rectangle).
    uint32_t height = 0, width = 0;
    /// Bytes of samples read or decoded from the channel's own stored data
    /// (bytes read past its stored length belong to something else).
    uint64_t fromSource = 0;
    uint32_t wholeRows = 0;  ///< leading rows whose stored data was read whole
    uint32_t exactRows = 0;  ///< rows whose data decoded to exactly the row
    bool decoded = false;    ///< its data was there to be decoded (a mask with a rectangle, any other channel)
};

/// How the rows of a layer came back: every colour and transparency channel
/// decoded exactly; some channel decoded short, long or from bytes that are
/// not its own; some channel had no data for it at all.
enum RowState : uint8_t { kRowRead = 0, kRowDamaged = 1, kRowWhite = 2 };

struct RowCounts {
    uint32_t read = 0, white = 0, damaged = 0;
    bool Whole() const { return white == 0 && damaged == 0; }
};

struct LayerRecord {
    int32_t top = 0, left = 0, bottom = 0, right = 0;
    uint32_t height = 0, width = 0;
    bool valid = true;
    bool overBudget = false; ///< valid bounds, but too large to hold
    std::vector<ChannelRecord> channels;
    /// Blend signature and key, opacity, clipping, flags, filler: as stored.
    std::array<uint8_t, 12> blend{};
    uint64_t extraOffset = 0; ///< where the extra data starts in the source
    uint32_t extraLength = 0;
    MaskRect mask, realMask;
    /// Of the last decoding: each row's RowState over the colour and
    /// transparency channels.
    std::vector<uint8_t> rowState;
    bool rowsTracked = false; ///< some colour or transparency channel was decoded
    // Of a salvaged section: where the layer's channel data starts, whether
    // it could be placed, and whether the layer was made from its data
    // alone (its record lost).
    uint64_t dataOffset = 0;
    bool placed = true;
    bool recordLost = false;
    bool idRepaired = false; ///< a channel id that no file holds was taken for the colour missing

    /// Back to a record read anew, its buffers' memory kept.
    void Reset()
    {
        top = left = bottom = right = 0;
        height = width = 0;
        valid = true;
        overBudget = false;
        channels.clear();
        blend = {};
        extraOffset = 0;
        extraLength = 0;
        mask = realMask = MaskRect{};
        rowsTracked = false;
        dataOffset = 0;
        placed = true;
        recordLost = false;
        idRepaired = false;
    }

    bool Empty() const { return height == 0 || width == 0; }
    RowCounts Rows() const;
    /// Bytes of samples the layer's planes hold at depth (as last decoded),
    /// and of them read or decoded from the source.
    uint64_t PlaneBytes(uint16_t depth) const;
    uint64_t FromSource() const;
    /// Whether every plane came back whole (masks included).
    bool Whole() const;
    const MaskRect *MaskFor(int16_t id) const { return id == -2 ? &mask : id == -3 ? &realMask : nullptr; }
};

/// Whether a picture holds enough of the source to be written: at least 1 %
/// of its samples read or decoded from it.
bool EnoughSamples(uint64_t fromSource, uint64_t total);
/// The share of a picture's samples that came from the source, for the log
/// ("0.4 %").
std::string SampleShare(uint64_t fromSource, uint64_t total);

/// The first record of list whose identifier is id, or nullptr.
const ChannelRecord *FindChannel(const std::vector<ChannelRecord> &list, int16_t id);

/// The text with one "/" appended unless it already ends in one; an empty
/// text (the current directory) stays empty.
std::string AddTrailingBackslash(const std::string &dir);

/// File-name parts of a path (split at "/").
std::string PathFileName(const std::string &path);
std::string PathWithoutExtension(const std::string &path);
std::string PathExtension(const std::string &path);

/// PathWithoutExtension + "_" + the merged-image counter + PathExtension;
/// advances the counter.
std::string MergedImageName(const std::string &path);

/// The process-wide merged-image counter: 1 when the library is loaded.
unsigned long &MergedImageCounter();

/// Half the physical memory: the most one layer or one merged-image
/// channel may take.
uint64_t DefaultMemoryBudget();

/// The colour channels a layer of this mode has; 0 for any number
/// (Multichannel, and numbers the format does not know).
uint32_t ModeColourChannels(uint16_t mode);
void RepairChannelIds(std::vector<LayerRecord> &layers, std::size_t count, uint32_t colours);

class PsdRecoverer {
public:
    /// recoveredCount is the run's count of recovered files; every layer file
    /// is counted there as soon as it has been written and closed.
    PsdRecoverer(RecoveryJob &job, CFile64Ex &source, const std::string &outputDir,
                 uint64_t &recoveredCount);
    virtual ~PsdRecoverer();

    const ImageProperties &Properties() const { return m_properties; }
    /// Sets the current properties, and the user's: those stand while no
    /// header is seen, and inference starts from them.
    void SetProperties(const ImageProperties &p) { m_properties = m_userProperties = p; }
    const std::string &OutputDir() const { return m_outputDir; }
    const std::vector<std::array<uint8_t, 4>> &Palette() const { return m_palette; }
    const std::vector<uint8_t> &DuotoneData() const { return m_duotone; }
    void SetMemoryBudget(uint64_t bytes) { m_memoryBudget = bytes; }
    /// The offsets of the merged images recovered so far (the scan's).
    void SetRecoveredImages(const std::unordered_set<uint64_t> *offsets) { m_recoveredImages = offsets; }
    /// The source's path, for the names of the rebuilt document and the preview.
    void SetSourcePath(const std::string &path) { m_sourcePath = path; }
    OutputNamer &Namer() { return m_namer; }
    /// The layout the last file header gave (a document until one is read).
    const Layout &CurrentLayout() const { return m_layout; }

    /// Bytes a scan step looks at before it calls the recognisers: enough
    /// for a header's signature and a layer section's first record in
    /// either layout.
    static constexpr uint32_t kScanWindow = 8 + 8 + 2 + 16 + 2 + 10 * 24 + 4;

    /// False when the bytes at w cannot start a file header. w holds at
    /// least kScanWindow bytes.
    static bool MayStartHeader(const uint8_t *w) { return LoadBE32(w) == kSignature; }

    /// False when the bytes at w cannot start a layer section that
    /// RecoverLayerSection accepts in the layout: the lengths, a layer count
    /// that is not 0, the first record's channel count and blend signature;
    /// for a section whose layer info is empty, a tagged block right after
    /// the global layer mask info. w holds at least kScanWindow bytes.
    static bool MayStartLayerSection(const uint8_t *w, bool large)
    {
        const uint32_t n = large ? 8 : 4;
        const uint64_t section = large ? LoadBE64(w) : LoadBE32(w);
        const uint64_t info = large ? LoadBE64(w + 8) : LoadBE32(w + 4);
        if (info == 0)
            return MayStartTaggedLayers(w, section, n);
        // The channel count alone rejects nearly all noise. The length tests
        // each fail about half the time on noise; they are joined without
        // branches so that the one branch is predictable.
        const uint32_t channels = LoadBE16(w + 2 * n + 18);
        if (channels > 24)
            return false;
        const bool plausible =
            (info + n <= section) & (section < kMaxSectionLength) & (LoadBE16(w + 2 * n) != 0);
        return plausible && LoadBE32(w + 2 * n + 20 + (n + 2) * channels) == kBlendSignature;
    }
    static bool MayStartLayerSection(const uint8_t *w)
    {
        return MayStartLayerSection(w, false) || MayStartLayerSection(w, true);
    }

    /// False when the bytes at w cannot start a tagged block holding layers
    /// ("8BIM" or "8B64" and the key Lr16 or Lr32).
    static bool MayStartLayerBlock(const uint8_t *w)
    {
        const uint32_t sig = LoadBE32(w), key = LoadBE32(w + 4);
        return (sig == kBlendSignature || sig == kSignature64) && (key == FourCC("Lr16") || key == FourCC("Lr32"));
    }

    /// False when the bytes at w cannot start a run-length merged image
    /// found by its table alone: the compression 1, then sixteen row
    /// lengths of 2 to 16384 bytes that change smoothly from row to row (the
    /// rows of a picture pack alike; at most two steps of more than half
    /// may break it). Noise and small values in noise are neither. w holds
    /// at least 34 bytes.
    static bool MayStartTailImage(const uint8_t *w)
    {
        if (LoadBE16(w) != 1)
            return false;
        uint32_t previous = LoadBE16(w + 2);
        if (previous < 2 || previous > 16384)
            return false;
        int steps = 0;
        for (int i = 1; i < 16; ++i) {
            const uint32_t e = LoadBE16(w + 2 + 2 * i);
            if (e < 2 || e > 16384)
                return false;
            const uint32_t low = std::min(e, previous), high = std::max(e, previous);
            steps += high - low > std::max<uint32_t>(8, low / 2);
            if (steps > 2)
                return false;
            previous = e;
        }
        return true;
    }

    /// A run-length merged image at the position whose row-length table and
    /// rows reach exactly to the end of the source, every row alike: its
    /// properties are inferred (the source stays at the position).
    bool MatchTailImage();

    /// A file header at the position; on success its properties become
    /// current, its version the layout, and consumed is 26.
    bool MatchFileHeader(uint32_t &consumed);
    /// The most channels a file header may give.
    static constexpr uint16_t kMaxFileChannels = 57;

    /// The colour-mode-data section for mode; length gets its stored length
    /// whenever its 4 bytes could be read.
    bool ReadColorModeData(uint16_t mode, uint32_t &length);

    /// Passes one length-prefixed section (4-byte length).
    bool SkipSizedSection();

    /// Passes the header's image resources and layer-and-mask section, noting
    /// where they lie for the documents and the layout rule.
    bool SkipHeaderSections();

    /// A layer-and-mask-information section at the position: its layers are
    /// read and written. sectionLength gets the stored length, filesWritten
    /// the number of layer files written. With the rebuilt document asked
    /// for, the document is left open for FinishDocument.
    bool RecoverLayerSection(uint64_t &sectionLength, uint32_t &filesWritten);
    /// The layout of the section RecoverLayerSection accepted last.
    const Layout &SectionLayout() const { return m_sectionLayout; }

    /// A tagged block holding layers (Lr16, Lr32) met on its own, where the
    /// lengths of its section are damaged: its layers are read and written
    /// like a section's. Blocks inside a section already recovered are not
    /// read again.
    bool RecoverLayerBlock(uint32_t &filesWritten);

    /// A run of layer records found by itself at the blend signature at the
    /// position, where its section's lengths and count are lost (with
    /// salvage): the records are read from the first one on and every
    /// layer's channel data placed by their own structure.
    bool RecoverRecordRun(uint32_t &filesWritten);

    /// Channel data of layers whose records are all lost, met by itself at
    /// a run-length channel's start (with salvage): split into layers by its
    /// own structure.
    bool RecoverChannelRun(uint32_t &filesWritten);
    /// Whether layers are salvaged (the scan then looks for channel data
    /// also where a header has been seen).
    bool SalvageActive() const { return m_job.Flag(ZELT_RECOVER_SALVAGE); }

    /// The merged image at the position, read with the current properties in
    /// the layout. It goes into the open rebuilt document too.
    /// Only a header leads to merged image data that starts inside the data
    /// of one recovered before (fromHeader): anything else found there reads
    /// the same bytes again.
    bool RecoverMergedImage(const std::string &sourcePath, const Layout &layout = kDocumentLayout,
                            bool fromHeader = true);

    /// Closes the rebuilt document left open by the last section. Its merged
    /// image: the one RecoverMergedImage just streamed into it, the one
    /// recovered before at d (read again), or the visible layers composited.
    void FinishDocument(uint64_t d, DocumentMerged merged, const Layout &layout);
    bool DocumentOpen() const { return m_document != nullptr; }

    /// The layer records up to the bound end, in the layout; layers too large
    /// for the memory budget at depth (0: the current one) are not valid.
    bool ReadLayerRecords(uint64_t end, const Layout &layout = kDocumentLayout, uint16_t depth = 0);

    /// The channel data of one layer, from the position, at depth. `stopped`
    /// is set when reading stops altogether; from then on valid layers get
    /// samples of 0xFF and nothing more is read. With probe set nothing is
    /// kept: only how many rows of each channel would be read whole.
    void ReadChannelData(LayerRecord &layer, bool &stopped, uint16_t depth, const Layout &layout,
                         bool probe = false);
    void ReadChannelData(LayerRecord &layer, bool &stopped) { ReadChannelData(layer, stopped, m_properties.depth, kDocumentLayout); }

    /// An image-resources section at the position, recognised by its
    /// resource blocks while no header has been seen (with the heuristic):
    /// the colour-mode data before it and the layer section after it are
    /// passed, and the properties of the merged image behind them inferred.
    /// mergedAt gets where the merged image starts, layout its layout. With
    /// a header seen (whose sections could not be followed) only the way to
    /// the merged image is found; the header's properties stand.
    bool MatchResourcesSection(uint64_t &mergedAt, Layout &layout);

    /// A thumbnail resource block at the position (1036, or 1033 with its
    /// colours in BGR order): its JPEG is written as <stem>_preview.jpg.
    bool RecoverPreview();
    /// A resource block met on its own (slices, metadata, colour profile):
    /// what it says of the picture is kept for the inference.
    void ReadLooseResource(uint64_t start, uint16_t id, uint8_t nameLength);

    /// Whether properties are inferred: the heuristic was asked for and no
    /// header has been seen.
    bool HeuristicActive() const { return m_job.Flag(ZELT_RECOVER_HEURISTIC) && !m_headerSeen; }
    /// Whether image resources are looked for by their blocks: with the
    /// heuristic, while no header has been seen or the last one's sections
    /// could not be followed (its colour-mode data's length is damaged).
    bool ResourcesWanted() const
    {
        return m_job.Flag(ZELT_RECOVER_HEURISTIC) && (!m_headerSeen || !m_headerSectionsKnown);
    }
    /// The properties line is sent only before the merged image of the step
    /// that found them.
    void EndStep() { m_pendingProperties.clear(); }

    /// The layers parsed last (valid until the next position).
    std::size_t LayerCount() const { return m_layerCount; }
    const LayerRecord &Layer(std::size_t i) const { return m_layers[i]; }

private:
    static constexpr uint32_t kSignature = 0x38425053;      // "8BPS"
    static constexpr uint32_t kBlendSignature = 0x3842494D; // "8BIM"
    static constexpr uint32_t kSignature64 = 0x38423634;    // "8B64"

    static bool MayStartTaggedLayers(const uint8_t *w, uint64_t section, uint32_t n)
    {
        const uint32_t global = LoadBE32(w + 2 * n);
        if (section == 0 || global > kScanWindow - 2 * n - 8)
            return false;
        const uint32_t sig = LoadBE32(w + 2 * n + 4 + global);
        return sig == kBlendSignature || sig == kSignature64;
    }

    bool TryLayerSection(uint64_t start, const Layout &layout, uint64_t &sectionLength, uint32_t &filesWritten);
    /// The records of a section in the layout; depth gets the depth to read
    /// it at, keyDepth the one an Lr16/Lr32 key states (0 for none).
    bool ParseLayerSection(uint64_t start, const Layout &layout, uint64_t &section, uint16_t &depth,
                           uint16_t &keyDepth);
    /// Takes the layers of a run of records or channels found by itself.
    void TakeRun(const SectionRead &read, const Layout &layout);
    /// The records of a layer info whose plain reading failed, salvaged
    /// (countAt: its layer count; end: its end; recordsRead: the plain
    /// reading read every record, their data out of place).
    bool SalvageLayerInfo(uint64_t countAt, uint64_t end, const Layout &layout, uint16_t depth,
                          bool recordsRead = false);
    /// Whether a section already read holds this position.
    bool InsideReadInfo(uint64_t at) const;
    /// Reads (or inflates from the inflater's stream) up to size bytes into
    /// out, polling for abort every 16 MiB with coarse reports; gives the
    /// bytes delivered.
    uint64_t ReadTicking(uint8_t *out, uint64_t size);
    uint64_t InflateTicking(uint8_t *out, uint64_t size);
    /// Whether a merged image at d has what its reading needs (its
    /// compression, its row lengths, data behind them): then it will be the
    /// rebuilt document's, and no composite is made. The position is kept.
    bool MergedImageWillCome(uint64_t d, const Layout &layout);
    /// The bytes of the merged image at d that its reading will take from
    /// the source (all of it for inflated data); 0 when it will not come.
    uint64_t MergedImageFromSource(uint64_t d, const Layout &layout);
    // Inference (HeaderlessScan.cpp)
    void GatherLayerSignals(PropertySignals &s, const Layout &layout, uint16_t keyDepth);
    /// leastRow: the shortest stored row length taken for a table's (0 takes
    /// any; 2 for a table found by itself, as no writer stores less).
    void GatherMergedSignals(PropertySignals &s, uint64_t d, const Layout &layout, uint64_t leastRow = 0);
    /// A run-length merged image's depth by its samples, and how its table
    /// repeats from plane to plane.
    void GatherRowSignals(PropertySignals &s, uint64_t d, const Layout &layout, uint64_t rows, uint64_t rowBytes);
    /// A run-length table cut short with its image: its row count where the
    /// canvas is known and only one count puts the rows where they decode.
    void CutTableSignals(PropertySignals &s, uint64_t d, const Layout &layout);
    bool ExactRowAt(uint64_t at, uint32_t stored, uint64_t rowBytes);
    /// Makes the inferred properties current (the user's where nothing
    /// fits) and notes the line that names them.
    void ApplyInference(const PropertySignals &s);
    /// Whether the merged image's signals fit the properties exactly.
    static bool MergedFits(const PropertySignals &s, const ImageProperties &p);
    uint32_t KeepFlags() const;
    /// The length the stored bytes of a run-length row at the position decode
    /// to (at most `most`); 0 when the bytes are not all there.
    uint64_t RowDecodedLength(uint32_t stored, uint64_t most);
    /// Whether the 8-bit colour channels of the parsed layers look like
    /// Lab's (see PropertySignals::labLike). The position is kept.
    bool LooksLikeLab(const Layout &layout);
    bool ReadResourceBlocks(uint64_t start, uint64_t length, std::optional<double> &aspect,
                            PropertySignals *signals = nullptr);
    /// Whether the sections behind a header at `at` (its colour-mode data's
    /// length) parse up to the merged image (the position is kept).
    bool SectionsFollow(uint64_t at, bool large);
    bool FindLayerBlock(uint64_t from, uint64_t end, const Layout &layout, uint64_t &body, uint64_t &length,
                        uint16_t &depth);
    /// mergedKnown: the merged image behind the section was recovered
    /// before, so the rebuilt document needs no composite.
    bool RecoverLayers(uint16_t depth, const Layout &layout, uint32_t &filesWritten, bool mergedKnown = false,
                       uint64_t mergedFromSource = 0);
    void DecodeChannel(ChannelRecord &ch, LayerRecord &layer, bool &stopped, uint16_t depth,
                       const Layout &layout, bool probe);
    /// The most bytes of samples the channel at `at` could decode to from
    /// its stored data, judged by its compression and length alone.
    uint64_t ChannelBound(const ChannelRecord &ch, const LayerRecord &layer, uint64_t at, uint16_t depth);
    /// Whether a large layer at the position surely holds less than 1 % of
    /// its samples (the position is kept).
    bool CannotHoldEnough(LayerRecord &layer, uint16_t depth);
    /// Sets count bytes to value, polling for a stop between pieces.
    void FillTicking(uint8_t *out, uint8_t value, uint64_t count);
    /// The name the layer's extra data gives it (the position is kept).
    std::string LayerName(const LayerRecord &layer, const Layout &layout, uint32_t index);
    bool InsideRecoveredSection(uint64_t position) const;
    void DiscardLayers();
    uint64_t SourceLength();
    /// Whether the layouts to try at a position are only the last header's.
    bool LayoutFixedAt(uint64_t position) const { return m_headerSeen && position >= m_headerSectionsEnd; }

    // Writer (PsdWriter.cpp)
    bool WriteLayerFile(const LayerRecord &layer, uint32_t index, uint16_t depth);
    void WriteMaskFile(const LayerRecord &layer, uint16_t depth, const std::string &layerPath);
    void WriteFileHead(OutputStream &out, const Layout &layout, uint16_t channels, uint32_t height,
                       uint32_t width, uint16_t depth, uint16_t mode);
    void AppendColorModeData(uint16_t mode, std::vector<uint8_t> &out) const;
    /// The mode a file of this mode is written in: Grayscale for Duotone
    /// without duotone data, else the mode itself.
    uint16_t WrittenMode(uint16_t mode) const;
    /// A layer's plane at the layer's size: the samples, or for a mask the
    /// mask placed at its position with its default colour around it.
    void WriteLayerPlane(OutputStream &out, const LayerRecord &layer, const ChannelRecord &c, uint16_t depth);
    /// The mode a layer file is written in: the document's when the layer's
    /// colour channels match it, else Grayscale for one, Multichannel for
    /// any other number.
    uint16_t LayerFileMode(const LayerRecord &layer) const;
    Layout LayoutForFile(uint32_t height, uint32_t width, uint64_t bytes) const;
    static std::string WithExtension(const std::string &path, const Layout &layout);

    // Merged image (MergedImage.cpp)
    class MergedReader;
    bool WriteMergedImageFile(MergedReader &reader, const std::string &sourcePath);

    friend class RebuiltDocument;

    RecoveryJob &m_job;
    CFile64Ex &m_source;
    std::string m_outputDir;
    std::string m_sourcePath;
    ImageProperties m_properties = kDefaultProperties;
    ImageProperties m_userProperties = kDefaultProperties;
    std::optional<double> m_previewAspect; ///< of the last preview seen
    PropertySignals m_resourceSignals;     ///< what the last image resources read said
    std::string m_pendingProperties;       ///< the properties line, sent before the merged image is read
    bool m_mergedProven = true;            ///< the merged image's data prove the properties in force
    bool m_unknownSaid = false;            ///< the run has said that the properties could not be found
    std::vector<std::array<uint8_t, 4>> m_palette;
    std::vector<uint8_t> m_duotone;
    uint64_t &m_recovered;
    uint64_t m_memoryBudget;
    OutputNamer m_namer;

    // The last file header: its layout, where its sections end, and where
    // its image resources lie (for the rebuilt document).
    Layout m_layout;
    Layout m_sectionLayout;
    bool m_headerSeen = false;
    bool m_headerSectionsKnown = false; ///< the last header's sections were followed to its merged image
    uint64_t m_headerSectionsEnd = 0;
    uint64_t m_resourcesOffset = 0, m_resourcesLength = 0;
    bool m_resourcesWhole = false;
    /// The source ranges of the layer sections and blocks recovered so far.
    std::vector<std::pair<uint64_t, uint64_t>> m_recoveredSections;
    /// Their layer infos (records and channel data); the last one parsed.
    std::vector<std::pair<uint64_t, uint64_t>> m_recoveredInfos;
    std::pair<uint64_t, uint64_t> m_parsedInfo;
    /// The records and channel data of every section read, whether or not
    /// its layers gave files: no run of records is looked for in them.
    std::vector<std::pair<uint64_t, uint64_t>> m_readInfos;
    /// Where the layer info being read ends: channel data past it is not
    /// its layers'.
    uint64_t m_infoEnd = 0;
    uint64_t m_consumedEnd = 0; ///< where the channel data read last ended
    void NoteRecovered(uint64_t start, uint64_t infoStart, uint32_t filesWritten, uint64_t recordsEnd = 0);
    /// The source ranges the merged images recovered so far were read from.
    std::vector<std::pair<uint64_t, uint64_t>> m_mergedRanges;
    bool InsideRecoveredMerged(uint64_t position) const;

    // Reused between positions so that the scan allocates nothing per position.
    std::vector<LayerRecord> m_layers;
    std::size_t m_layerCount = 0;
    int16_t m_storedLayerCount = 0;
    /// The layers parsed last carry their own data offsets (a salvaged
    /// section): each is read from there, not after the one before.
    bool m_salvaged = false;
    std::vector<uint8_t> m_rowLengths;
    std::vector<uint8_t> m_rleInput;
    std::vector<uint8_t> m_scratch;
    Inflater m_inflater;
    /// Sample buffers of the layer being recovered, one for each of up to 24
    /// channels; they hold at most one layer's samples between layers.
    std::array<std::vector<uint8_t>, 24> m_samplePool;
    std::unique_ptr<RebuiltDocument> m_document;
    const std::unordered_set<uint64_t> *m_recoveredImages = nullptr;
};

} // namespace zelt
