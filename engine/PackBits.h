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
/// start; bytes beyond them are left as they are. filled (when given) gets
/// how many of the bytes reached are 0xFF for input that was missing,
/// consumed (when given) how many input bytes the runs took.
std::size_t DecodePackBits(const uint8_t *in, std::size_t n, uint8_t *out, std::size_t rowLength,
                           std::size_t *filled = nullptr, std::size_t *consumed = nullptr);

/// Appends the PackBits of one row to out, as Photoshop packs rows: runs of
/// three or more equal bytes as repeats, everything else as literals, no
/// run longer than 128 bytes.
void EncodePackBits(const uint8_t *row, std::size_t n, std::vector<uint8_t> &out);

/// Reads and expands one row from the source into out[0, rowLength); bytes
/// the runs do not reach are 0, and a stored length of 0 gives a row of
/// zeros. True when all of the row's stored bytes could be read. fromSource
/// (when given) gets the number of row bytes that came from the source;
/// exact (when given) whether the row is whole: its stored bytes all there
/// and decoding, every one of them, to exactly rowLength bytes.
/// `input` is scratch space, reused between rows.
bool DecodeRleRow(CFile64Ex &source, std::size_t rowLength, uint32_t storedLength, uint8_t *out,
                  std::vector<uint8_t> &input, uint64_t *fromSource = nullptr, bool *exact = nullptr);

} // namespace zelt
