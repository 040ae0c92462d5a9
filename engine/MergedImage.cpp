// The merged image of the image-data section, read with the current image
// properties: a header's, or the user's while no header has been seen.
#include <cstring>
#include <memory>

#include "Messages.h"
#include "PackBits.h"
#include "PsdRecoverer.h"

namespace zelt {

// The merged image is streamed: one plane buffer, filled and written one
// channel after the other.
template <class FillPlane>
bool PsdRecoverer::WriteMergedImageFile(uint64_t planeSize, FillPlane fill, const std::string &sourcePath)
{
    std::string path = MergedImageName(m_outputDir + PathFileName(sourcePath));
    CFile64 file;
    if (!CreateOutput(file, path))
        return false;
    const ImageProperties &p = m_properties;
    WriteFileHead(file, p.channels, p.height, p.width, p.depth, p.mode);
    std::unique_ptr<uint8_t[]> plane(new uint8_t[planeSize == 0 ? 1 : planeSize]);
    for (uint32_t c = 0; c < p.channels; ++c) {
        fill(c, plane.get());
        WriteAll(file, plane.get(), planeSize);
    }
    file.Close();
    m_job.Notify(MSG_FILE_WRITTEN, path);
    return true;
}

bool PsdRecoverer::RecoverMergedImage(const std::string &sourcePath)
{
    m_job.NotifyFormatted(MSG_STATUS, kMsgReadMerged);
    const ImageProperties p = m_properties;
    const uint32_t bps = BytesPerSample(p.depth);
    const auto rowLength = CheckedMul(p.width, bps);
    const auto planeSize = CheckedMul(p.height, p.width, bps);
    // A channel too large for the memory budget is not read.
    if (!rowLength || !planeSize || *planeSize > m_memoryBudget)
        return false;

    uint8_t b[2];
    if (!m_source.ReadExact(b, 2))
        return false;
    const uint16_t compression = LoadBE16(b);

    if (compression == 1) {
        const auto count = CheckedMul(p.channels, p.height, 2);
        if (!count || *count > m_memoryBudget)
            return false;
        m_rowLengths.resize(*count);
        if (m_source.ReadLarge(m_rowLengths.data(), *count) != *count)
            return false;
    }

    const uint64_t size = *planeSize;
    const std::size_t row = *rowLength;
    auto fill = [&](uint32_t c, uint8_t *plane) {
        if (compression == 0) {
            const uint64_t got = m_source.ReadLarge(plane, size);
            std::memset(plane + got, 0xFF, size - got);
        } else if (compression == 1) {
            std::memset(plane, 0xFF, size);
            const uint8_t *lengths = m_rowLengths.data() + uint64_t{c} * p.height * 2;
            for (uint32_t r = 0; r < p.height; ++r) {
                if (!DecodeRleRow(m_source, row, LoadBE16(lengths + uint64_t{r} * 2), plane + r * row,
                                  m_rleInput))
                    break;
            }
        } else {
            std::memset(plane, 0xFF, size);
        }
    };
    return WriteMergedImageFile(size, fill, sourcePath);
}

} // namespace zelt
