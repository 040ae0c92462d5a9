// The engine's error kinds. Recognisers never raise on bad data; these are
// for the environment (files, memory, unsupported calls). They are thrown by
// value and caught by const reference once, at the end of a run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zelt {

enum class FileErrorCause : int32_t {
    none = 0,
    generic = 1,
    fileNotFound = 2,
    badPath = 3,
    tooManyOpenFiles = 4,
    accessDenied = 5,
    invalidFile = 6,
    removeCurrentDir = 7,
    directoryFull = 8,
    badSeek = 9,
    hardIO = 10,
    sharingViolation = 11,
    lockViolation = 12,
    diskFull = 13,
    endOfFile = 14,
    /// A source that is neither a regular file nor a block device (a pipe,
    /// a terminal, /dev/zero): a scan of it would never end or never start.
    notAFile = 15,
};

/// The text of a cause, with "%1" standing for the file name.
const char *CauseText(FileErrorCause cause);

/// Maps an errno value to its cause; 0 gives none, unlisted values generic.
FileErrorCause CauseFromErrno(int err);

class EngineError {
public:
    virtual ~EngineError() = default;
    /// Writes the description into buf (capacity bytes, terminator included),
    /// cut to fit. A capacity of 0 writes nothing.
    virtual void Describe(char *buf, std::size_t capacity) const = 0;
    /// Drops what the error holds. The object stays describable (as an empty
    /// error of its kind); thrown errors are released by leaving the handler.
    virtual void Release() {}
    /// The description as a string (no length limit).
    std::string Description() const;
};

class FileError final : public EngineError {
public:
    FileError() = default;
    FileError(FileErrorCause cause, int32_t osError, std::string fileName)
        : m_cause(cause), m_osError(osError), m_fileName(std::move(fileName)) {}

    /// An error built from errno; the cause comes from CauseFromErrno.
    static FileError FromErrno(int err, std::string fileName = {});

    void Describe(char *buf, std::size_t capacity) const override;
    void Release() override { m_fileName.clear(); m_fileName.shrink_to_fit(); }

    FileErrorCause Cause() const { return m_cause; }
    int32_t OsError() const { return m_osError; }
    const std::string &FileName() const { return m_fileName; }

private:
    FileErrorCause m_cause = FileErrorCause::none;
    int32_t m_osError = 0;
    std::string m_fileName;
};

class OutOfMemoryError final : public EngineError {
public:
    void Describe(char *buf, std::size_t capacity) const override;
};

class NotSupportedError final : public EngineError {
public:
    void Describe(char *buf, std::size_t capacity) const override;
};

/// Copies text into buf, cut to capacity - 1 bytes and terminated.
void CopyCut(const std::string &text, char *buf, std::size_t capacity);

/// Replaces the first "%1" of pattern by insert; insert is never scanned.
std::string ReplaceFirstPlaceholder(const std::string &pattern, const std::string &insert);

} // namespace zelt
