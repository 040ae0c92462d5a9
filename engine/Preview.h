// The embedded preview: the small JPEG picture a Photoshop file keeps among
// its image resources (resource 1036, and 1033 in old files, which holds its
// colours in BGR order).
#pragma once

#include <cstdint>
#include <vector>

namespace zelt {

constexpr uint16_t kThumbnailResource = 1036;
constexpr uint16_t kOldThumbnailResource = 1033;

/// The thumbnail header that starts a preview resource's data.
struct ThumbnailHeader {
    uint32_t format = 0; ///< 1: JPEG
    uint32_t width = 0, height = 0;
    uint32_t compressedSize = 0;
    uint16_t bitsPerPixel = 0, planes = 0;
};
constexpr uint32_t kThumbnailHeaderSize = 28;

/// Parses a thumbnail header; false unless it describes a JPEG picture of
/// 24 bits in one plane, of a plausible size.
bool ParseThumbnailHeader(const uint8_t *data, ThumbnailHeader &header);

/// The JPEG with red and blue exchanged (decoded and encoded again at high
/// quality), or empty when the data is no JPEG that can be decoded.
std::vector<uint8_t> SwapJpegRedBlue(const std::vector<uint8_t> &jpeg);

} // namespace zelt
