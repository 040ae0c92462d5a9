// PsdRecoverer: the engine's knowledge of the Photoshop file format. At every
// byte position of the source the scan asks it whether a file header or a
// layer-and-mask-information section starts there; what it recognises it
// reads, decodes and writes out as separate uncompressed Photoshop files.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "BigEndian.h"
#include "File64Ex.h"
#include "RecoveryJob.h"

namespace zelt {

class CFile64;

/// Bytes per sample: depth / 8, at least 1 (a depth of 1 counts one byte).
inline uint32_t BytesPerSample(uint16_t depth) { return depth / 8 == 0 ? 1u : depth / 8u; }

struct ChannelRecord {
    int16_t id = 0;          ///< 0 and up colour, -1 transparency, -2 layer mask
    uint32_t dataLength = 0; ///< stored length, compression field included
    std::vector<uint8_t> samples;
};

struct LayerRecord {
    int32_t top = 0, left = 0, bottom = 0, right = 0;
    uint32_t height = 0, width = 0;
    bool valid = true;
    std::vector<ChannelRecord> channels;
};

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

class PsdRecoverer {
public:
    /// recoveredCount is the run's count of recovered files; every layer file
    /// is counted there as soon as it has been written and closed.
    PsdRecoverer(RecoveryJob &job, CFile64Ex &source, const std::string &outputDir,
                 uint64_t &recoveredCount);
    virtual ~PsdRecoverer();

    const ImageProperties &Properties() const { return m_properties; }
    void SetProperties(const ImageProperties &p) { m_properties = p; }
    const std::string &OutputDir() const { return m_outputDir; }
    const std::vector<std::array<uint8_t, 4>> &Palette() const { return m_palette; }
    const std::vector<uint8_t> &DuotoneData() const { return m_duotone; }
    void SetMemoryBudget(uint64_t bytes) { m_memoryBudget = bytes; }

    /// Bytes a scan step looks at before it calls the recognisers: enough
    /// for a header's signature and a layer section's first record.
    static constexpr uint32_t kScanWindow = 4 + 4 + 2 + 16 + 2 + 6 * 24 + 4;

    /// False when the bytes at w cannot start a file header. w holds at
    /// least kScanWindow bytes.
    static bool MayStartHeader(const uint8_t *w) { return LoadBE32(w) == kSignature; }

    /// False when the bytes at w cannot start a layer section that
    /// RecoverLayerSection accepts: the lengths, a layer count that is not 0,
    /// the first record's channel count and blend signature. w holds at
    /// least kScanWindow bytes.
    static bool MayStartLayerSection(const uint8_t *w)
    {
        // The channel count alone rejects nearly all noise. The length tests
        // each fail about half the time on noise; they are joined without
        // branches so that the one branch is predictable.
        const uint32_t channels = LoadBE16(w + 26);
        if (channels > 24)
            return false;
        const uint64_t section = LoadBE32(w), info = LoadBE32(w + 4);
        const bool plausible = (info != 0) & (info + 4 <= section) & (LoadBE16(w + 8) != 0);
        return plausible && LoadBE32(w + 28 + 6 * channels) == kBlendSignature;
    }

    /// A 26-byte file header at the position; on success its properties
    /// become current and consumed is 26.
    bool MatchFileHeader(uint32_t &consumed);

    /// The colour-mode-data section for mode; length gets its stored length
    /// whenever its 4 bytes could be read.
    bool ReadColorModeData(uint16_t mode, uint32_t &length);

    /// Passes one length-prefixed section.
    bool SkipSizedSection();

    /// A layer-and-mask-information section at the position: its layers are
    /// read and written. sectionLength gets the stored length, filesWritten
    /// the number of layer files written.
    bool RecoverLayerSection(uint32_t &sectionLength, uint32_t &filesWritten);

    /// The merged image at the position, read with the current properties.
    bool RecoverMergedImage(const std::string &sourcePath);

    /// The layer records up to the bound end.
    bool ReadLayerRecords(uint64_t end);

    /// The channel data of one layer, from the position. `stopped` is set
    /// when reading stops altogether; from then on valid layers get samples
    /// of 0xFF and nothing more is read.
    void ReadChannelData(LayerRecord &layer, bool &stopped);

private:
    static constexpr uint32_t kSignature = 0x38425053;      // "8BPS"
    static constexpr uint32_t kBlendSignature = 0x3842494D; // "8BIM"

    void DiscardLayers();
    uint64_t SourceLength();

    // Writer (PsdWriter.cpp)
    bool WriteLayerFile(const LayerRecord &layer, uint32_t index);
    void WriteMaskFile(uint32_t height, uint32_t width, uint16_t depth,
                       const std::vector<ChannelRecord> &channels, const std::string &layerPath);
    template <class FillPlane>
    bool WriteMergedImageFile(uint64_t planeSize, FillPlane fill, const std::string &sourcePath);
    void WriteFileHead(CFile64 &file, uint16_t channels, uint32_t height, uint32_t width,
                       uint16_t depth, uint16_t mode);
    void AppendColorModeData(uint16_t mode, std::vector<uint8_t> &out) const;
    void WriteImageData(const std::vector<ChannelRecord> &channels, CFile64 &file);
    bool CreateOutput(CFile64 &file, std::string &path);
    std::string UnwrittenName(const std::string &path) const;

    RecoveryJob &m_job;
    CFile64Ex &m_source;
    std::string m_outputDir;
    ImageProperties m_properties = kDefaultProperties;
    std::vector<std::array<uint8_t, 4>> m_palette;
    std::vector<uint8_t> m_duotone;
    uint64_t &m_recovered;
    uint64_t m_memoryBudget;

    // Reused between positions so that the scan allocates nothing per position.
    std::vector<LayerRecord> m_layers;
    std::size_t m_layerCount = 0;
    std::vector<uint8_t> m_rowLengths;
    std::vector<uint8_t> m_rleInput;
    /// Sample buffers of the layer being recovered, one for each of up to 24
    /// channels; they hold at most one layer's samples between layers.
    std::array<std::vector<uint8_t>, 24> m_samplePool;
    std::unordered_set<std::string> m_written; ///< files this run has written
};

/// Writes data to file in pieces a single write call can take.
void WriteAll(CFile64 &file, const uint8_t *data, uint64_t size);

} // namespace zelt
