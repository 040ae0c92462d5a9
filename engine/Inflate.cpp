#include "Inflate.h"

#include <algorithm>
#include <cstring>
#include <vector>
#include <zlib.h>

#include "Errors.h"
#include "File64Ex.h"

namespace zelt {

struct Inflater::State {
    z_stream z{};
    bool open = false;
    std::vector<uint8_t> input = std::vector<uint8_t>(64 * 1024);

    void Close()
    {
        if (open)
            inflateEnd(&z);
        open = false;
    }
    ~State() { Close(); }
};

Inflater::Inflater() : m_state(std::make_unique<State>()) {}
Inflater::~Inflater() = default;

void Inflater::Start(CFile64Ex &source, uint64_t limit)
{
    State &s = *m_state;
    s.Close();
    s.z = z_stream{};
    if (inflateInit(&s.z) != Z_OK)
        throw OutOfMemoryError();
    s.open = true;
    m_source = &source;
    m_inputLeft = limit;
    m_done = false;
    m_ended = false;
    m_consumed = 0;
}

uint64_t Inflater::Fill(uint8_t *out, uint64_t size)
{
    State &s = *m_state;
    uint64_t produced = 0;
    while (produced < size && !m_done) {
        if (s.z.avail_in == 0 && m_inputLeft > 0) {
            const auto want = static_cast<uint32_t>(std::min<uint64_t>(s.input.size(), m_inputLeft));
            const uint32_t got = m_source->Read(s.input.data(), want);
            m_inputLeft = got < want ? 0 : m_inputLeft - got; // a short read is the end of the source
            s.z.next_in = s.input.data();
            s.z.avail_in = got;
        }
        const auto room = static_cast<uInt>(std::min<uint64_t>(size - produced, 1u << 30));
        const uInt inputBefore = s.z.avail_in;
        s.z.next_out = out + produced;
        s.z.avail_out = room;
        const int rc = inflate(&s.z, Z_NO_FLUSH);
        const uInt made = room - s.z.avail_out;
        produced += made;
        m_consumed = s.z.total_in;
        m_ended |= rc == Z_STREAM_END;
        // The end, corrupt data, or no progress at all (the input is used
        // up): what was inflated before stays.
        if (rc == Z_STREAM_END || (rc != Z_OK && rc != Z_BUF_ERROR) ||
            (made == 0 && s.z.avail_in == inputBefore))
            m_done = true;
    }
    if (m_done)
        s.Close();
    return produced;
}

uint64_t UndoPrediction(uint8_t *plane, uint64_t produced, uint32_t width, uint64_t rowBytes, uint16_t depth)
{
    if (rowBytes == 0)
        return produced;
    if (depth == 16) {
        const uint64_t kept = produced & ~uint64_t{1};
        for (uint64_t row = 0; row < kept; row += rowBytes) {
            const uint64_t end = std::min(kept, row + rowBytes);
            uint16_t prev = 0;
            for (uint64_t i = row; i < end; i += 2) {
                prev = static_cast<uint16_t>(prev + (plane[i] << 8 | plane[i + 1]));
                plane[i] = static_cast<uint8_t>(prev >> 8);
                plane[i + 1] = static_cast<uint8_t>(prev);
            }
        }
        return kept;
    }
    if (depth == 32) {
        const uint64_t kept = produced / rowBytes * rowBytes;
        std::vector<uint8_t> row(rowBytes);
        for (uint64_t at = 0; at < kept; at += rowBytes) {
            uint8_t *r = plane + at;
            for (uint64_t i = 1; i < rowBytes; ++i)
                r[i] = static_cast<uint8_t>(r[i] + r[i - 1]);
            // The row holds the first bytes of all samples, then the second
            // bytes, and so on.
            for (uint32_t x = 0; x < width; ++x)
                for (uint32_t b = 0; b < 4; ++b)
                    row[uint64_t{x} * 4 + b] = r[uint64_t{b} * width + x];
            std::memcpy(r, row.data(), rowBytes);
        }
        return kept;
    }
    for (uint64_t row = 0; row < produced; row += rowBytes) {
        const uint64_t end = std::min(produced, row + rowBytes);
        for (uint64_t i = row + 1; i < end; ++i)
            plane[i] = static_cast<uint8_t>(plane[i] + plane[i - 1]);
    }
    return produced;
}

} // namespace zelt
