#include "File64Ex.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "SysApi.h"

namespace zelt {

uint32_t DeviceSectorSize(int fd)
{
    struct stat st;
    if (Sys().fstat(fd, &st) != 0)
        return 0;
    // A disk opened itself names its own queue; a file, its disk's.
    const dev_t dev = S_ISBLK(st.st_mode) ? st.st_rdev : st.st_dev;
    unsigned maj = major(dev), min = minor(dev);
    // A partition's directory has no queue of its own; its disk's has.
    const char *forms[] = {"/sys/dev/block/%u:%u/queue/logical_block_size",
                           "/sys/dev/block/%u:%u/../queue/logical_block_size"};
    for (const char *form : forms) {
        char path[128];
        std::snprintf(path, sizeof path, form, maj, min);
        FILE *f = std::fopen(path, "re");
        if (!f)
            continue;
        unsigned long size = 0;
        int got = std::fscanf(f, "%lu", &size);
        std::fclose(f);
        if (got == 1 && size > 0 && size <= (1u << 20))
            return static_cast<uint32_t>(size);
    }
    return 0;
}

CFile64Ex::CFile64Ex(uint32_t blockSize) : m_blockSize(blockSize == 0 ? 4096 : blockSize)
{
    uint64_t total = uint64_t{m_blockSize} * 2;
    m_storage.reset(new (std::nothrow) uint8_t[total]);
    if (!m_storage)
        throw OutOfMemoryError();
    m_a.data = m_storage.get();
    m_b.data = m_storage.get() + m_blockSize;
    m_a.capacity = m_b.capacity = m_blockSize;
}

CFile64Ex::~CFile64Ex() = default;

bool CFile64Ex::Open(const std::string &path, uint32_t flags, FileError *error)
{
    m_position = 0;
    if (!CFile64::Open(path, flags, error))
        return false;
    // Only files and disks have an end to scan to: a pipe or a character
    // device would hold the scan for ever (or give it nothing).
    struct stat st;
    if (Sys().fstat(m_fd, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
        CFile64::Abort();
        if (error)
            *error = FileError(FileErrorCause::notAFile, -1, path);
        return false;
    }
    uint32_t sector = DeviceSectorSize(m_fd);
    m_sectorSize = sector == 0 ? 512 : sector;
    return true;
}

uint64_t CFile64Ex::SeekSlow(int64_t offset, uint32_t origin)
{
    if (origin == current)
        return m_position + static_cast<uint64_t>(offset);
    // origin end: the length as the handle knows it
    off_t len = Sys().lseek(m_fd, 0, SEEK_END);
    if (len < 0)
        throw FileError::FromErrno(errno);
    return static_cast<uint64_t>(len) + static_cast<uint64_t>(offset);
}

void CFile64Ex::SetLength(uint64_t length)
{
    CFile64::SetLength(length);
    m_position = 0;
}

void CFile64Ex::Write(const void *buffer, uint32_t count)
{
    if (count == 0)
        return;
    if (m_position > static_cast<uint64_t>(INT64_MAX) ||
        Sys().lseek(m_fd, static_cast<off_t>(m_position), SEEK_SET) < 0)
        return;
    try {
        CFile64::Write(buffer, count);
    } catch (...) {
        off_t pos = Sys().lseek(m_fd, 0, SEEK_CUR);
        if (pos >= 0)
            m_position = static_cast<uint64_t>(pos);
        throw;
    }
    off_t pos = Sys().lseek(m_fd, 0, SEEK_CUR);
    if (pos >= 0)
        m_position = static_cast<uint64_t>(pos);
}

void CFile64Ex::Flush()
{
    if (m_fd < 0)
        return;
    if (m_position <= static_cast<uint64_t>(INT64_MAX))
        Sys().lseek(m_fd, static_cast<off_t>(m_position), SEEK_SET);
    CFile64::Flush();
}

std::unique_ptr<CFile64> CFile64Ex::Duplicate() const { throw NotSupportedError(); }
void CFile64Ex::LockRange(uint64_t, uint64_t) { throw NotSupportedError(); }
void CFile64Ex::UnlockRange(uint64_t, uint64_t) { throw NotSupportedError(); }
void CFile64Ex::Abort() { CFile64::Abort(); }
void CFile64Ex::Close() { CFile64::Close(); }

// Reads [pos, pos + count) as a head up to the next sector boundary, whole
// sectors and a tail, one request each. A request that fails is delivered as
// zeros (up to the file's length, never past it) and reading goes on behind
// it; a request that delivers nothing is the end of the file.
uint32_t CFile64Ex::ReadSectors(uint64_t pos, uint8_t *buffer, uint32_t count)
{
    const uint32_t sector = m_sectorSize;
    uint32_t head = static_cast<uint32_t>(pos % sector);
    head = head == 0 ? 0 : std::min(sector - head, count);
    uint32_t done = 0;
    int64_t fileLength = -1; // looked up on the first failure only

    while (done < count) {
        uint32_t want = done == 0 && head != 0 ? head : std::min(sector, count - done);
        uint64_t at = pos + done;
        if (at > static_cast<uint64_t>(INT64_MAX))
            break;
        ssize_t n;
        do {
            n = Sys().pread(m_fd, buffer + done, want, static_cast<off_t>(at));
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            if (fileLength < 0) {
                try {
                    fileLength = static_cast<int64_t>(GetLength());
                } catch (const FileError &) {
                    fileLength = 0;
                }
            }
            uint64_t len = static_cast<uint64_t>(fileLength);
            uint32_t fill = at >= len ? 0 : static_cast<uint32_t>(std::min<uint64_t>(want, len - at));
            std::memset(buffer + done, 0, fill);
            done += fill;
            if (fill < want)
                break;
            continue;
        }
        if (n == 0)
            break;
        done += static_cast<uint32_t>(n);
    }
    return done;
}

uint32_t CFile64Ex::ReadRaw(uint8_t *buffer, uint32_t count)
{
    if (count == 0 || m_fd < 0 || m_position > static_cast<uint64_t>(INT64_MAX))
        return 0;
    // A healthy device is read in one request; only a request that fails or
    // comes back short is read again sector by sector, so that an unreadable
    // sector costs just its own bytes.
    ssize_t n;
    do {
        n = Sys().pread(m_fd, buffer, count, static_cast<off_t>(m_position));
    } while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(count) || n == 0)
        return static_cast<uint32_t>(n);
    uint32_t got = n > 0 ? static_cast<uint32_t>(n) : 0;
    return got + ReadSectors(m_position + got, buffer + got, count - got);
}

uint64_t CFile64Ex::ReadLarge(uint8_t *buffer, uint64_t count)
{
    uint64_t done = 0;
    while (done < count) {
        const auto want = static_cast<uint32_t>(std::min<uint64_t>(count - done, 1u << 30));
        const uint32_t got = Read(buffer + done, want);
        done += got;
        if (got < want)
            break;
    }
    return done;
}

uint32_t CFile64Ex::FillBlock()
{
    ReadBlock *chosen;
    if (m_a.valid == 0 || !m_a.data)
        chosen = &m_a;
    else if (m_b.valid == 0 || !m_b.data)
        chosen = &m_b;
    else if (m_a.offset >= m_position || m_b.offset >= m_position)
        chosen = m_b.offset >= m_position ? &m_b : &m_a;
    else
        chosen = m_a.offset >= m_b.offset ? &m_b : &m_a;

    chosen->offset = m_position;
    chosen->valid = 0;
    chosen->valid = ReadRaw(chosen->data, chosen->capacity);
    return chosen->valid;
}

uint32_t CFile64Ex::ReadSlow(uint8_t *buffer, uint32_t count)
{
    if (count == 0)
        return 0;
    uint32_t remaining = count;
    while (remaining > 0) {
        ReadBlock *holder = nullptr;
        if (m_a.Holds(m_position, 1))
            holder = &m_a;
        else if (m_b.Holds(m_position, 1))
            holder = &m_b;
        if (holder) {
            uint64_t rel = m_position - holder->offset;
            uint32_t n = std::min<uint32_t>(remaining, static_cast<uint32_t>(holder->valid - rel));
            std::memcpy(buffer, holder->data + rel, n);
            m_position += n;
            buffer += n;
            remaining -= n;
        } else if (remaining <= m_blockSize) {
            if (FillBlock() == 0)
                break;
        } else {
            uint32_t direct = remaining - remaining % m_blockSize;
            uint32_t got = ReadRaw(buffer, direct);
            m_position += got;
            buffer += got;
            remaining -= got;
            if (got < direct)
                break;
        }
    }
    return count - remaining;
}

} // namespace zelt
