// Output files. A name never lands on a file the run must keep (one it has
// written, the source, another source of the caller's run), a file is never
// opened through a symbolic link, and every name fits the file system; the
// files are written through a buffered stream that lets a coarse caller stop
// the run inside a long write.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <unordered_set>
#include <vector>

#include "File64.h"

namespace zelt {

class RecoveryJob;

struct FileIdentity {
    dev_t dev = 0;
    ino_t ino = 0;
    bool operator==(const FileIdentity &o) const { return dev == o.dev && ino == o.ino; }
};

class OutputNamer {
public:
    explicit OutputNamer(RecoveryJob &job) : m_job(job) {}

    /// A file no output may replace: the source being scanned, or another
    /// source of the caller's run.
    void Protect(const FileIdentity &id, bool isSource) { m_protected.push_back({id, isSource}); }
    /// Protects the file at path when it exists (links followed).
    void ProtectPath(const std::string &path, bool isSource);

    /// Creates the output file at path, or where path must not be used at the
    /// first free "<base>_<k><ext>" (k from 2), and opens it for writing;
    /// path becomes the name used. A name this run has written is passed
    /// over silently; one that is a protected file or a symbolic link, or
    /// that is too long for the file system, is passed over with a status
    /// line. `keep` trailing bytes of the base (a counter, "_rebuilt") stay
    /// when a long base is shortened. On failure MSG_ERROR (message 14) is
    /// sent and false returned.
    bool Create(CFile64 &file, std::string &path, std::size_t keep = 0);

    /// Whether the run has written a file of this name.
    bool Written(const std::string &path) const { return m_written.count(path) != 0; }

private:
    enum class Passed { none, source, other, link };
    Passed Check(const std::string &path) const;
    std::string Shorten(const std::string &path, std::size_t keep) const;
    std::size_t NameLimit(const std::string &path) const;

    RecoveryJob &m_job;
    std::unordered_set<std::string> m_written;
    struct Protected {
        FileIdentity id;
        bool isSource;
    };
    std::vector<Protected> m_protected;
};

/// Writes a file in large pieces. With coarse reports, polls for abort at
/// least every 16 MiB written.
class OutputStream {
public:
    OutputStream(CFile64 &file, RecoveryJob &job);
    ~OutputStream();
    OutputStream(const OutputStream &) = delete;
    OutputStream &operator=(const OutputStream &) = delete;

    void Write(const uint8_t *data, uint64_t size);
    void Fill(uint8_t value, uint64_t count);
    void WriteBE(uint64_t value, uint32_t width);
    /// Bytes written so far (buffered ones included).
    uint64_t Position() const { return m_position; }
    /// Hands what is buffered to the file.
    void Flush();

private:
    CFile64 &m_file;
    RecoveryJob &m_job;
    std::vector<uint8_t> m_buffer;
    std::size_t m_used = 0;
    uint64_t m_position = 0;
};

/// One output file: created through the namer, written through its stream,
/// and reported with MSG_FILE_WRITTEN when closed. A file left unfinished by
/// a stop of the user is removed, so that no partly written file stays
/// behind as if it were whole.
class OutputFile {
public:
    explicit OutputFile(RecoveryJob &job) : m_job(job) {}
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    bool Create(OutputNamer &namer, const std::string &path, std::size_t keep = 0);
    OutputStream &Out() { return *m_stream; }
    const std::string &Path() const { return m_path; }
    /// Flushes, closes and reports the file.
    void Close();

private:
    RecoveryJob &m_job;
    CFile64 m_file;
    std::string m_path;
    std::unique_ptr<OutputStream> m_stream;
    bool m_closed = false;
};

} // namespace zelt
