// Output files. Every output is a new file, created in the output directory
// opened once at the start of the run: a name never lands on a file that
// exists (one the run has written, the source, another source of the
// caller's run, anything left by an earlier repair), a file is never opened
// through a symbolic link, and every name fits the file system. The files
// are written through a buffered stream that lets a coarse caller stop the
// run inside a long write.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <sys/types.h>
#include <unordered_map>
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

/// What opening the output directory found.
enum class OutputDirectory {
    opened,  ///< the descriptor is the directory every output goes into
    missing, ///< no directory there (creating each file reports it)
    unsafe,  ///< another user may change what is in it: nothing is written
};

/// Opens the output directory (empty: the current one) once, without
/// following a link unless the link is the caller's own or root's. A
/// directory another user owns is unsafe when others may write in it, and
/// when the caller is root (its owner could swap what it holds for a link).
OutputDirectory OpenOutputDirectory(const std::string &dir, int &fd);

class OutputNamer {
public:
    explicit OutputNamer(RecoveryJob &job) : m_job(job) {}
    ~OutputNamer();
    OutputNamer(const OutputNamer &) = delete;
    OutputNamer &operator=(const OutputNamer &) = delete;

    /// Every path under prefix (the output directory with its trailing
    /// separator) is created in the directory fd, which the namer owns from
    /// now on.
    void UseDirectory(int fd, const std::string &prefix);

    /// A file no output may replace: the source being scanned, or another
    /// source of the caller's run.
    void Protect(const FileIdentity &id, bool isSource) { m_protected.push_back({id, isSource}); }
    /// Protects the file at path when it exists (links followed).
    void ProtectPath(const std::string &path, bool isSource);

    /// Creates a new file at path, or where a file of that name exists at
    /// the first free "<base>_<k><ext>" (k from 2), and opens it for
    /// writing; path becomes the name used. A name this run has written is
    /// passed over silently; any other existing name (a protected file, a
    /// link, a folder, a file of an earlier repair) and a name too long for
    /// the file system are passed over with a status line. `keep` trailing
    /// bytes of the base (a counter, "_rebuilt") stay when a long base is
    /// shortened. On failure MSG_ERROR (message 14) is sent and false
    /// returned.
    bool Create(CFile64 &file, std::string &path, std::size_t keep = 0);

    /// Removes a file this run created and left unfinished.
    void Remove(const std::string &path) const;

    /// Whether the run has written a file of this name.
    bool Written(const std::string &path) const { return m_written.count(path) != 0; }

private:
    enum class Passed { none, source, other, link, exists };
    Passed Check(const std::string &path) const;
    std::string Shorten(const std::string &path, std::size_t keep);
    std::size_t NameLimit(const std::string &path);
    /// The directory and the name to open path by.
    int DirectoryOf(const std::string &path, std::string &name) const;

    RecoveryJob &m_job;
    int m_dirfd = -1;
    std::string m_prefix;
    std::size_t m_nameLimit = 0; ///< of the output directory, once asked
    std::unordered_set<std::string> m_written;
    /// For each name asked for, the counter to try first: every one before
    /// it is taken, so thousands of layers of one name stay linear.
    std::unordered_map<std::string, unsigned long> m_nextCounter;
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
    /// Writes value in width bytes at offset of the file, over what was
    /// written there; the stream goes on at its end.
    void Patch(uint64_t offset, uint64_t value, uint32_t width);
    void PatchBytes(uint64_t offset, const uint8_t *data, uint64_t size);
    const std::string &Path() const { return m_path; }
    /// Flushes, closes and reports the file.
    void Close();

private:
    RecoveryJob &m_job;
    const OutputNamer *m_namer = nullptr;
    CFile64 m_file;
    std::string m_path;
    std::unique_ptr<OutputStream> m_stream;
    bool m_closed = false;
};

} // namespace zelt
