// Big-endian loads and stores, and checked arithmetic for lengths read from
// damaged files.
//
// Positions, lengths and ends are uint64_t. A position is always below 2^63,
// so a position plus a widened 32-bit length cannot wrap; products of sizes
// read from a file always go through CheckedMul.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>

namespace zelt {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the interface records are little-endian; port the record copies first");

inline uint16_t LoadBE16(const uint8_t *p)
{
    uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return __builtin_bswap16(v);
}

inline uint32_t LoadBE32(const uint8_t *p)
{
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return __builtin_bswap32(v);
}

inline uint64_t LoadBE64(const uint8_t *p)
{
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return __builtin_bswap64(v);
}

/// A big-endian number of `width` bytes (1 to 8).
inline uint64_t LoadBE(const uint8_t *p, uint32_t width)
{
    uint64_t v = 0;
    for (uint32_t i = 0; i < width; ++i)
        v = v << 8 | p[i];
    return v;
}

inline void StoreBE16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

inline void StoreBE32(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

inline void StoreBE64(uint8_t *p, uint64_t v)
{
    StoreBE32(p, static_cast<uint32_t>(v >> 32));
    StoreBE32(p + 4, static_cast<uint32_t>(v));
}

/// Stores the low `width` bytes (1 to 8) of v, most significant first.
inline void StoreBE(uint8_t *p, uint64_t v, uint32_t width)
{
    for (uint32_t i = width; i-- > 0; v >>= 8)
        p[i] = static_cast<uint8_t>(v);
}

inline std::optional<uint64_t> CheckedMul(uint64_t a, uint64_t b)
{
    uint64_t r;
    if (__builtin_mul_overflow(a, b, &r))
        return std::nullopt;
    return r;
}

inline std::optional<uint64_t> CheckedMul(uint64_t a, uint64_t b, uint64_t c)
{
    auto ab = CheckedMul(a, b);
    return ab ? CheckedMul(*ab, c) : std::nullopt;
}

inline std::optional<uint64_t> CheckedAdd(uint64_t a, uint64_t b)
{
    uint64_t r;
    if (__builtin_add_overflow(a, b, &r))
        return std::nullopt;
    return r;
}

} // namespace zelt
