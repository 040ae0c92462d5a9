// The recovered-file writer. Every file has one layout: a header, the colour
// mode data, empty image resources, an empty layer section, and the picture
// as the file's own uncompressed merged image.
#include <cstdio>

#include "File64.h"
#include "Messages.h"
#include "PsdRecoverer.h"

namespace zelt {

static constexpr uint32_t kOutputFlags = modeWrite | shareExclusive | modeCreate | typeBinary;

void WriteAll(CFile64 &file, const uint8_t *data, uint64_t size)
{
    while (size > 0) {
        const auto piece = static_cast<uint32_t>(std::min<uint64_t>(size, 1u << 30));
        file.Write(data, piece);
        data += piece;
        size -= piece;
    }
}

std::string PsdRecoverer::UnwrittenName(const std::string &path) const
{
    if (m_written.count(path) == 0)
        return path;
    const std::string base = PathWithoutExtension(path), ext = PathExtension(path);
    for (unsigned long k = 2;; ++k) {
        std::string candidate = base + "_" + std::to_string(k) + ext;
        if (m_written.count(candidate) == 0)
            return candidate;
    }
}

// A file this run has written is never replaced: a later file that arrives
// at the same name takes the first free "<base>_<k><ext>".
bool PsdRecoverer::CreateOutput(CFile64 &file, std::string &path)
{
    path = UnwrittenName(path);
    FileError error;
    if (!file.Open(path, kOutputFlags, &error)) {
        m_job.Notify(MSG_ERROR, FormatErrorMessage(kMsgCannotCreateFile, error));
        return false;
    }
    m_written.insert(path);
    return true;
}

void PsdRecoverer::AppendColorModeData(uint16_t mode, std::vector<uint8_t> &out) const
{
    uint8_t len[4];
    if (mode == 2) {
        StoreBE32(len, 768);
        out.insert(out.end(), len, len + 4);
        for (std::size_t k = 0; k < 256; ++k) {
            if (k < m_palette.size())
                out.insert(out.end(), m_palette[k].begin(), m_palette[k].begin() + 3);
            else
                out.insert(out.end(), 3, 0xFF);
        }
    } else if (mode == 8) {
        StoreBE32(len, static_cast<uint32_t>(m_duotone.size()));
        out.insert(out.end(), len, len + 4);
        out.insert(out.end(), m_duotone.begin(), m_duotone.end());
    } else {
        StoreBE32(len, 0);
        out.insert(out.end(), len, len + 4);
    }
}

// Everything up to the first plane: header, colour mode data, the lengths
// 0, 8, 0, 0 and the compression field 0.
void PsdRecoverer::WriteFileHead(CFile64 &file, uint16_t channels, uint32_t height, uint32_t width,
                                 uint16_t depth, uint16_t mode)
{
    std::vector<uint8_t> head(26, 0);
    StoreBE32(head.data(), kSignature);
    StoreBE16(head.data() + 4, 1);
    StoreBE16(head.data() + 12, channels);
    StoreBE32(head.data() + 14, height);
    StoreBE32(head.data() + 18, width);
    StoreBE16(head.data() + 22, depth);
    StoreBE16(head.data() + 24, mode);
    AppendColorModeData(mode, head);
    const uint8_t tail[18] = {0, 0, 0, 0, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    head.insert(head.end(), tail, tail + sizeof tail);
    WriteAll(file, head.data(), head.size());
}

void PsdRecoverer::WriteImageData(const std::vector<ChannelRecord> &channels, CFile64 &file)
{
    for (const ChannelRecord &c : channels)
        if (c.id >= 0)
            WriteAll(file, c.samples.data(), c.samples.size());
    for (const ChannelRecord &c : channels)
        if (c.id < 0)
            WriteAll(file, c.samples.data(), c.samples.size());
}

bool PsdRecoverer::WriteLayerFile(const LayerRecord &layer, uint32_t index)
{
    char name[4096 + 64];
    std::snprintf(name, sizeof name, LoadMessage(kMsgLayerFileName), m_outputDir.c_str(), index);
    std::string path = name;
    CFile64 file;
    if (!CreateOutput(file, path))
        return false;
    const auto channels = static_cast<uint16_t>(layer.channels.size());
    WriteFileHead(file, channels, layer.height, layer.width, m_properties.depth, m_properties.mode);
    WriteImageData(layer.channels, file);
    WriteMaskFile(layer.height, layer.width, m_properties.depth, layer.channels, path);
    file.Close();
    m_job.Notify(MSG_FILE_WRITTEN, path);
    return true;
}

void PsdRecoverer::WriteMaskFile(uint32_t height, uint32_t width, uint16_t depth,
                                 const std::vector<ChannelRecord> &channels, const std::string &layerPath)
{
    const ChannelRecord *alpha = FindChannel(channels, -1);
    if (!alpha)
        return;
    std::string path = PathWithoutExtension(layerPath) + "_mask" + PathExtension(layerPath);
    CFile64 file;
    if (!CreateOutput(file, path))
        return;
    WriteFileHead(file, 3, height, width, depth, 3);
    for (int plane = 0; plane < 3; ++plane)
        WriteAll(file, alpha->samples.data(), alpha->samples.size());
    file.Close();
    m_job.Notify(MSG_FILE_WRITTEN, path);
}

} // namespace zelt
