// The merged image of the image-data section, read with the current image
// properties: a header's, or the user's while no header has been seen.
#include <algorithm>
#include <cstring>
#include <memory>

#include "DocumentWriter.h"
#include "Messages.h"
#include "PackBits.h"
#include "PsdRecoverer.h"

namespace zelt {

// Reads the planes of a merged image one channel after the other, from the
// source's position at Begin. Reset goes back to the first channel, so that
// the planes can be read twice.
class PsdRecoverer::MergedReader {
public:
    MergedReader(PsdRecoverer &r, const Layout &layout) : m_r(r), m_layout(layout), m_p(r.m_properties) {}

    /// The compression field and, for run-length data, every row length.
    /// False when they are not all there, or a plane would not fit the
    /// memory budget.
    bool Begin()
    {
        const auto rowBytes = CheckedMul(RowBytes(m_p.width, m_p.depth), 1);
        const auto planeSize = CheckedMul(RowBytes(m_p.width, m_p.depth), m_p.height);
        // A channel too large for the memory budget is not read.
        if (!rowBytes || !planeSize || *planeSize > m_r.m_memoryBudget)
            return false;
        m_rowBytes = *rowBytes;
        m_planeSize = *planeSize;
        uint8_t b[2];
        if (!m_r.m_source.ReadExact(b, 2))
            return false;
        m_compression = LoadBE16(b);
        if ((m_compression == 0 || m_compression > 3) && m_r.m_job.Flag(ZELT_RECOVER_SALVAGE) && RowTableFollows())
            m_compression = 1; // the field is damaged: the table behind it proves run-length data
        if (m_compression == 1) {
            const auto count = CheckedMul(m_p.channels, m_p.height, m_layout.RowLengthBytes());
            if (!count || *count > m_r.m_memoryBudget)
                return false;
            m_r.m_rowLengths.resize(*count);
            if (m_r.m_source.ReadLarge(m_r.m_rowLengths.data(), *count) != *count)
                return false;
        }
        m_start = m_r.m_source.GetPosition();
        return true;
    }

    /// Whether a run-length row table stands after the compression field
    /// whose lengths sum exactly to the data behind it, to the source's end,
    /// and raw planes would not end there. Leaves the source after the field.
    bool RowTableFollows()
    {
        const uint64_t at = m_r.m_source.GetPosition(), end = m_r.SourceLength();
        const uint32_t w = m_layout.RowLengthBytes();
        const auto count = CheckedMul(m_p.channels, m_p.height, w);
        const auto raw = CheckedMul(m_planeSize, m_p.channels);
        if (!count || *count > m_r.m_memoryBudget || at + *count > end || (raw && at + *raw == end))
            return false;
        std::vector<uint8_t> table(static_cast<std::size_t>(*count));
        const bool read = m_r.m_source.ReadLarge(table.data(), table.size()) == table.size();
        m_r.m_source.SeekTo(at);
        if (!read)
            return false;
        uint64_t sum = 0;
        for (std::size_t i = 0; i < table.size(); i += w)
            sum += LoadBE(table.data() + i, w);
        return at + *count + sum == end;
    }

    void Reset()
    {
        m_rowState.assign(m_p.height, kRowRead);
        m_r.m_source.SeekTo(m_start);
        if (m_compression == 2 || m_compression == 3)
            m_r.m_inflater.Start(m_r.m_source);
    }

    uint64_t PlaneSize() const { return m_planeSize; }

    /// After Begin: the most the planes could take from the source, judged
    /// by the compression and what is left of the source alone.
    uint64_t Bound() const
    {
        const uint64_t total = m_planeSize * m_p.channels, length = m_r.SourceLength();
        const uint64_t left = length > m_start ? length - m_start : 0;
        switch (m_compression) {
        case 0: return std::min(total, left);
        case 1: return std::min(total, 64 * left); // two stored bytes give at most 128
        case 2:
        case 3: return std::min(total, 1032 * left); // deflate's most
        default: return 0;
        }
    }

