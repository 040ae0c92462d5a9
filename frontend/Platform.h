// Every call of the window to the system goes through IPlatformServices:
// QtPlatform is the real one, tests use a fake that answers from a script.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

class QWidget;

/// A value of the settings store: a string or a 32-bit double word.
using StoredValue = std::variant<QString, int32_t>;

/// An error of the settings store, with the toolkit's registry text
/// ("Invalid data type for '%s'", "Failed to get data for '%s'", "Failed to
/// create key %s", "Failed to set data for '%s'").
class RegistryError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// The settings of one key (key path and section fixed by the store).
class ISettingsStore {
public:
    virtual ~ISettingsStore() = default;
    /// Opens the key afresh, creating it when missing; raises RegistryError.
    virtual void Open(bool forWriting) = 0;
    /// The value, or nothing when it is missing; raises RegistryError for a
    /// value of another type than string or double word.
    virtual std::optional<StoredValue> Read(const QString &name) = 0;
    virtual void WriteString(const QString &name, const QString &value) = 0;
    virtual void WriteInt(const QString &name, int32_t value) = 0;
    /// Closes the key; a store that writes makes its changes durable here.
    virtual void Close() = 0;
};

enum class MessageIcon { Information, Error };

struct MemoryStatus {
    uint32_t load = 0; ///< percent in use
    uint64_t totalPhys = 0, availPhys = 0, totalPage = 0, availPage = 0, totalVirtual = 0, availVirtual = 0;
};

/// Drive types, as the saved log names them.
enum DriveType { kDriveUnknown = 0, kDriveNoRoot = 1, kDriveRemovable = 2, kDriveFixed = 3, kDriveRemote = 4,
                 kDriveCdRom = 5, kDriveRamDisk = 6 };

struct DriveInfo {
    QString root;       ///< the mount point
    int type = kDriveUnknown;
    int64_t total = -1; ///< bytes, -1 when it cannot be read (fixed drives only)
    int64_t free = -1;  ///< bytes available to the caller
};

enum SystemDirectoryKind { kWindowsDirectory = 0, kSystemDirectory = 1, kTemporaryDirectory = 2 };

struct OsVersion {
    QString platform; ///< the system's name
    int major = 0, minor = 0, build = 0;
};

class IPlatformServices {
public:
    virtual ~IPlatformServices() = default;

    /// A modal message box with an OK button.
    virtual void ShowMessage(QWidget *parent, const QString &text, const QString &caption, MessageIcon icon) = 0;
    /// Question with Yes and No; true for Yes.
    virtual bool AskYesNo(QWidget *parent, const QString &text, const QString &caption) = 0;
    /// The open-file dialog. filterIndex is 1-based, in and out.
    virtual bool GetOpenFileNames(QWidget *parent, const QString &filter, int &filterIndex, bool multiple,
                                  QStringList &files) = 0;
    /// The save-log dialog: a file name (in: the one proposed, empty for
    /// none) and the state of its "Include System Information" box, in and
    /// out.
    virtual bool GetSaveLogFileName(QWidget *parent, bool &includeSysInfo, QString &file) = 0;
    /// The folder-browse dialog: a path without a trailing separator.
    virtual bool BrowseFolder(QWidget *parent, const QString &prompt, QString &folder) = 0;
    /// The directory dialog, starting at start: a directory, one that does not
    /// exist yet offered for creation.
    virtual bool SelectDirectory(QWidget *parent, const QString &start, QString &directory) = 0;
    /// The shell's "open" of a directory, web address or mailto: address.
    virtual bool ShellOpen(const QString &target) = 0;
    /// The help manual at an anchor (empty: its contents).
    virtual void ShowHelp(const QString &helpFile, const QString &anchor) = 0;
    virtual void Beep() = 0;
    /// A message of the desktop outside the window (a notification where the
    /// desktop shows them), for work that ended while the user looked away.
    virtual void Notify(QWidget *window, const QString &title, const QString &text) = 0;
    virtual QDateTime Now() = 0;
    /// Handles every event already waiting, then returns.
    virtual void ProcessEvents() = 0;
    virtual ISettingsStore &Settings() = 0;

    // Files and directories.
    /// True when path names a file; a directory is no file.
    virtual bool FileExists(const QString &path) = 0;
    /// Creates the directory with every missing parent (the root, or an
    /// existing directory, counts as created).
    virtual bool CreateDirectories(const QString &path) = 0;
    /// The size of the file of exactly this name (no pattern), 0 when none.
    virtual uint64_t FileSize(const QString &name) = 0;
    /// A number of the version record of a program file (selectors 0 to 5).
    virtual QString FileVersionText(const QString &file, int selector) = 0;
    /// Replaces the file with bytes, whole or not at all.
    virtual bool WriteFileReplacing(const QString &file, const QByteArray &bytes) = 0;

    // System information for the saved log.
    virtual OsVersion GetOsVersion() = 0;
    /// One of the three directories of the log (kWindowsDirectory,
    /// kSystemDirectory, kTemporaryDirectory): the path, or a null string
    /// and the system's error code when the query failed.
    virtual QString SystemDirectory(int which, int &errorCode) = 0;
    /// The temporary-files directory with its trailing separator, or empty.
    virtual QString TempDirectory() = 0;
    virtual MemoryStatus GetMemoryStatus() = 0;
    virtual QStringList Environment() = 0;
    virtual std::vector<DriveInfo> Drives() = 0;
};
