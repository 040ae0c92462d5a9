// Thumbnails of the files a repair writes: the engine's uncompressed
// Photoshop layout (every mode and depth it writes, version 1 and 2) and the
// JPEG preview. A large picture is read with a row and column stride, so
// only the samples the thumbnail shows come into memory.
#pragma once

#include <QImage>
#include <QString>
#include <cstdint>

struct TThumbnail {
    QImage image;            ///< at most maxSide pixels a side; null when the file cannot be shown
    uint32_t width = 0;      ///< the picture's own size, from its header
    uint32_t height = 0;
    bool cut = false;        ///< the file ends before its pixel data does; what is missing stays transparent
};

/// The thumbnail of the file at path. Never raises: a file that is no
/// picture of the engine's layout (or no JPEG) gives a null image, a cut file
/// what it holds.
TThumbnail RenderThumbnail(const QString &path, int maxSide = 128);
