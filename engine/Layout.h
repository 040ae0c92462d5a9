// The two layouts of a Photoshop file: the document (version 1, .psd) and
// the large document (version 2, .psb), which widens some lengths.
#pragma once

#include <cstdint>

namespace zelt {

struct Layout {
    bool large = false;

    /// The width of the layer-and-mask-information length, the layer info
    /// length and each channel's data length in the layer records.
    uint32_t LengthBytes() const { return large ? 8u : 4u; }
    /// The width of one stored row length of run-length data.
    uint32_t RowLengthBytes() const { return large ? 4u : 2u; }
    /// The file header's version field.
    uint16_t Version() const { return large ? 2 : 1; }
    /// The width of a tagged block's length for this key: 8 bytes for some
    /// keys of a large document, else 4.
    uint32_t TaggedLengthBytes(uint32_t key) const;
};

constexpr Layout kDocumentLayout{false};
constexpr Layout kLargeLayout{true};

/// Pixels a side up to which a file is written as a document; wider or
/// taller ones, and those of 2^31 bytes or more, are written large.
constexpr uint32_t kMaxDocumentSide = 30000;
constexpr uint64_t kMaxDocumentBytes = uint64_t{1} << 31;

/// The longest section a large document can plausibly hold (256 TiB): an
/// 8-byte length beyond it is noise, not a length.
constexpr uint64_t kMaxSectionLength = uint64_t{1} << 48;

/// Four-character keys as numbers.
constexpr uint32_t FourCC(const char (&k)[5])
{
    return uint32_t(uint8_t(k[0])) << 24 | uint32_t(uint8_t(k[1])) << 16 | uint32_t(uint8_t(k[2])) << 8 |
           uint32_t(uint8_t(k[3]));
}

inline uint32_t Layout::TaggedLengthBytes(uint32_t key) const
{
    if (!large)
        return 4;
    switch (key) {
    case FourCC("LMsk"): case FourCC("Lr16"): case FourCC("Lr32"): case FourCC("Layr"):
    case FourCC("Mt16"): case FourCC("Mt32"): case FourCC("Mtrn"): case FourCC("Alph"):
    case FourCC("FMsk"): case FourCC("lnk2"): case FourCC("FEid"): case FourCC("FXid"):
    case FourCC("PxSD"):
        return 8;
    default:
        return 4;
    }
}

} // namespace zelt
