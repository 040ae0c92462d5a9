#include "Errors.h"

#include <cerrno>
#include <cstring>

namespace zelt {

const char *CauseText(FileErrorCause cause)
{
    switch (cause) {
    case FileErrorCause::none: return "No error occurred.";
    case FileErrorCause::generic: return "An unknown error occurred while accessing %1.";
    case FileErrorCause::fileNotFound: return "%1 was not found.";
    case FileErrorCause::badPath: return "%1 contains an invalid path.";
    case FileErrorCause::tooManyOpenFiles:
        return "%1 could not be opened because there are too many open files.";
    case FileErrorCause::accessDenied: return "Access to %1 was denied.";
    case FileErrorCause::invalidFile: return "An invalid file handle was associated with %1.";
    case FileErrorCause::removeCurrentDir:
        return "%1 could not be removed because it is the current directory.";
    case FileErrorCause::directoryFull:
        return "%1 could not be created because the directory is full.";
    case FileErrorCause::badSeek: return "Seek failed on %1";
    case FileErrorCause::hardIO: return "A hardware I/O error was reported while accessing %1.";
    case FileErrorCause::sharingViolation: return "A sharing violation occurred while accessing %1.";
    case FileErrorCause::lockViolation: return "A locking violation occurred while accessing %1.";
    case FileErrorCause::diskFull: return "Disk full while accessing %1.";
    case FileErrorCause::endOfFile: return "An attempt was made to access %1 past its end.";
    case FileErrorCause::notAFile: return "%1 is neither a regular file nor a block device.";
    }
    return "An unknown error occurred while accessing %1.";
}

FileErrorCause CauseFromErrno(int err)
{
    switch (err) {
    case 0: return FileErrorCause::none;
    case ENOENT: return FileErrorCause::fileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
    case ENXIO:
    case ENODEV:
        return FileErrorCause::badPath;
    case EMFILE:
    case ENFILE:
        return FileErrorCause::tooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
        return FileErrorCause::accessDenied;
    case EBADF: return FileErrorCause::invalidFile;
    case EMLINK: return FileErrorCause::directoryFull;
    case ESPIPE:
    case EOVERFLOW:
        return FileErrorCause::badSeek;
    case EIO: return FileErrorCause::hardIO;
    case ETXTBSY:
    case EBUSY:
        return FileErrorCause::sharingViolation;
    case EAGAIN:
    case EDEADLK:
    case ENOLCK:
        return FileErrorCause::lockViolation;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return FileErrorCause::diskFull;
    default: return FileErrorCause::generic;
    }
}

std::string EngineError::Description() const
{
    // Descriptions are short apart from the file name they may hold.
    std::string out(4096 + 1024, '\0');
    Describe(out.data(), out.size());
    out.resize(std::strlen(out.c_str()));
    return out;
}

void CopyCut(const std::string &text, char *buf, std::size_t capacity)
{
    if (capacity == 0)
        return;
    std::size_t n = text.size() < capacity - 1 ? text.size() : capacity - 1;
    std::memcpy(buf, text.data(), n);
    buf[n] = '\0';
}

std::string ReplaceFirstPlaceholder(const std::string &pattern, const std::string &insert)
{
    std::size_t at = pattern.find("%1");
    if (at == std::string::npos)
        return pattern;
    std::string out;
    out.reserve(pattern.size() + insert.size());
    out.append(pattern, 0, at).append(insert).append(pattern, at + 2, std::string::npos);
    return out;
}

FileError FileError::FromErrno(int err, std::string fileName)
{
    return FileError(CauseFromErrno(err), err, std::move(fileName));
}

void FileError::Describe(char *buf, std::size_t capacity) const
{
    const std::string name = m_fileName.empty() ? std::string("an unnamed file") : m_fileName;
    CopyCut(ReplaceFirstPlaceholder(CauseText(m_cause), name), buf, capacity);
}

void OutOfMemoryError::Describe(char *buf, std::size_t capacity) const
{
    CopyCut("Out of memory.", buf, capacity);
}

void NotSupportedError::Describe(char *buf, std::size_t capacity) const
{
    CopyCut("An unsupported operation was attempted.", buf, capacity);
}

} // namespace zelt