    /// After Begin: the bytes reading the planes takes from the source, found
    /// by reading them without holding a plane (the position moves).
    uint64_t Count()
    {
        Reset();
        const uint64_t total = m_planeSize * m_p.channels;
        if (m_compression == 0)
            return Bound();
        uint64_t from = 0;
        if (m_compression == 2 || m_compression == 3) {
            m_r.m_scratch.resize(64 * 1024);
            while (from < total && !m_r.m_inflater.Done())
                from += m_r.m_inflater.Fill(m_r.m_scratch.data(), std::min<uint64_t>(m_r.m_scratch.size(), total - from));
            return from;
        }
        if (m_compression != 1)
            return 0;
        const uint32_t w = m_layout.RowLengthBytes();
        std::vector<uint8_t> row(m_rowBytes);
        for (uint32_t c = 0; c < m_p.channels; ++c) {
            const uint8_t *lengths = m_r.m_rowLengths.data() + uint64_t{c} * m_p.height * w;
            for (uint32_t r = 0; r < m_p.height; ++r) {
                uint64_t got = 0;
                const bool whole = DecodeRleRow(m_r.m_source, m_rowBytes, static_cast<uint32_t>(LoadBE(lengths + uint64_t{r} * w, w)),
                                                row.data(), m_r.m_rleInput, &got);
                from += got;
                if (!whole)
                    break;
            }
            m_r.m_job.PollAbort();
        }
        return from;
    }

    /// After Begin: what reading the planes will take from the source. Rows
    /// of run-length data count whole where their stored bytes are there;
    /// inflated data counts whole.
    uint64_t FromSourceEstimate()
    {
        const uint64_t total = m_planeSize * m_p.channels, length = m_r.SourceLength();
        if (m_compression == 0)
            return std::min(total, length > m_start ? length - m_start : 0);
        if (m_compression == 2 || m_compression == 3)
            return m_start < length ? total : 0;
        if (m_compression != 1)
            return 0;
        const uint32_t w = m_layout.RowLengthBytes();
        const uint64_t rows = uint64_t{m_p.channels} * m_p.height;
        uint64_t at = m_start, present = 0;
        for (uint64_t k = 0; k < rows; ++k) {
            at += LoadBE(m_r.m_rowLengths.data() + k * w, w);
            if (at > length)
                break;
            ++present;
        }
        // The rows there count for what the first of them decode to: rows
        // of a header wider than its data decode short.
        uint64_t sampled = 0, decoded = 0;
        std::vector<uint8_t> row(m_rowBytes);
        m_r.m_source.SeekTo(m_start);
        for (uint64_t k = 0; k < std::min<uint64_t>(present, 16); ++k) {
            const auto stored = static_cast<uint32_t>(LoadBE(m_r.m_rowLengths.data() + k * w, w));
            uint64_t from = 0;
            DecodeRleRow(m_r.m_source, m_rowBytes, stored, row.data(), m_r.m_rleInput, &from);
            sampled += m_rowBytes;
            decoded += from;
        }
        return sampled == 0 ? 0 : static_cast<uint64_t>(double(present * m_rowBytes) * double(decoded) / double(sampled));
    }

