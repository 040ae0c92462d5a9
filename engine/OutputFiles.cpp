#include "OutputFiles.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Messages.h"
#include "PsdRecoverer.h"
#include "RecoveryJob.h"

namespace zelt {
namespace {

constexpr uint32_t kOutputFlags =
    modeWrite | shareExclusive | modeCreate | modeCreateNew | modeNoFollow | typeBinary;
constexpr std::size_t kBufferSize = 256u << 10; // big planes go past it, straight to the file
constexpr uint64_t kPiece = 16u << 20; // the most written between two abort polls

} // namespace

OutputDirectory OpenOutputDirectory(const std::string &dir, int &fd)
{
    fd = -1;
    std::string path = dir.empty() ? "." : dir;
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    const uid_t me = geteuid();
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return OutputDirectory::missing;
    // A link is followed only when it is the caller's own or root's: another
    // user's link could be pointed anywhere.
    const bool link = S_ISLNK(st.st_mode);
    if (link && st.st_uid != me && st.st_uid != 0)
        return OutputDirectory::unsafe;
    fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (link ? 0 : O_NOFOLLOW));
    if (fd < 0)
        return OutputDirectory::missing;
    // What was opened is judged, not what the name points to.
    if (::fstat(fd, &st) != 0 || st.st_uid == me)
        return OutputDirectory::opened;
    if (me == 0 || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        ::close(fd);
        fd = -1;
        return OutputDirectory::unsafe;
    }
    return OutputDirectory::opened;
}

OutputNamer::~OutputNamer()
{
    if (m_dirfd >= 0)
        ::close(m_dirfd);
}

void OutputNamer::UseDirectory(int fd, const std::string &prefix)
{
    if (m_dirfd >= 0)
        ::close(m_dirfd);
    m_dirfd = fd;
    m_prefix = prefix;
}

int OutputNamer::DirectoryOf(const std::string &path, std::string &name) const
{
    if (m_dirfd >= 0 && path.compare(0, m_prefix.size(), m_prefix) == 0 &&
        path.find('/', m_prefix.size()) == std::string::npos && path.size() > m_prefix.size()) {
        name = path.substr(m_prefix.size());
        return m_dirfd;
    }
    name = path;
    return AT_FDCWD;
}

void OutputNamer::ProtectPath(const std::string &path, bool isSource)
{
    struct stat st;
    if (::stat(path.c_str(), &st) == 0)
        Protect({st.st_dev, st.st_ino}, isSource);
}

// Why an existing name was passed over.
OutputNamer::Passed OutputNamer::Check(const std::string &path) const
{
    std::string name;
    const int dir = DirectoryOf(path, name);
    struct stat st;
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return Passed::none;
    if (!S_ISREG(st.st_mode))
        return Passed::link; // a link, a folder, a pipe or a device
    const FileIdentity id{st.st_dev, st.st_ino};
    for (const Protected &p : m_protected)
        if (p.id == id)
            return p.isSource ? Passed::source : Passed::other;
    return Passed::exists;
}

std::size_t OutputNamer::NameLimit(const std::string &path)
{
    std::string name;
    const int dir = DirectoryOf(path, name);
    if (dir >= 0) {
        if (m_nameLimit == 0) {
            const long limit = ::fpathconf(dir, _PC_NAME_MAX);
            m_nameLimit = limit > 0 ? static_cast<std::size_t>(limit) : 255;
        }
        return m_nameLimit;
    }
    const std::size_t slash = path.find_last_of('/');
    const std::string parent = slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
    const long limit = ::pathconf(parent.c_str(), _PC_NAME_MAX);
    return limit > 0 ? static_cast<std::size_t>(limit) : 255;
}

std::string OutputNamer::Shorten(const std::string &path, std::size_t keep)
{
    const std::size_t slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string name = path.substr(dir.size());
    const std::size_t limit = NameLimit(path);
    if (name.size() <= limit)
        return path;
    const std::string ext = PathExtension(name);
    const std::string base = name.substr(0, name.size() - ext.size());
    keep = std::min(keep, base.size());
    if (keep + ext.size() >= limit)
        return path; // nothing of the base can go; creating it reports the error
    std::size_t stem = std::min(base.size() - keep, limit - keep - ext.size());
    while (stem > 0 && (static_cast<uint8_t>(base[stem]) & 0xC0) == 0x80)
        --stem; // never cut inside a UTF-8 character
    return dir + base.substr(0, stem) + base.substr(base.size() - keep) + ext;
}

