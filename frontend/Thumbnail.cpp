#include "Thumbnail.h"

#include <QFile>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <vector>

#include "JpegImage.h"

namespace {

uint16_t Be16(const uint8_t *p) { return uint16_t(p[0] << 8 | p[1]); }
uint32_t Be32(const uint8_t *p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
uint64_t Be64(const uint8_t *p) { return uint64_t(Be32(p)) << 32 | Be32(p + 4); }

enum Mode { kBitmap = 0, kGray = 1, kIndexed = 2, kRgb = 3, kCmyk = 4, kMultichannel = 7, kDuotone = 8, kLab = 9 };

// Reads at positions of the file; what lies past its end reads as missing.
class Source {
public:
    explicit Source(const QString &path) : m_file(path) { m_ok = m_file.open(QIODevice::ReadOnly); }
    bool Ok() const { return m_ok; }
    uint64_t Size() const { return uint64_t(m_file.size()); }
    /// True when all n bytes at pos were read.
    bool Read(uint64_t pos, void *out, uint64_t n)
    {
        if (pos > Size() || n > Size() - pos || !m_file.seek(qint64(pos)))
            return false;
        return uint64_t(m_file.read(static_cast<char *>(out), qint64(n))) == n;
    }

private:
    QFile m_file;
    bool m_ok = false;
};

// One sample as 0..255.
uint8_t Sample8(const uint8_t *p, int depth)
{
    switch (depth) {
    case 8: return p[0];
    case 16: return p[0];
    case 32: {
        const uint32_t bits = Be32(p);
        float f;
        std::memcpy(&f, &bits, 4);
        if (!(f > 0.0f))
            return 0;
        if (f >= 1.0f)
            return 255;
        // 32-bit samples are linear light: shown with the display's gamma.
        return uint8_t(std::lround(std::pow(double(f), 1.0 / 2.2) * 255.0));
    }
    default: return 0;
    }
}

QRgb LabToRgb(uint8_t l8, uint8_t a8, uint8_t b8)
{
    const double L = l8 * 100.0 / 255.0, a = a8 - 128.0, b = b8 - 128.0;
    const double fy = (L + 16.0) / 116.0, fx = fy + a / 500.0, fz = fy - b / 200.0;
    const auto inv = [](double t) { return t > 6.0 / 29.0 ? t * t * t : 3.0 * (6.0 / 29.0) * (6.0 / 29.0) * (t - 4.0 / 29.0); };
    // D65 white, sRGB primaries.
    const double X = 0.95047 * inv(fx), Y = inv(fy), Z = 1.08883 * inv(fz);
    const double lin[3] = {3.2406 * X - 1.5372 * Y - 0.4986 * Z, -0.9689 * X + 1.8758 * Y + 0.0415 * Z,
                           0.0557 * X - 0.2040 * Y + 1.0570 * Z};
    int out[3];
    for (int i = 0; i < 3; ++i) {
        const double c = std::clamp(lin[i], 0.0, 1.0);
        const double s = c <= 0.0031308 ? 12.92 * c : 1.055 * std::pow(c, 1.0 / 2.4) - 0.055;
        out[i] = int(std::lround(s * 255.0));
    }
    return qRgb(out[0], out[1], out[2]);
}

TThumbnail RenderJpeg(const QString &path, int maxSide)
{
    TThumbnail t;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > (64 << 20))
        return t;
    const QImage full = DecodeJpeg(file.readAll());
    if (full.isNull())
        return t;
    t.width = uint32_t(full.width());
    t.height = uint32_t(full.height());
    t.image = full.width() > maxSide || full.height() > maxSide
                  ? full.scaled(maxSide, maxSide, Qt::KeepAspectRatio, Qt::SmoothTransformation)
                  : full;
    t.image = t.image.convertToFormat(QImage::Format_ARGB32);
    return t;
}

} // namespace

