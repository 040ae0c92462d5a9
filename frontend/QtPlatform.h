// The platform services on Qt and POSIX.
#pragma once

#include <memory>

class QSystemTrayIcon;

#include "Platform.h"
#include "RegStore.h"

class QtPlatform final : public IPlatformServices {
public:
    /// program: the program file's name without extension, which names the
    /// settings key; programPath: its full path, which finds the help manual;
    /// opener: the desktop's program that opens a directory, file or address
    /// with its default program, and tells by its exit status whether it could.
    QtPlatform(const std::string &program, const QString &programPath, QString opener = "xdg-open");

    void ShowMessage(QWidget *parent, const QString &text, const QString &caption, MessageIcon icon) override;
    bool AskYesNo(QWidget *parent, const QString &text, const QString &caption) override;
    bool GetOpenFileNames(QWidget *parent, const QString &filter, int &filterIndex, bool multiple,
                          QStringList &files) override;
    bool GetSaveLogFileName(QWidget *parent, bool &includeSysInfo, QString &file) override;
    bool BrowseFolder(QWidget *parent, const QString &prompt, QString &folder) override;
    bool SelectDirectory(QWidget *parent, const QString &start, QString &directory) override;
    bool ShellOpen(const QString &target) override;
    void ShowHelp(const QString &helpFile, const QString &anchor) override;
    void Beep() override;
    void Notify(QWidget *window, const QString &title, const QString &text) override;
    QDateTime Now() override;
    void ProcessEvents() override;
    ISettingsStore &Settings() override { return *m_store; }
    bool FileExists(const QString &path) override;
    bool CreateDirectories(const QString &path) override;
    uint64_t FileSize(const QString &name) override;
    QString FileVersionText(const QString &file, int selector) override;
    bool WriteFileReplacing(const QString &file, const QByteArray &bytes) override;
    OsVersion GetOsVersion() override;
    QString SystemDirectory(int which, int &errorCode) override;
    QString TempDirectory() override;
    MemoryStatus GetMemoryStatus() override;
    QStringList Environment() override;
    std::vector<DriveInfo> Drives() override;

private:
    std::unique_ptr<RegFileStore> m_store;
    QSystemTrayIcon *m_tray = nullptr; ///< made for the first notification, where the desktop has a tray
    QString m_helpFile;
    QString m_opener;
    int m_openerPatienceMs = 3000; ///< an opener still running then has found its program
};

/// The drive type of a mounted file system of the given type on the given
/// device (the removable flag of its block device where it has one).
int DriveTypeOf(const std::string &fsType, const std::string &device, bool removable);

/// The drives of a mount table (/proc/self/mounts): one per mount point, in
/// the table's order; a mount point mounted over again shows what was
/// mounted last. File systems that are no drives (proc, sysfs) are left out.
std::vector<DriveInfo> DrivesOfMounts(const char *mountsFile);