bool OutputNamer::Create(CFile64 &file, std::string &path, std::size_t keep)
{
    const std::string wanted = path;
    const std::string first = Shorten(path, keep);
    std::vector<std::pair<std::string, Passed>> passed;
    unsigned long &next = m_nextCounter.try_emplace(wanted, 1).first->second;
    for (unsigned long k = next;; ++k) {
        std::string candidate = first;
        if (k > 1) {
            const std::string counter = std::string(1, '_').append(std::to_string(k));
            candidate = Shorten(PathWithoutExtension(wanted) + counter + PathExtension(wanted), keep + counter.size());
        }
        if (m_written.count(candidate) != 0)
            continue;
        // Only a new file is made: whatever has the name (a file, a link, a
        // folder, a pipe) stays as it is, and the next name is tried.
        FileError error;
        std::string name;
        const int dir = DirectoryOf(candidate, name);
        if (!file.OpenAt(dir, name, candidate, kOutputFlags, &error)) {
            if (error.OsError() == EEXIST || error.OsError() == ELOOP || error.OsError() == EISDIR) {
                const Passed why = Check(candidate);
                passed.emplace_back(candidate, why == Passed::none ? Passed::link : why);
                continue;
            }
            m_job.Notify(MSG_ERROR, FormatErrorMessage(kMsgCannotCreateFile, error));
            return false;
        }
        path = candidate;
        next = k + 1;
        break;
    }
    if (first != wanted)
        m_job.NotifyFormatted(MSG_STATUS, kMsgNameTooLong, wanted.c_str(), path.c_str());
    for (const auto &[name, why] : passed) {
        const int id = why == Passed::source   ? kMsgOutputIsSource
                       : why == Passed::other  ? kMsgOutputIsOtherSource
                       : why == Passed::exists ? kMsgOutputExists
                                               : kMsgOutputIsLink;
        m_job.NotifyFormatted(MSG_STATUS, id, name.c_str(), path.c_str());
    }
    m_written.insert(path);
    return true;
}

void OutputNamer::Remove(const std::string &path) const
{
    std::string name;
    const int dir = DirectoryOf(path, name);
    ::unlinkat(dir, name.c_str(), 0);
}

OutputStream::OutputStream(CFile64 &file, RecoveryJob &job) : m_file(file), m_job(job), m_buffer(kBufferSize) {}

OutputStream::~OutputStream() = default;

void OutputStream::Flush()
{
    if (m_used > 0) {
        m_job.Tick(m_used);
        m_file.Write(m_buffer.data(), static_cast<uint32_t>(m_used));
    }
    m_used = 0;
}

void OutputStream::Write(const uint8_t *data, uint64_t size)
{
    m_position += size;
    if (m_used + size <= m_buffer.size()) {
        std::copy(data, data + size, m_buffer.data() + m_used);
        m_used += size;
        if (m_used == m_buffer.size())
            Flush();
        return;
    }
    Flush();
    while (size >= m_buffer.size()) {
        const uint64_t piece = std::min(size, kPiece);
        m_job.Tick(piece);
        m_file.Write(data, static_cast<uint32_t>(piece));
        data += piece;
        size -= piece;
    }
    std::copy(data, data + size, m_buffer.data());
    m_used = size;
}

void OutputStream::Fill(uint8_t value, uint64_t count)
{
    uint8_t chunk[4096];
    std::fill(chunk, chunk + sizeof chunk, value);
    while (count > 0) {
        const uint64_t n = std::min<uint64_t>(count, sizeof chunk);
        Write(chunk, n);
        count -= n;
    }
}

void OutputStream::WriteBE(uint64_t value, uint32_t width)
{
    uint8_t b[8];
    StoreBE(b, value, width);
    Write(b, width);
}

bool OutputFile::Create(OutputNamer &namer, const std::string &path, std::size_t keep)
{
    m_path = path;
    if (!namer.Create(m_file, m_path, keep))
        return false;
    m_namer = &namer;
    m_stream = std::make_unique<OutputStream>(m_file, m_job);
    return true;
}

void OutputFile::Close()
{
    m_stream->Flush();
    m_file.Close();
    m_closed = true;
    m_job.Notify(MSG_FILE_WRITTEN, m_path);
}

OutputFile::~OutputFile()
{
    if (m_closed || !m_file.IsOpen())
        return;
    m_file.Abort();
    if (m_job.Aborted() && m_namer)
        m_namer->Remove(m_path);
}

void OutputFile::Patch(uint64_t offset, uint64_t value, uint32_t width)
{
    uint8_t b[8];
    StoreBE(b, value, width);
    PatchBytes(offset, b, width);
}

void OutputFile::PatchBytes(uint64_t offset, const uint8_t *data, uint64_t size)
{
    m_stream->Flush();
    const uint64_t end = m_file.GetPosition();
    m_file.Seek(static_cast<int64_t>(offset), begin);
    for (uint64_t done = 0; done < size;) {
        const auto piece = static_cast<uint32_t>(std::min<uint64_t>(size - done, kPiece));
        m_file.Write(data + done, piece);
        done += piece;
    }
    m_file.Seek(static_cast<int64_t>(end), begin);
}

} // namespace zelt