TThumbnail RenderThumbnail(const QString &path, int maxSide)
{
    TThumbnail t;
    Source src(path);
    uint8_t h[26];
    if (!src.Ok() || maxSide < 1 || !src.Read(0, h, sizeof h))
        return t;
    if (std::memcmp(h, "8BPS", 4) != 0) {
        if (h[0] == 0xFF && h[1] == 0xD8)
            return RenderJpeg(path, maxSide);
        return t;
    }
    const uint16_t version = Be16(h + 4), channels = Be16(h + 12), depth = Be16(h + 22), mode = Be16(h + 24);
    const uint32_t height = Be32(h + 14), width = Be32(h + 18);
    const uint32_t maxDim = version == 2 ? 300000 : 30000;
    if ((version != 1 && version != 2) || channels < 1 || channels > 56 || height < 1 || width < 1 ||
        height > maxDim || width > maxDim || (depth != 1 && depth != 8 && depth != 16 && depth != 32))
        return t;
    t.width = width;
    t.height = height;

    // Colour-mode data (the palette of an indexed picture), image resources,
    // the layer-and-mask section (8-byte length in version 2): skipped.
    uint64_t pos = 26;
    uint8_t len[8];
    if (!src.Read(pos, len, 4))
        return t;
    const uint32_t colorLength = Be32(len);
    std::array<uint8_t, 768> palette{};
    const bool hasPalette = mode == kIndexed && colorLength >= 768 && src.Read(pos + 4, palette.data(), 768);
    pos += 4 + uint64_t(colorLength);
    if (!src.Read(pos, len, 4))
        return t;
    pos += 4 + uint64_t(Be32(len));
    const unsigned sectionLengthSize = version == 2 ? 8 : 4;
    if (!src.Read(pos, len, sectionLengthSize))
        return t;
    pos += sectionLengthSize + (version == 2 ? Be64(len) : Be32(len));
    if (!src.Read(pos, len, 2) || Be16(len) != 0)
        return t; // only raw data
    const uint64_t planes = pos + 2;

    const uint64_t bytesPerSample = depth == 1 ? 1 : depth / 8;
    const uint64_t rowBytes = depth == 1 ? (uint64_t(width) + 7) / 8 : uint64_t(width) * bytesPerSample;
    const uint64_t planeBytes = rowBytes * height;
    const uint32_t step = (std::max(width, height) + uint32_t(maxSide) - 1) / uint32_t(maxSide);
    const int tw = int((width + step - 1) / step), th = int((height + step - 1) / step);

    int used = 1;
    if ((mode == kRgb || mode == kLab) && channels >= 3)
        used = 3;
    else if (mode == kCmyk)
        used = std::min<int>(channels, 4);

    // values[c][y * tw + x]: the sample as 0..255; present[]: which channels were read
    // picture's channels were there for the pixel.
    std::vector<std::vector<uint8_t>> values(size_t(used), std::vector<uint8_t>(size_t(tw) * size_t(th), 0));
    std::vector<uint8_t> present(size_t(tw) * size_t(th), 0); // per pixel: bit c + 1 for each channel c read
    // A whole row is read where the samples lie close together, single
    // samples where the stride leaves long gaps between them.
    const bool wholeRows = rowBytes <= (1 << 16) || step * bytesPerSample <= 64;
    std::vector<uint8_t> row(wholeRows ? size_t(rowBytes) : 0);
    for (int c = 0; c < used; ++c) {
        for (int ty = 0; ty < th; ++ty) {
            const uint64_t sy = uint64_t(ty) * step;
            const uint64_t rowPos = planes + uint64_t(c) * planeBytes + sy * rowBytes;
            const bool rowRead = wholeRows && src.Read(rowPos, row.data(), rowBytes);
            for (int tx = 0; tx < tw; ++tx) {
                const uint64_t sx = uint64_t(tx) * step;
                const uint64_t offset = depth == 1 ? sx / 8 : sx * bytesPerSample;
                uint8_t sample[4];
                const uint8_t *p = sample;
                if (wholeRows) {
                    p = row.data() + offset;
                    if (!rowRead) {
                        // A cut row: what is there of it still counts.
                        if (!src.Read(rowPos + offset, sample, bytesPerSample))
                            continue;
                        p = sample;
                    }
                } else if (!src.Read(rowPos + offset, sample, bytesPerSample)) {
                    continue;
                }
                uint8_t v;
                if (depth == 1)
                    v = (p[0] >> (7 - sx % 8)) & 1 ? 0 : 255; // 1 is black
                else
                    v = Sample8(p, depth);
                values[size_t(c)][size_t(ty) * tw + tx] = v;
                present[size_t(ty) * tw + tx] |= uint8_t(2u << c);
            }
        }
    }
    // A cut file shows what it holds: a pixel whose first channel was read
    // is shown, the channels missing behind it stand back (grey from the
    // first channel, no ink for CMYK).
    const uint8_t all = uint8_t(((2u << used) - 1) & ~1u);
    for (size_t i = 0; i < present.size(); ++i) {
        const uint8_t got = present[i] & all;
        t.cut = t.cut || got != all;
        present[i] = got & 2u;
        for (int c = 1; c < used; ++c)
            if (present[i] && !(got & (2u << c)))
                values[size_t(c)][i] = mode == kCmyk ? 255 : values[0][i];
    }

    QImage image(tw, th, QImage::Format_ARGB32);
    for (int y = 0; y < th; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < tw; ++x) {
            const size_t i = size_t(y) * tw + x;
            if (!present[i]) {
                line[x] = qRgba(0, 0, 0, 0);
                continue;
            }
            const uint8_t v0 = values[0][i];
            QRgb rgb;
            if (mode == kIndexed && hasPalette)
                rgb = qRgb(palette[v0], palette[256 + v0], palette[512 + v0]);
            else if (mode == kRgb && used == 3)
                rgb = qRgb(v0, values[1][i], values[2][i]);
            else if (mode == kLab && used == 3)
                rgb = LabToRgb(v0, values[1][i], values[2][i]);
            else if (mode == kCmyk) {
                // Stored inverted: 255 is no ink.
                const int k = used >= 4 ? values[3][i] : 255;
                const int m = used >= 2 ? values[1][i] : 255, yy = used >= 3 ? values[2][i] : 255;
                rgb = qRgb(v0 * k / 255, m * k / 255, yy * k / 255);
            } else
                rgb = qRgb(v0, v0, v0);
            line[x] = rgb;
        }
    }
    t.image = image;
    return t;
}
