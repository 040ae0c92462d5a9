// CFile64: a thin file object over a POSIX file descriptor with 64-bit
// positions and lengths. Output files are created with it; the damaged source
// is read through CFile64Ex (File64Ex.h).
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

#include "Errors.h"

namespace zelt {

/// Open flags: one access value, one share value, plus single bits.
enum OpenFlags : uint32_t {
    modeRead = 0x0000,
    modeWrite = 0x0001,
    modeReadWrite = 0x0002,
    shareCompat = 0x0000,
    shareExclusive = 0x0010,
    shareDenyWrite = 0x0020,
    shareDenyRead = 0x0030,
    shareDenyNone = 0x0040,
    modeNoInherit = 0x0080,
    modeCreate = 0x1000,
    modeNoTruncate = 0x2000,
    typeBinary = 0x8000,
    /// The last part of the path must not be a symbolic link (the open fails
    /// with ELOOP where it is).
    modeNoFollow = 0x100000,
    /// With modeCreate: only a new file is created; an existing name, a
    /// link included, fails with EEXIST and is left as it is.
    modeCreateNew = 0x200000,
};

/// Seek origins.
enum SeekOrigin : uint32_t { begin = 0, current = 1, end = 2 };

struct CFileStatus {
    std::time_t ctime = 0; ///< creation (the last-write time where unknown)
    std::time_t mtime = 0; ///< last write
    std::time_t atime = 0; ///< last access (the last-write time where 0)
    uint32_t size = 0;     ///< low 32 bits of the length
    uint8_t attribute = 0; ///< 0x01 read-only, 0x02 hidden, 0x10 directory
    char fullName[260] = {};
};

/// Makes a path absolute against the current directory and removes "." and
/// ".." segments and doubled separators, without touching the file system.
std::string FullPath(const std::string &path);

class CFile64 {
public:
    CFile64() = default;
    CFile64(const CFile64 &) = delete;
    CFile64 &operator=(const CFile64 &) = delete;
    virtual ~CFile64();

    virtual uint64_t GetPosition() const;
    virtual std::string GetFileName() const;
    virtual std::string GetFileTitle() const;
    virtual std::string GetFilePath() const;
    virtual void SetFilePath(const std::string &path);
    /// Opens path with flags. Never raises: on failure returns false and fills
    /// *error (when given) with the errno, its cause and the path passed in.
    /// A write open of a file that this process holds open with a share
    /// value that denies writing (the source being scanned, also reached
    /// through a link) fails as a sharing violation, and the file is left as
    /// it was.
    virtual bool Open(const std::string &path, uint32_t flags, FileError *error = nullptr);
    /// Opens name relative to the open directory dirfd (AT_FDCWD: the
    /// current one), whatever the directory's path names by now; path is
    /// the name the file is known by (for messages).
    bool OpenAt(int dirfd, const std::string &name, const std::string &path, uint32_t flags,
                FileError *error = nullptr);
    virtual std::unique_ptr<CFile64> Duplicate() const;
    virtual uint64_t Seek(int64_t offset, uint32_t origin);
    virtual void SetLength(uint64_t length);
    /// The length of a regular file, or of a block device the size of the
    /// device.
    virtual uint64_t GetLength() const;
    virtual uint32_t Read(void *buffer, uint32_t count);
    /// Writes all of buffer; a short write raises diskFull with code -1.
    virtual void Write(const void *buffer, uint32_t count);
    virtual void LockRange(uint64_t offset, uint64_t count);
    virtual void UnlockRange(uint64_t offset, uint64_t count);
    virtual void Abort();
    virtual void Flush();
    virtual void Close();
    virtual uint32_t GetBufferPtr() const { return 0; }

    bool GetStatus(CFileStatus &status) const;
    bool IsOpen() const { return m_fd >= 0; }
    int Handle() const { return m_fd; }

protected:
    /// Closes without raising; returns the errno of a failed close, else 0.
    int CloseHandle();
    FileError ErrorWithPath(int err) const { return FileError::FromErrno(err, m_path); }

    int m_fd = -1;
    bool m_closeOnDelete = false;
    std::string m_path;
    uint32_t m_flags = 0;
};

} // namespace zelt
