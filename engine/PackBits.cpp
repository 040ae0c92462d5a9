#include "PackBits.h"

#include <algorithm>
#include <cstring>

#include "File64Ex.h"

namespace zelt {

void DecodePackBits(const uint8_t *in, std::size_t n, uint8_t *out, std::size_t rowLength)
{
    std::size_t i = 0, o = 0;
    while (i < n && o < rowLength) {
        const uint8_t h = in[i];
        if (h < 0x80) {
            const std::size_t run = std::min<std::size_t>(std::size_t{h} + 1, rowLength - o);
            const std::size_t from = i + 1;
            const std::size_t have = from < n ? std::min(run, n - from) : 0;
            std::memcpy(out + o, in + from, have);
            std::memset(out + o + have, 0xFF, run - have);
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
}

bool DecodeRleRow(CFile64Ex &source, std::size_t rowLength, uint16_t storedLength, uint8_t *out,
                  std::vector<uint8_t> &input)
{
    if (rowLength == 0)
        return true;
    std::memset(out, 0, rowLength);
    if (rowLength < 8) {
        const auto want = static_cast<uint32_t>(rowLength);
        return source.Read(out, want) == want;
    }
    if (input.size() < std::size_t{storedLength} + 1)
        input.resize(std::size_t{storedLength} + 1);
    std::memset(input.data(), 0, storedLength);
    const uint32_t n = source.Read(input.data(), storedLength);
    DecodePackBits(input.data(), n, out, rowLength);
    return n == storedLength;
}

} // namespace zelt
