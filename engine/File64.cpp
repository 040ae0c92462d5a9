#include "File64.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <mutex>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "SysApi.h"

namespace zelt {
namespace {

// POSIX has no share modes. The files this process holds open are noted
// here with the access they were opened with and the sharing they allow, so
// that an output file is never opened over the source being scanned.
struct ShareEntry {
    int fd;
    dev_t dev;
    ino_t ino;
    uint32_t access; // 0 read, 1 write, 2 read-write, 3 none
    uint32_t share;  // normalised share value
};

std::mutex g_shareMutex;
std::vector<ShareEntry> g_shares;

uint32_t ShareValue(uint32_t flags)
{
    uint32_t share = flags & 0x70;
    if (share == 0 || share > shareDenyNone)
        return shareExclusive;
    return share;
}

bool Reads(uint32_t access) { return access == modeRead || access == modeReadWrite; }
bool Writes(uint32_t access) { return access == modeWrite || access == modeReadWrite; }
bool DeniesRead(uint32_t share) { return share == shareExclusive || share == shareDenyRead; }
bool DeniesWrite(uint32_t share) { return share == shareExclusive || share == shareDenyWrite; }

bool Conflicts(const ShareEntry &held, uint32_t access, uint32_t share)
{
    return (Reads(access) && DeniesRead(held.share)) || (Writes(access) && DeniesWrite(held.share)) ||
           (Reads(held.access) && DeniesRead(share)) || (Writes(held.access) && DeniesWrite(share));
}

bool ShareConflict(const struct stat &st, uint32_t access, uint32_t share)
{
    std::lock_guard<std::mutex> lock(g_shareMutex);
    return std::any_of(g_shares.begin(), g_shares.end(), [&](const ShareEntry &e) {
        return e.dev == st.st_dev && e.ino == st.st_ino && Conflicts(e, access, share);
    });
}

void AddShare(const ShareEntry &entry)
{
    std::lock_guard<std::mutex> lock(g_shareMutex);
    g_shares.push_back(entry);
}

void RemoveShare(int fd)
{
    std::lock_guard<std::mutex> lock(g_shareMutex);
    g_shares.erase(std::remove_if(g_shares.begin(), g_shares.end(),
                                  [fd](const ShareEntry &e) { return e.fd == fd; }),
                   g_shares.end());
}

int RetryClose(int fd) { return Sys().close(fd) == 0 ? 0 : errno; }

std::string FileNamePart(const std::string &path)
{
    std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

std::string FullPath(const std::string &path)
{
    std::string whole = path;
    if (whole.empty() || whole[0] != '/') {
        std::vector<char> cwd(4096);
        while (!getcwd(cwd.data(), cwd.size())) {
            if (errno != ERANGE)
                return path;
            cwd.resize(cwd.size() * 2);
        }
        whole = std::string(cwd.data()) + "/" + path;
    }
    std::vector<std::string> parts;
    std::size_t i = 0;
    while (i <= whole.size()) {
        std::size_t j = whole.find('/', i);
        if (j == std::string::npos)
            j = whole.size();
        std::string seg = whole.substr(i, j - i);
        if (seg == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!seg.empty() && seg != ".") {
            parts.push_back(seg);
        }
        i = j + 1;
    }
    std::string out;
    for (const auto &p : parts)
        out += "/" + p;
    if (out.empty())
        out.assign(1, '/');
    if (whole.size() > 1 && whole.back() == '/' && out != "/")
        out += "/";
    return out;
}

CFile64::~CFile64()
{
    if (m_fd >= 0 && m_closeOnDelete)
        CloseHandle();
}

uint64_t CFile64::GetPosition() const
{
    off_t pos = Sys().lseek(m_fd, 0, SEEK_CUR);
    if (pos < 0)
        throw FileError::FromErrno(errno);
    return static_cast<uint64_t>(pos);
}

std::string CFile64::GetFileName() const { return FileNamePart(GetFilePath()); }

std::string CFile64::GetFileTitle() const { return GetFileName(); }

std::string CFile64::GetFilePath() const
{
    CFileStatus status;
    GetStatus(status);
    return status.fullName;
}

void CFile64::SetFilePath(const std::string &path) { m_path = path; }

bool CFile64::Open(const std::string &path, uint32_t flags, FileError *error)
{
    return OpenAt(AT_FDCWD, path, path, flags, error);
}

bool CFile64::OpenAt(int dirfd, const std::string &name, const std::string &path, uint32_t flags,
                     FileError *error)
{
    if (m_fd >= 0)
        Abort();
    m_path = FullPath(path);
    m_flags = flags;
    m_closeOnDelete = false;

    auto fail = [&](int err) {
        if (error)
            *error = FileError::FromErrno(err, path);
        return false;
    };

    const uint32_t access = flags & 0x3;
    const uint32_t share = ShareValue(flags);
    int oflags = O_CLOEXEC;
    switch (access) {
    case modeRead: oflags |= O_RDONLY; break;
    case modeWrite: oflags |= O_WRONLY; break;
    case modeReadWrite: oflags |= O_RDWR; break;
    default: oflags |= O_PATH; break; // opens without read or write access
    }
    if (!(flags & modeNoInherit))
        oflags &= ~O_CLOEXEC;
    if (flags & modeNoFollow)
        oflags |= O_NOFOLLOW;
    // Never blocks in open: a pipe without a writer (or, for writing,
    // without a reader) must not hang the caller. Cleared once open.
    oflags |= O_NONBLOCK;
    if ((flags & modeCreate) && access != 3) {
        oflags |= O_CREAT;
        if (!(flags & modeNoTruncate))
            oflags |= O_TRUNC;
        if (flags & modeCreateNew)
            oflags |= O_EXCL;
    }

    // The share check comes before the open: a truncating open would already
    // have destroyed what the check protects.
    // (A create of a new file only cannot meet a file held open.)
    struct stat before;
    if (!(flags & modeCreateNew) && ::fstatat(dirfd, name.c_str(), &before, 0) == 0 &&
        ShareConflict(before, access, share))
        return fail(ETXTBSY);

    int fd;
    do {
        fd = dirfd == AT_FDCWD ? Sys().open(name.c_str(), oflags, 0666) : Sys().openat(dirfd, name.c_str(), oflags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return fail(errno);

    struct stat st;
    if (Sys().fstat(fd, &st) != 0) {
        int err = errno;
        RetryClose(fd);
        return fail(err);
    }
    if (S_ISDIR(st.st_mode) && access != 3) {
        RetryClose(fd);
        return fail(EISDIR);
    }
    if (access != 3) {
        const int fl = fcntl(fd, F_GETFL);
        if (fl >= 0)
            fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    }
    AddShare({fd, st.st_dev, st.st_ino, access, share});
    m_fd = fd;
    m_closeOnDelete = true;
    return true;
}

std::unique_ptr<CFile64> CFile64::Duplicate() const
{
    auto copy = std::make_unique<CFile64>();
    if (m_fd < 0)
        return copy;
    int cloexec = fcntl(m_fd, F_GETFD);
    int fd = fcntl(m_fd, (cloexec >= 0 && (cloexec & FD_CLOEXEC)) ? F_DUPFD_CLOEXEC : F_DUPFD, 0);
    if (fd < 0)
        throw FileError::FromErrno(errno);
    struct stat st;
    if (Sys().fstat(fd, &st) == 0)
        AddShare({fd, st.st_dev, st.st_ino, m_flags & 0x3, ShareValue(m_flags)});
    copy->m_fd = fd;
    copy->m_closeOnDelete = m_closeOnDelete;
    copy->m_path = m_path;
    copy->m_flags = m_flags;
    return copy;
}

uint64_t CFile64::Seek(int64_t offset, uint32_t origin)
{
    int whence = origin == current ? SEEK_CUR : origin == end ? SEEK_END : SEEK_SET;
    off_t pos = Sys().lseek(m_fd, static_cast<off_t>(offset), whence);
    if (pos < 0)
        throw FileError::FromErrno(errno);
    return static_cast<uint64_t>(pos);
}

void CFile64::SetLength(uint64_t length)
{
    if (length > static_cast<uint64_t>(INT64_MAX))
        throw FileError::FromErrno(EFBIG, m_path);
    Seek(static_cast<int64_t>(length), begin);
    if (Sys().ftruncate(m_fd, static_cast<off_t>(length)) != 0)
        throw ErrorWithPath(errno);
}

uint64_t CFile64::GetLength() const
{
    struct stat st;
    if (Sys().fstat(m_fd, &st) != 0)
        throw FileError::FromErrno(errno);
    if (S_ISBLK(st.st_mode)) {
        uint64_t bytes = 0;
        if (ioctl(m_fd, BLKGETSIZE64, &bytes) != 0)
            throw FileError::FromErrno(errno);
        return bytes;
    }
    return static_cast<uint64_t>(st.st_size);
}

uint32_t CFile64::Read(void *buffer, uint32_t count)
{
    if (count == 0)
        return 0;
    ssize_t n;
    do {
        n = Sys().read(m_fd, buffer, count);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        throw FileError::FromErrno(errno);
    return static_cast<uint32_t>(n);
}

void CFile64::Write(const void *buffer, uint32_t count)
{
    // Linux moves at most about 2 GiB per call; larger counts go in pieces,
    // each of which must be stored whole.
    constexpr uint32_t kPiece = 1u << 30;
    const auto *p = static_cast<const uint8_t *>(buffer);
    while (count > 0) {
        uint32_t piece = std::min(count, kPiece);
        ssize_t n;
        do {
            n = Sys().write(m_fd, p, piece);
        } while (n < 0 && errno == EINTR);
        if (n < 0)
            throw ErrorWithPath(errno);
        if (static_cast<uint32_t>(n) != piece)
            throw FileError(FileErrorCause::diskFull, -1, m_path);
        p += piece;
        count -= piece;
    }
}

static void Lock(int fd, uint64_t offset, uint64_t count, short type, const std::string &path)
{
    struct flock fl;
    std::memset(&fl, 0, sizeof fl);
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(offset);
    fl.l_len = static_cast<off_t>(count);
    if (fcntl(fd, F_OFD_SETLK, &fl) != 0)
        throw FileError::FromErrno(errno == EACCES ? EAGAIN : errno, path);
}

void CFile64::LockRange(uint64_t offset, uint64_t count)
{
    short type = Writes(m_flags & 0x3) ? F_WRLCK : F_RDLCK;
    Lock(m_fd, offset, count, type, m_path);
}

void CFile64::UnlockRange(uint64_t offset, uint64_t count) { Lock(m_fd, offset, count, F_UNLCK, m_path); }

void CFile64::Flush()
{
    if (m_fd < 0)
        return;
    if (Sys().fsync(m_fd) != 0 && errno != EINVAL && errno != EROFS)
        throw ErrorWithPath(errno);
}

int CFile64::CloseHandle()
{
    int err = 0;
    if (m_fd >= 0) {
        RemoveShare(m_fd);
        err = RetryClose(m_fd);
    }
    m_fd = -1;
    m_closeOnDelete = false;
    m_path.clear();
    return err;
}

void CFile64::Close()
{
    if (m_fd < 0)
        return;
    int err = CloseHandle();
    if (err != 0)
        throw FileError::FromErrno(err);
}

void CFile64::Abort() { CloseHandle(); }

bool CFile64::GetStatus(CFileStatus &status) const
{
    status = CFileStatus{};
    std::string full = m_path;
    std::size_t n = std::min(full.size(), sizeof status.fullName - 1);
    std::memcpy(status.fullName, full.data(), n);
    status.fullName[n] = '\0';
    if (m_fd < 0)
        return true;
    struct stat st;
    if (Sys().fstat(m_fd, &st) != 0)
        return false;
    status.mtime = st.st_mtime;
    status.atime = st.st_atime != 0 ? st.st_atime : st.st_mtime;
    status.ctime = st.st_mtime; // POSIX keeps no creation time
    status.size = static_cast<uint32_t>(static_cast<uint64_t>(st.st_size));
    uint8_t attr = 0;
    if (!(st.st_mode & S_IWUSR))
        attr |= 0x01;
    std::string name = FileNamePart(m_path);
    if (!name.empty() && name[0] == '.')
        attr |= 0x02;
    if (S_ISDIR(st.st_mode))
        attr |= 0x10;
    status.attribute = attr;
    return true;
}

} // namespace zelt
