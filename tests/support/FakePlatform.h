// A platform for the window's tests: it records every message box and
// answers dialogs, the clock and the system queries from a script; its
// settings store lives in memory.
#pragma once

#include <QDateTime>
#include <deque>
#include <functional>
#include <map>
#include <ostream>

#include <QFileInfo>
#include <QSaveFile>

#include "Platform.h"
#include "VersionInfo.h"
#include "WenkUtils.h"

/// Failing expectations print texts as texts.
inline void PrintTo(const QString &text, std::ostream *os) { *os << '"' << text.toStdString() << '"'; }

namespace test {

class MemoryStore final : public ISettingsStore {
public:
    std::map<QString, StoredValue> values;
    std::map<QString, std::string> otherTypes; ///< name -> the error reading it raises
    int opens = 0, closes = 0;

    void Open(bool) override { ++opens; }
    std::optional<StoredValue> Read(const QString &name) override
    {
        if (auto it = otherTypes.find(name); it != otherTypes.end())
            throw RegistryError(it->second);
        auto it = values.find(name);
        if (it == values.end())
            return std::nullopt;
        return it->second;
    }
    void WriteString(const QString &name, const QString &value) override { otherTypes.erase(name), values[name] = value; }
    void WriteInt(const QString &name, int32_t value) override { otherTypes.erase(name), values[name] = value; }
    void Close() override { ++closes; }
};

struct Message {
    QString text, caption;
    MessageIcon icon;
};

class FakePlatform : public IPlatformServices {
public:
    std::vector<Message> messages;
    /// Runs when a message box is shown (the box is modal: this is the user).
    std::function<void(const Message &)> onMessage;
    std::deque<QStringList> openAnswers; ///< each dialog takes the next; an empty list is a cancel
    int openFilterAnswer = 0;            ///< the filter index the user leaves (0: as given)
    std::vector<std::pair<int, bool>> openRequests; ///< (filter index, multiple) as asked
    QStringList openFilters;                        ///< the filter of each open dialog
    std::deque<std::pair<bool, QString>> saveAnswers; ///< (include box, file); a null file or none: cancel
    std::vector<bool> saveBoxShown;
    QStringList saveProposed; ///< the file each save-log dialog proposed
    QStringList notifications; ///< "title: text" of each desktop notification
    std::deque<QString> folderAnswers, directoryAnswers;
    std::vector<QString> shellOpened;
    bool shellResult = true;
    std::vector<std::pair<QString, QString>> helpShown;
    int beeps = 0;
    int pumps = 0;
    std::function<void()> onPump;
    QDateTime now = QDateTime(QDate(2026, 12, 8), QTime(10, 0, 0));
    qint64 msPerNow = 0; ///< the clock moves by this much each time it is read
    MemoryStore store;
    OsVersion os{"Linux", 6, 1, 76};
    MemoryStatus memory{37, 4294967295ull, 0, 8ull << 30, 1ull << 30, 1ull << 47, (1ull << 47) - 4096};
    QStringList environment{"HOME=/home/ann", "LANG=C.UTF-8"};
    std::vector<DriveInfo> drives;
    QString tempDir = "/tmp/";

    void ShowMessage(QWidget *, const QString &text, const QString &caption, MessageIcon icon) override
    {
        messages.push_back({text, caption, icon});
        if (onMessage)
            onMessage(messages.back());
    }
    bool AskYesNo(QWidget *, const QString &text, const QString &caption) override
    {
        messages.push_back({text, caption, MessageIcon::Information});
        return true;
    }
    bool GetOpenFileNames(QWidget *, const QString &filter, int &filterIndex, bool multiple, QStringList &files) override
    {
        openRequests.emplace_back(filterIndex, multiple);
        openFilters << filter;
        if (openAnswers.empty())
            return false;
        files = openAnswers.front();
        openAnswers.pop_front();
        if (files.isEmpty())
            return false;
        if (openFilterAnswer)
            filterIndex = openFilterAnswer;
        return true;
    }
    bool GetSaveLogFileName(QWidget *, bool &include, QString &file) override
    {
        saveBoxShown.push_back(include);
        saveProposed << file;
        if (saveAnswers.empty())
            return false;
        include = saveAnswers.front().first; // the box as the user left it, also on cancel
        file = saveAnswers.front().second;
        saveAnswers.pop_front();
        return !file.isNull();
    }
    bool BrowseFolder(QWidget *, const QString &, QString &folder) override { return Take(folderAnswers, folder); }
    bool SelectDirectory(QWidget *, const QString &, QString &dir) override { return Take(directoryAnswers, dir); }
    bool ShellOpen(const QString &target) override
    {
        shellOpened.push_back(target);
        return shellResult;
    }
    void ShowHelp(const QString &file, const QString &anchor) override { helpShown.emplace_back(file, anchor); }
    void Beep() override { ++beeps; }
    void Notify(QWidget *, const QString &title, const QString &text) override { notifications << title + ": " + text; }
    QDateTime Now() override
    {
        const QDateTime t = now;
        now = now.addMSecs(msPerNow);
        return t;
    }
    void ProcessEvents() override
    {
        ++pumps;
        if (onPump)
            onPump();
    }
    ISettingsStore *storeOverride = nullptr; ///< a real store in place of the memory one
    ISettingsStore &Settings() override { return storeOverride ? *storeOverride : store; }
    // Files pass through to the real file system (the tests use temporary
    // directories); writes can be made to fail.
    bool failWrites = false;
    bool FileExists(const QString &path) override { return QFileInfo::exists(path) && !QFileInfo(path).isDir(); }
    bool CreateDirectories(const QString &path) override { return wenk::ForceDirectories(path.toStdString()); }
    uint64_t FileSize(const QString &name) override { return wenk::FileSizeOf(name.toStdString()); }
    QString FileVersionText(const QString &file, int selector) override
    {
        return QString::fromStdString(wenk::GetFileVersionText(file.toStdString(), selector));
    }
    bool WriteFileReplacing(const QString &file, const QByteArray &bytes) override
    {
        QSaveFile out(file);
        return !failWrites && out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size() && out.commit();
    }
    OsVersion GetOsVersion() override { return os; }
    QString SystemDirectory(int which, int &errorCode) override
    {
        if (which == kTemporaryDirectory) {
            errorCode = tempDir.isEmpty() ? 2 : 0;
            return tempDir.isEmpty() ? QString() : tempDir;
        }
        errorCode = which == kSystemDirectory ? 5 : 0;
        return which == kWindowsDirectory ? QString("/") : QString();
    }
    QString TempDirectory() override { return tempDir; }
    MemoryStatus GetMemoryStatus() override { return memory; }
    QStringList Environment() override { return environment; }
    std::vector<DriveInfo> Drives() override { return drives; }

private:
    static bool Take(std::deque<QString> &answers, QString &out)
    {
        if (answers.empty())
            return false;
        out = answers.front();
        answers.pop_front();
        return !out.isNull();
    }
};

} // namespace test
