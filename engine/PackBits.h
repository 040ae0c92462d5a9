// PackBits rows, as Photoshop stores run-length compressed channel data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zelt {

class CFile64Ex;

/// Expands the first n bytes of in into out[0, rowLength). A literal run
/// takes its bytes from the input, 0xFF where the input has ended; a repeat
/// run repeats the next byte, 0xFF where the input has ended. Runs are cut
/// at the row's end. Gives the number of bytes the runs reached, from the
/// start; bytes beyond them are left as they are.
std::size_t DecodePackBits(const uint8_t *in, std::size_t n, uint8_t *out, std::size_t rowLength);

/// Reads and expands one row from the source into out[0, rowLength); bytes
/// the runs do not reach are 0. Rows under 8 bytes are stored raw and read as they are,
/// whatever storedLength says. True when all of the row's stored bytes could
/// be read. `input` is scratch space, reused between rows.
bool DecodeRleRow(CFile64Ex &source, std::size_t rowLength, uint16_t storedLength, uint8_t *out,
                  std::vector<uint8_t> &input);

} // namespace zelt
