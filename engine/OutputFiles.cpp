#include "OutputFiles.h"

#include <algorithm>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

#include "Messages.h"
#include "PsdRecoverer.h"
#include "RecoveryJob.h"

namespace zelt {
namespace {

constexpr uint32_t kOutputFlags =
    modeWrite | shareExclusive | modeCreate | modeNoTruncate | modeNoFollow | typeBinary;
constexpr std::size_t kBufferSize = 256u << 10; // big planes go past it, straight to the file
constexpr uint64_t kPiece = 16u << 20; // the most written between two abort polls

std::string DirectoryOf(const std::string &path)
{
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

} // namespace

void OutputNamer::ProtectPath(const std::string &path, bool isSource)
{
    struct stat st;
    if (::stat(path.c_str(), &st) == 0)
        Protect({st.st_dev, st.st_ino}, isSource);
}

OutputNamer::Passed OutputNamer::Check(const std::string &path) const
{
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return Passed::none;
    if (S_ISLNK(st.st_mode))
        return Passed::link;
    const FileIdentity id{st.st_dev, st.st_ino};
    for (const Protected &p : m_protected)
        if (p.id == id)
            return p.isSource ? Passed::source : Passed::other;
    // A pipe or a device under the name would block the write or reach
    // something that is no file.
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
        return Passed::link;
    return Passed::none;
}

std::size_t OutputNamer::NameLimit(const std::string &path) const
{
    const std::string dir = DirectoryOf(path);
    const long limit = ::pathconf(dir.empty() ? "." : dir.c_str(), _PC_NAME_MAX);
    return limit > 0 ? static_cast<std::size_t>(limit) : 255;
}

std::string OutputNamer::Shorten(const std::string &path, std::size_t keep) const
{
    const std::string dir = DirectoryOf(path);
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
    const std::string base = PathWithoutExtension(first), ext = PathExtension(first);
    std::vector<std::pair<std::string, Passed>> passed;
    for (unsigned long k = 1;; ++k) {
        std::string candidate = first;
        if (k > 1) {
            const std::string counter = std::string(1, '_').append(std::to_string(k));
            candidate = Shorten(PathWithoutExtension(wanted) + counter + PathExtension(wanted), keep + counter.size());
        }
        if (m_written.count(candidate) != 0)
            continue;
        if (const Passed why = Check(candidate); why != Passed::none) {
            passed.emplace_back(candidate, why);
            continue;
        }
        // Opened without truncating and without following a link, then
        // looked at once more: a link or a second name of a protected file
        // planted since the check is passed over too, before anything of it
        // is changed.
        FileError error;
        if (!file.Open(candidate, kOutputFlags, &error)) {
            if (error.OsError() == ELOOP || error.OsError() == ENXIO) {
                passed.emplace_back(candidate, Passed::link);
                continue;
            }
            m_job.Notify(MSG_ERROR, FormatErrorMessage(kMsgCannotCreateFile, error));
            return false;
        }
        struct stat st;
        Passed why = Passed::none;
        if (::fstat(file.Handle(), &st) != 0 || !S_ISREG(st.st_mode)) {
            why = Passed::link;
        } else {
            for (const Protected &p : m_protected)
                if (p.id == FileIdentity{st.st_dev, st.st_ino})
                    why = p.isSource ? Passed::source : Passed::other;
        }
        if (why != Passed::none) {
            file.Abort();
            passed.emplace_back(candidate, why);
            continue;
        }
        file.SetLength(0);
        path = candidate;
        break;
    }
    if (first != wanted)
        m_job.NotifyFormatted(MSG_STATUS, kMsgNameTooLong, wanted.c_str(), path.c_str());
    for (const auto &[name, why] : passed) {
        const int id = why == Passed::source  ? kMsgOutputIsSource
                       : why == Passed::other ? kMsgOutputIsOtherSource
                                              : kMsgOutputIsLink;
        m_job.NotifyFormatted(MSG_STATUS, id, name.c_str(), path.c_str());
    }
    m_written.insert(path);
    return true;
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
    if (m_job.Aborted())
        ::unlink(m_path.c_str());
}

} // namespace zelt