    /// The plane of channel c, the channels taken in order after Reset.
    /// Gives the number of its bytes that came from the source.
    uint64_t Fill(uint32_t c, uint8_t *plane)
    {
        CFile64Ex &source = m_r.m_source;
        RecoveryJob &job = m_r.m_job;
        uint64_t done = 0, fromSource = 0;
        uint32_t rowsSeen = 0; // rows given a state; the rest had no data
        auto mark = [&](uint32_t r, RowState state) {
            m_rowState[r] = std::max<uint8_t>(m_rowState[r], state);
            rowsSeen = r + 1;
        };
        auto markBytes = [&](uint64_t bytes) {
            for (uint32_t r = 0; r < m_p.height && uint64_t{r} * m_rowBytes < bytes; ++r)
                mark(r, (uint64_t{r} + 1) * m_rowBytes <= bytes ? kRowRead : kRowDamaged);
        };
        if (m_compression == 0) {
            done = fromSource = m_r.ReadTicking(plane, m_planeSize);
            markBytes(done);
        } else if (m_compression == 1) {
            const uint32_t w = m_layout.RowLengthBytes();
            const uint8_t *lengths = m_r.m_rowLengths.data() + uint64_t{c} * m_p.height * w;
            for (uint32_t r = 0; r < m_p.height; ++r) {
                const auto stored = static_cast<uint32_t>(LoadBE(lengths + uint64_t{r} * w, w));
                uint64_t from = 0;
                bool exact = false;
                const bool whole =
                    DecodeRleRow(source, m_rowBytes, stored, plane + r * m_rowBytes, m_r.m_rleInput, &from, &exact);
                fromSource += from;
                done += m_rowBytes;
                job.Tick(stored);
                mark(r, whole && exact ? kRowRead : from > 0 ? kRowDamaged : kRowWhite);
                if (!whole)
                    break;
            }
        } else if (m_compression == 2 || m_compression == 3) {
            done = m_r.InflateTicking(plane, m_planeSize);
            if (m_compression == 3)
                done = UndoPrediction(plane, done, m_p.width, m_rowBytes, m_p.depth);
            fromSource = done;
            markBytes(done);
        }
        for (uint32_t r = rowsSeen; r < m_p.height; ++r)
            m_rowState[r] = kRowWhite;
        if (done < m_planeSize)
            m_r.FillTicking(plane + done, 0xFF, m_planeSize - done);
        return fromSource;
    }

