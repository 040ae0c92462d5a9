// CFile64Ex: the cached, zero-filling reader of the damaged source.
//
// It keeps the logical position itself and serves reads from two cached
// blocks. The device is read sector-aligned; a sector that cannot be read is
// delivered as zero bytes instead of failing, so the scan goes on over it.
// Reads inside a cached block are inline: the scan reads a few bytes at
// every byte position of the source.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>

#include "File64.h"

namespace zelt {

struct ReadBlock {
    uint8_t *data = nullptr;
    uint32_t capacity = 0;
    uint64_t offset = 0;
    uint32_t valid = 0; ///< 0: holds nothing

    /// True when the block holds all of [pos, pos + count).
    bool Holds(uint64_t pos, uint32_t count) const
    {
        // pos < offset wraps to a huge difference and fails the test.
        uint64_t rel = pos - offset;
        return rel < valid && count <= valid - rel;
    }
};

class CFile64Ex final : public CFile64 {
public:
    /// A block size of 0 gives 4096. Raises OutOfMemoryError when the
    /// storage cannot be had.
    explicit CFile64Ex(uint32_t blockSize = 4096);
    ~CFile64Ex() override;

    bool Open(const std::string &path, uint32_t flags, FileError *error = nullptr) override;
    uint64_t GetPosition() const override { return m_position; }
    uint64_t Seek(int64_t offset, uint32_t origin) override
    {
        if (origin == begin)
            m_position = static_cast<uint64_t>(offset);
        else
            m_position = SeekSlow(offset, origin);
        return m_position;
    }
    void SetLength(uint64_t length) override;

    /// Delivers up to count bytes from the position and advances by what it
    /// delivered. Never raises; fewer bytes than asked only at the end.
    uint32_t Read(void *buffer, uint32_t count) override
    {
        if (m_a.Holds(m_position, count)) {
            std::memcpy(buffer, m_a.data + (m_position - m_a.offset), count);
            m_position += count;
            return count;
        }
        if (m_b.Holds(m_position, count)) {
            std::memcpy(buffer, m_b.data + (m_position - m_b.offset), count);
            m_position += count;
            return count;
        }
        return ReadSlow(static_cast<uint8_t *>(buffer), count);
    }

    void Write(const void *buffer, uint32_t count) override;
    std::unique_ptr<CFile64> Duplicate() const override;
    void LockRange(uint64_t offset, uint64_t count) override;
    void UnlockRange(uint64_t offset, uint64_t count) override;
    void Abort() override;
    void Flush() override;
    void Close() override;

    /// Sets the position from the start (the scan's common seek).
    void SeekTo(uint64_t position) { m_position = position; }

    /// Reads a count of any size (in pieces a single Read takes); gives the
    /// number of bytes delivered, fewer only at the end of the file.
    uint64_t ReadLarge(uint8_t *buffer, uint64_t count);

    /// Reads exactly count bytes, or answers false (the position is then
    /// wherever the short read left it).
    bool ReadExact(void *buffer, uint32_t count) { return Read(buffer, count) == count; }

    uint32_t SectorSize() const { return m_sectorSize; }
    uint32_t BlockSize() const { return m_blockSize; }
    const ReadBlock &BlockA() const { return m_a; }
    const ReadBlock &BlockB() const { return m_b; }

    /// Reads count bytes from the position straight from the device,
    /// sector-aligned, without touching the blocks; see File64Ex.cpp.
    uint32_t ReadRaw(uint8_t *buffer, uint32_t count);

private:
    uint32_t ReadSlow(uint8_t *buffer, uint32_t count);
    uint32_t FillBlock();
    uint64_t SeekSlow(int64_t offset, uint32_t origin);
    uint32_t ReadSectors(uint64_t pos, uint8_t *buffer, uint32_t count);

    uint64_t m_position = 0;
    uint32_t m_blockSize;
    std::unique_ptr<uint8_t[]> m_storage;
    ReadBlock m_a, m_b;
    uint32_t m_sectorSize = 512;
};

/// The logical block size of the block device that holds the open file
/// (from sysfs), or 0 when it cannot be had.
uint32_t DeviceSectorSize(int fd);

} // namespace zelt
