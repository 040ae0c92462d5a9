#include "PackBits.h"

#include <algorithm>
#include <cstring>

#include "File64Ex.h"

namespace zelt {

std::size_t DecodePackBits(const uint8_t *in, std::size_t n, uint8_t *out, std::size_t rowLength)
{
    std::size_t i = 0, o = 0;
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
            }
            o += run;
            i += run + 1;
        } else if (h == 0x80) {
            i += 1;
        } else {
            const std::size_t run = std::min<std::size_t>(257u - h, rowLength - o);
            const uint8_t value = i + 1 < n ? in[i + 1] : uint8_t{0xFF};
            std::memset(out + o, value, run);
            o += run;
            i += 2;
        }
    }
    return o;
}

bool DecodeRleRow(CFile64Ex &source, std::size_t rowLength, uint16_t storedLength, uint8_t *out,
                  std::vector<uint8_t> &input)
{
    if (rowLength == 0)
        return true;
    if (rowLength < 8) {
        const auto want = static_cast<uint32_t>(rowLength);
        const uint32_t got = source.Read(out, want);
        std::memset(out + got, 0, rowLength - got);
        return got == want;
    }
    if (input.size() < std::size_t{storedLength} + 1)
        input.resize(std::size_t{storedLength} + 1);
    const uint32_t n = source.Read(input.data(), storedLength);
    const std::size_t produced = DecodePackBits(input.data(), n, out, rowLength);
    std::memset(out + produced, 0, rowLength - produced); // bytes the runs did not reach
    return n == storedLength;
}

} // namespace zelt
