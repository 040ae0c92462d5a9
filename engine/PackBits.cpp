#include "PackBits.h"

#include <algorithm>
#include <cstring>

#include "File64Ex.h"

namespace zelt {

std::size_t DecodePackBits(const uint8_t *in, std::size_t n, uint8_t *out, std::size_t rowLength,
                           std::size_t *filled, std::size_t *consumed)
{
    std::size_t i = 0, o = 0, missing = 0;
    while (i < n && o < rowLength) {
        const uint8_t h = in[i];
        // The common case in photographs: a run of at most 16 bytes, with 16
        // bytes of room in the row and 17 in the input. A fixed 16-byte copy
        // or fill costs less than a call; the bytes it writes past the run
        // are written again by the runs that follow, or zeroed as unreached.
        if (i + 17 <= n && o + 16 <= rowLength) {
            if (h < 16) {
                std::memcpy(out + o, in + i + 1, 16);
                o += std::size_t{h} + 1;
                i += std::size_t{h} + 2;
                continue;
            }
            if (h >= 241) {
                std::memset(out + o, in[i + 1], 16);
                o += 257u - h;
                i += 2;
                continue;
            }
        }
        if (h < 0x80) {
            const std::size_t run = std::min<std::size_t>(std::size_t{h} + 1, rowLength - o);
            const std::size_t from = i + 1;
            if (from + run <= n) {
                std::memcpy(out + o, in + from, run);
            } else {
                const std::size_t have = from < n ? n - from : 0;
                std::memcpy(out + o, in + from, have);
                std::memset(out + o + have, 0xFF, run - have);
                missing += run - have;
            }
            o += run;
            i += run + 1;
        } else if (h == 0x80) {
            i += 1;
        } else {
            const std::size_t run = std::min<std::size_t>(257u - h, rowLength - o);
            const uint8_t value = i + 1 < n ? in[i + 1] : uint8_t{0xFF};
            if (i + 1 >= n)
                missing += run;
            std::memset(out + o, value, run);
            o += run;
            i += 2;
        }
    }
    if (filled)
        *filled = missing;
    if (consumed)
        *consumed = std::min(i, n);
    return o;
}

void EncodePackBits(const uint8_t *row, std::size_t n, std::vector<uint8_t> &out)
{
    auto repeatAt = [&](std::size_t j) {
        std::size_t run = 1;
        while (j + run < n && run < 128 && row[j + run] == row[j])
            ++run;
        return run;
    };
    std::size_t i = 0;
    while (i < n) {
        const std::size_t run = repeatAt(i);
        if (run >= 3) {
            out.push_back(static_cast<uint8_t>(257 - run));
            out.push_back(row[i]);
            i += run;
            continue;
        }
        // A literal run up to the next repeat of three, at most 128 bytes.
        std::size_t j = i;
        while (j < n && j - i < 128 && !(j + 2 < n && row[j] == row[j + 1] && row[j] == row[j + 2]))
            ++j;
        out.push_back(static_cast<uint8_t>(j - i - 1));
        out.insert(out.end(), row + i, row + j);
        i = j;
    }
}

bool DecodeRleRow(CFile64Ex &source, std::size_t rowLength, uint32_t storedLength, uint8_t *out,
                  std::vector<uint8_t> &input, uint64_t *fromSource, bool *exact)
{
    if (fromSource)
        *fromSource = 0;
    if (exact)
        *exact = rowLength == 0;
    if (rowLength == 0)
        return true;
    if (storedLength == 0) {
        // No writer stores a row in no bytes: a table that says so is
        // damaged, and the row is not whole.
        std::memset(out, 0, rowLength);
        if (fromSource)
            *fromSource = rowLength;
        return true;
    }
    // No PackBits row of rowLength bytes needs more than about twice as many
    // stored bytes; a longer stored length is damage, and only that much of
    // it is read before the rest is passed over.
    const uint64_t cap = std::max<uint64_t>(65536, uint64_t{rowLength} * 2 + 16);
    const auto want = static_cast<uint32_t>(std::min<uint64_t>(storedLength, cap));
    if (input.size() < std::size_t{want} + 1)
        input.resize(std::size_t{want} + 1);
    const uint64_t at = source.GetPosition();
    const uint32_t n = source.Read(input.data(), want);
    std::size_t filled = 0, consumed = 0;
    const std::size_t produced = DecodePackBits(input.data(), n, out, rowLength, &filled, &consumed);
    std::memset(out + produced, 0, rowLength - produced); // bytes the runs did not reach
    if (fromSource)
        *fromSource = produced - filled;
    // Some writers end each row with a no-op header (0x80): it belongs to
    // the row as much as its runs do.
    while (consumed < n && input[consumed] == 0x80)
        ++consumed;
    if (exact)
        *exact = want == storedLength && n == storedLength && consumed == n && produced == rowLength && filled == 0;
    if (want == storedLength)
        return n == storedLength;
    source.SeekTo(at + storedLength);
    return n == want && at + storedLength <= source.GetLength();
}

} // namespace zelt
