// Property inference: the picture's channels, size, depth and mode found
// from what survives of a file whose header is lost (the layer records,
// their channel data, the merged image's rows or length, the embedded
// preview), where each signal votes and the user's values stand where
// nothing fits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "RecoveryJob.h"

namespace zelt {

struct PixelRect {
    int64_t top = 0, left = 0, bottom = 0, right = 0;
    uint64_t Height() const { return static_cast<uint64_t>(bottom - top); }
    uint64_t Width() const { return static_cast<uint64_t>(right - left); }
};

/// What the surviving data says, each signal where it was found.
struct PropertySignals {
    // From a layer section.
    std::optional<uint16_t> keyDepth;   ///< stated by an Lr16 or Lr32 key
    std::vector<uint16_t> channelDepths; ///< one per channel whose stored size told its depth
    uint32_t colourChannels = 0;         ///< colour channels (identifiers 0 to 3) in use; 0 none seen
    bool palette = false;                ///< a palette was read (Indexed)
    std::optional<PixelRect> background; ///< a layer at 0,0 covering all the others
    std::optional<PixelRect> layerUnion; ///< from 0,0 to the farthest bottom and right of the layers
    // From the merged image behind it.
    std::optional<uint64_t> mergedRowBytes; ///< run-length: what every row decodes to
    std::optional<uint64_t> mergedRows;     ///< run-length: channels x height
    std::optional<uint64_t> mergedBytes;    ///< raw or ZIP: all the planes' bytes
    // From an embedded preview.
    std::optional<double> aspect; ///< width / height
    // From the image resources.
    std::optional<PixelRect> documentRect; ///< the slices' bounds, or the size the metadata give
    uint32_t statedColours = 0;            ///< colour channels of the colour profile's space; 0 none
    std::optional<uint16_t> statedMode;    ///< the colour mode the metadata give
    /// The merged image's bytes pair up like big-endian 16-bit samples
    /// (see SampleBytePairs).
    bool sixteenBitLike = false;
    /// The depth the merged image's bytes show: 8, 16 or 32 where their
    /// places in a sample change alike or in kind; 0 where they tell nothing.
    uint16_t sampleDepth = 0;
    /// The merged image's samples barely change: no depth shows in them,
    /// and every reading gives the same flat picture.
    bool sampleFlat = false;
    /// The first bytes of raw or inflated merged planes (for their rows).
    std::vector<uint8_t> rawSample;
    /// For channel counts c that divide the merged rows (2 and up): how
    /// much the rows jump where c planes would meet, the least jump against
    /// the rows' usual step from one to the next.
    std::vector<std::pair<uint32_t, double>> planeRepeat;
    /// The layers' colour channels look like Lab's: the second and third
    /// stay near their middle while the first varies (RGB's vary alike).
    bool labLike = false;
};

/// Whether bytes are 8-bit samples or big-endian 16-bit ones. In 8-bit data
/// the bytes at even and odd places change alike from one pair to the next;
/// in 16-bit data they are the high and low halves of one sample, and the
/// low halves change much more than the high ones (or much less).
class SampleBytePairs {
public:
    /// Bytes from the start of a row or of a plane (an even place).
    void Add(const uint8_t *bytes, std::size_t n);
    bool LookSixteenBit() const;
    /// 8 where the bytes at every place of four change alike, 16 where they
    /// pair up as LookSixteenBit says, 32 where the first of every four (a
    /// float's sign and exponent) barely changes while the last ones do; 0
    /// where too little is known or nothing fits.
    uint16_t Depth() const;
    /// Whether the bytes barely change at all (enough of them seen).
    bool Flat() const;

private:
    uint64_t m_pairs = 0, m_highSteps = 0, m_lowSteps = 0;
    uint64_t m_quads = 0, m_placeSteps[4] = {0, 0, 0, 0};
};

struct InferredProperties {
    ImageProperties properties;
    bool found = false;  ///< at least one signal changed or confirmed a property
    std::string sources; ///< where they came from, for the log
};

/// The properties the signals agree on. `user` holds the values to keep
/// where nothing fits; `keep` (ZELT_KEEP_* bits) the ones that stand
/// whatever the signals say.
InferredProperties InferProperties(const PropertySignals &signals, const ImageProperties &user, uint32_t keep);

/// The reading the merged image's data prove, if one: of every reading
/// that fits the data exactly (channels, size and depth that give the same
/// row lengths and rows, or the same bytes), the signals that state
/// properties, and then those that agree with one reading more than with
/// the others, leave this one only. It takes inferred's mode; sources gets
/// the signals it came from. Properties the user keeps (keep) stand: with
/// any of them given, the reading is inferred as it is.
std::optional<ImageProperties> ProvenReading(const PropertySignals &signals, const ImageProperties &inferred,
                                             uint32_t keep, std::string &sources);

/// What one image resource says of the picture, added to signals: a
/// thumbnail's aspect, the slices' bounds (version 6), the metadata's size
/// and colour mode (XMP), the colour profile's space (ICC).
void ReadResourceSignals(uint16_t id, const std::vector<uint8_t> &data, PropertySignals &signals);

/// "3 channels, 2048 x 1365 pixels, 16 bits, RGB": width x height.
std::string DescribeProperties(const ImageProperties &p);

/// The depth a plane of stored bytes has at height x width, when it is one
/// of 1, 8, 16, 32 exactly.
std::optional<uint16_t> DepthOfPlane(uint64_t bytes, uint64_t height, uint64_t width);

} // namespace zelt
