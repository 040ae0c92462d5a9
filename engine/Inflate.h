// ZIP channel data (compression 2), and ZIP with prediction (compression 3):
// a zlib stream inflated from the source, and the prediction of each row
// undone afterwards.
#pragma once

#include <cstdint>
#include <memory>

namespace zelt {

class CFile64Ex;

/// One zlib stream read from the source. The input is read through the
/// source's buffered reader, from its position at Start on.
class Inflater {
public:
    Inflater();
    ~Inflater();
    Inflater(const Inflater &) = delete;
    Inflater &operator=(const Inflater &) = delete;

    /// Starts a new stream at the source's position; at most limit bytes of
    /// input are read (the rest of the source for no limit). Raises
    /// OutOfMemoryError when zlib cannot have its state.
    void Start(CFile64Ex &source, uint64_t limit = ~uint64_t{0});

    /// Inflates up to size bytes into out and gives the number produced:
    /// fewer only when the stream has ended, is corrupt, or its input ran
    /// out. Every byte produced before a break is kept.
    uint64_t Fill(uint8_t *out, uint64_t size);

    /// True once the stream can give nothing more.
    bool Done() const { return m_done; }
    /// True when the stream came to its own end (not a break or a cut).
    bool Ended() const { return m_ended; }
    /// The input bytes the stream took so far.
    uint64_t Consumed() const { return m_consumed; }

private:
    struct State;
    std::unique_ptr<State> m_state;
    CFile64Ex *m_source = nullptr;
    uint64_t m_inputLeft = 0;
    uint64_t m_consumed = 0;
    bool m_done = true;
    bool m_ended = false;
};

/// Undoes the prediction of compression 3 over a plane of rows of width
/// samples at depth, of which the first `produced` bytes were inflated:
/// byte deltas at depth 8 (and 1), big-endian 16-bit deltas at depth 16,
/// at depth 32 byte deltas over each row of 4 x width bytes and then the
/// row's four byte planes put back together into big-endian samples. Gives
/// the bytes kept: every inflated byte at depth 8, whole samples at depth 16,
/// whole rows at depth 32. rows x rowBytes is the plane's size.
uint64_t UndoPrediction(uint8_t *plane, uint64_t produced, uint32_t width, uint64_t rowBytes, uint16_t depth);

} // namespace zelt