    /// How the rows came back over the channels filled since Reset.
    RowCounts Rows() const
    {
        RowCounts counts;
        for (uint8_t state : m_rowState)
            (state == kRowRead ? counts.read : state == kRowDamaged ? counts.damaged : counts.white)++;
        return counts;
    }

private:
    PsdRecoverer &m_r;
    Layout m_layout;
    ImageProperties m_p;
    uint16_t m_compression = 0;
    uint64_t m_rowBytes = 0, m_planeSize = 0, m_start = 0;
    std::vector<uint8_t> m_rowState; ///< each row's RowState over the channels filled
};

// The merged image is streamed: one plane buffer, filled and written one
// channel after the other. A merged image of which nothing came from the
// source is not written.
bool PsdRecoverer::WriteMergedImageFile(MergedReader &reader, const std::string &sourcePath)
{
    const ImageProperties &p = m_properties;
    const uint64_t planeSize = reader.PlaneSize();
    // Written only when at least 1 % of its samples come from the source. A
    // large one whose data cannot hold that much is only counted, never
    // given a plane's memory.
    const uint64_t total = planeSize * p.channels;
    if (total > (16u << 20) && !EnoughSamples(reader.Bound(), total)) {
        const uint64_t fromSource = reader.Count();
        if (fromSource == 0)
            m_job.NotifyFormatted(MSG_STATUS, kMsgMergedNoData);
        else
            m_job.NotifyFormatted(MSG_STATUS, kMsgMergedFewSamples, SampleShare(fromSource, total).c_str());
        return false;
    }
    std::unique_ptr<uint8_t[]> plane(new uint8_t[planeSize == 0 ? 1 : planeSize]);
    reader.Reset();
    // Where the first plane holds too few, the others are read for them
    // before anything is created, and all are read again for the file.
    uint64_t fromSource = reader.Fill(0, plane.get());
    uint32_t planesRead = 1;
    for (; planesRead < p.channels && !EnoughSamples(fromSource, total); ++planesRead)
        fromSource += reader.Fill(planesRead, plane.get());
    if (fromSource == 0) {
        m_job.NotifyFormatted(MSG_STATUS, kMsgMergedNoData);
        return false;
    }
    if (!EnoughSamples(fromSource, total)) {
        m_job.NotifyFormatted(MSG_STATUS, kMsgMergedFewSamples, SampleShare(fromSource, total).c_str());
        return false;
    }
    if (planesRead > 1) {
        reader.Reset();
        reader.Fill(0, plane.get());
    }
    const Layout layout = LayoutForFile(p.height, p.width, 64 + 768 + planeSize * p.channels);
    const std::string counter = std::string(1, '_').append(std::to_string(MergedImageCounter()));
    OutputFile file(m_job);
    if (!file.Create(m_namer, WithExtension(MergedImageName(m_outputDir + PathFileName(sourcePath)), layout),
                     counter.size()))
        return false;
    WriteFileHead(file.Out(), layout, p.channels, p.height, p.width, p.depth, p.mode);
    for (uint32_t c = 0; c < p.channels; ++c) {
        if (c > 0)
            reader.Fill(c, plane.get());
        file.Out().Write(plane.get(), planeSize);
        if (m_document)
            m_document->MergedPlane(plane.get(), planeSize);
    }
    file.Close();
    // How much of it came back whole, as for every layer.
    if (m_job.Flag(ZELT_REPORT_COARSE)) {
        const RowCounts rows = reader.Rows();
        m_job.NotifyFormatted(MSG_STATUS, kMsgMergedRows, p.width, p.height, rows.read, p.height, rows.white,
                              rows.damaged);
    }
    return true;
}

bool PsdRecoverer::MergedImageWillCome(uint64_t d, const Layout &layout) { return MergedImageFromSource(d, layout) != 0; }

uint64_t PsdRecoverer::MergedImageFromSource(uint64_t d, const Layout &layout)
{
    const uint64_t at = m_source.GetPosition();
    if (InsideRecoveredMerged(d) || (HeuristicActive() && !m_mergedProven))
        return 0;
    m_source.SeekTo(d);
    MergedReader reader(*this, layout);
    uint64_t estimate = 0;
    if (reader.Begin() && m_source.GetPosition() < SourceLength() && m_properties.channels > 0) {
        estimate = reader.FromSourceEstimate();
        // As the merged image's own rule: less than 1 % does not come.
        if (!EnoughSamples(estimate, reader.PlaneSize() * m_properties.channels))
            estimate = 0;
    }
    m_source.SeekTo(at);
    return estimate;
}

bool PsdRecoverer::InsideRecoveredMerged(uint64_t position) const
{
    return std::any_of(m_mergedRanges.begin(), m_mergedRanges.end(),
                       [position](const auto &r) { return position > r.first && position < r.second; });
}

bool PsdRecoverer::RecoverMergedImage(const std::string &sourcePath, const Layout &layout, bool fromHeader)
{
    const uint64_t start = m_source.GetPosition();
    if (!fromHeader && InsideRecoveredMerged(start))
        return false;
    m_job.PollAbort();
    // Without a header, a merged image is read only with properties its
    // data prove (or the user gave): anything else would be noise.
    if (HeuristicActive() && !m_mergedProven) {
        if (!m_unknownSaid)
            m_job.NotifyFormatted(MSG_STATUS, kMsgPropertiesUnknown);
        m_unknownSaid = true;
        m_pendingProperties.clear();
        return false;
    }
    if (!m_pendingProperties.empty()) {
        m_job.NotifyFormatted(MSG_STATUS, kMsgPropertiesFound, m_pendingProperties.c_str());
        m_pendingProperties.clear();
    }
    m_job.NotifyFormatted(MSG_STATUS, kMsgReadMerged);
    // Properties that describe no picture write no picture.
    const ImageProperties &p = m_properties;
    if (p.channels == 0 || p.height == 0 || p.width == 0)
        return false;
    MergedReader reader(*this, layout);
    if (!reader.Begin() || !WriteMergedImageFile(reader, sourcePath))
        return false;
    m_mergedRanges.emplace_back(start, m_source.GetPosition());
    return true;
}

void PsdRecoverer::FinishDocument(uint64_t d, DocumentMerged merged, const Layout &layout)
{
    std::unique_ptr<RebuiltDocument> document = std::move(m_document);
    if (merged == DocumentMerged::recoveredBefore) {
        // Recovered at an earlier position: read once more, into the
        // document only.
        m_source.SeekTo(d);
        MergedReader reader(*this, layout);
        if (reader.Begin()) {
            std::unique_ptr<uint8_t[]> plane(new uint8_t[reader.PlaneSize() == 0 ? 1 : reader.PlaneSize()]);
            reader.Reset();
            for (uint32_t c = 0; c < m_properties.channels; ++c) {
                reader.Fill(c, plane.get());
                document->MergedPlane(plane.get(), reader.PlaneSize());
            }
        }
    }
    if (document && document->Finish())
        ++m_recovered;
}

} // namespace zelt
