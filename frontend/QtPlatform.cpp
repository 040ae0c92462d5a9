#include "QtPlatform.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>
#include <QTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSaveFile>
#include <QSystemTrayIcon>
#include <QUrl>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <mntent.h>
#include <set>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysinfo.h>
#include <sys/sysmacros.h>
#include <sys/utsname.h>

#include "PlatformText.h"
#include "Strings.h"
#include "VersionInfo.h"
#include "WenkUtils.h"
#include "logdlg.h"

extern char **environ;

namespace {

// The nearest directory that exists on the way up from path (made absolute
// against the current directory): where the directory dialog opens.
QString NearestExistingDirectory(const QString &path)
{
    QString dir = QDir::cleanPath(QDir::current().absoluteFilePath(path));
    while (!QFileInfo(dir).isDir()) {
        const QString parent = QFileInfo(dir).absolutePath();
        if (parent == dir)
            break;
        dir = parent;
    }
    return dir;
}

// The directory dialog: a typed name that does not exist yet is offered for
// creation; its help button shows help context 2.
class TDirectoryDialog : public QFileDialog {
public:
    TDirectoryDialog(QWidget *parent, IPlatformServices &platform, const QString &start, const QString &helpFile)
        : QFileDialog(parent), m_platform(platform)
    {
        setOption(QFileDialog::DontUseNativeDialog, true);
        setFileMode(QFileDialog::Directory);
        setOption(QFileDialog::ShowDirsOnly, true);
        if (!start.isEmpty())
            setDirectory(NearestExistingDirectory(start));
        if (auto *buttons = findChild<QDialogButtonBox *>()) {
            buttons->addButton(QDialogButtonBox::Help);
            connect(buttons, &QDialogButtonBox::helpRequested, this,
                    [this, helpFile] { m_platform.ShowHelp(helpFile, "context-2"); });
            // Qt's dialog disables OK for a name that does not exist; here such
            // a name is a directory to create, so OK stays enabled.
            m_ok = buttons->button(QDialogButtonBox::Open);
            if (!m_ok)
                m_ok = buttons->button(QDialogButtonBox::Save);
            if (m_ok)
                m_ok->installEventFilter(this);
        }
    }

    QString chosen;

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == m_ok && event->type() == QEvent::EnabledChange && !m_ok->isEnabled())
            m_ok->setEnabled(true);
        return QFileDialog::eventFilter(watched, event);
    }

    void accept() override
    {
        QString typed;
        if (auto *edit = findChild<QLineEdit *>("fileNameEdit"))
            typed = edit->text().trimmed();
        QString path = typed.isEmpty() ? directory().absolutePath()
                                       : (QDir::isAbsolutePath(typed) ? typed : directory().absoluteFilePath(typed));
        if (!QDir(path).exists()) {
            if (!m_platform.AskYesNo(this, QString::fromLatin1(strings::kCreateDirectory),
                                     QString::fromLatin1(strings::kInformation)))
                return; // the dialog stays open
            if (!wenk::ForceDirectories(path.toStdString())) {
                m_platform.ShowMessage(this, QString::fromLatin1(strings::kCannotCreateDirectory).arg(path),
                                       QString::fromLatin1(strings::kError), MessageIcon::Error);
                return;
            }
        }
        chosen = path;
        QDialog::accept();
    }

private:
    IPlatformServices &m_platform;
    QPushButton *m_ok = nullptr;
};

uint64_t MeminfoBytes(const std::string &key)
{
    std::ifstream in("/proc/meminfo");
    std::string name;
    uint64_t kb = 0;
    std::string unit;
    while (in >> name >> kb) {
        std::getline(in, unit);
        if (name == key + ":")
            return kb * 1024;
    }
    return 0;
}

uint64_t OwnVirtualSize()
{
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmSize:", 0) == 0)
            return std::strtoull(line.c_str() + 7, nullptr, 10) * 1024;
    return 0;
}

bool BlockDeviceRemovable(const std::string &device)
{
    struct stat st;
    if (::stat(device.c_str(), &st) != 0 || !S_ISBLK(st.st_mode))
        return false;
    char path[128];
    for (const char *form : {"/sys/dev/block/%u:%u/removable", "/sys/dev/block/%u:%u/../removable"}) {
        std::snprintf(path, sizeof path, form, major(st.st_rdev), minor(st.st_rdev));
        std::ifstream in(path);
        int flag = 0;
        if (in >> flag)
            return flag != 0;
    }
    return false;
}

} // namespace

int DriveTypeOf(const std::string &fsType, const std::string &device, bool removable)
{
    static const std::set<std::string> remote = {"nfs", "nfs4", "cifs", "smb3", "smbfs", "9p", "ceph", "glusterfs",
                                                 "fuse.sshfs", "afs", "davfs", "fuse.rclone"};
    static const std::set<std::string> disks = {"ext2", "ext3", "ext4", "xfs", "btrfs", "f2fs", "jfs", "reiserfs",
                                                "zfs", "vfat", "exfat", "ntfs", "ntfs3", "fuseblk", "overlay", "hfsplus"};
    if (remote.count(fsType))
        return kDriveRemote;
    if (fsType == "iso9660" || fsType == "udf")
        return kDriveCdRom;
    if (fsType == "tmpfs" || fsType == "ramfs")
        return kDriveRamDisk;
    if (disks.count(fsType))
        return removable ? kDriveRemovable : kDriveFixed;
    (void)device;
    return kDriveUnknown;
}

QtPlatform::QtPlatform(const std::string &program, const QString &programPath, QString opener)
    : m_store(std::make_unique<RegFileStore>(DefaultSettingsFile(program), "Software\\" + program + "\\Misc")),
      m_helpFile(HelpFileFor(programPath)), m_opener(std::move(opener))
{
}

void QtPlatform::ShowMessage(QWidget *parent, const QString &text, const QString &caption, MessageIcon icon)
{
    QMessageBox box(icon == MessageIcon::Error ? QMessageBox::Critical : QMessageBox::Information, caption, text,
                    QMessageBox::Ok, parent);
    box.exec();
}

bool QtPlatform::AskYesNo(QWidget *parent, const QString &text, const QString &caption)
{
    return QMessageBox::question(parent, caption, text, QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

bool QtPlatform::GetOpenFileNames(QWidget *parent, const QString &filter, int &filterIndex, bool multiple,
                                  QStringList &files)
{
    QFileDialog dialog(parent);
    dialog.setFileMode(multiple ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
    const QStringList filters = QtFilter(filter).split(";;");
    dialog.setNameFilters(filters);
    if (filterIndex >= 1 && filterIndex <= filters.size())
        dialog.selectNameFilter(filters[filterIndex - 1]);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    files = dialog.selectedFiles();
    filterIndex = int(filters.indexOf(dialog.selectedNameFilter())) + 1;
    return true;
}

bool QtPlatform::GetSaveLogFileName(QWidget *parent, bool &includeSysInfo, QString &file)
{
    TSaveLogDialog dialog(parent);
    dialog.SetIncludeSysInfo(includeSysInfo);
    if (!file.isEmpty()) {
        const QFileInfo proposed(file);
        if (proposed.absoluteDir().exists())
            dialog.setDirectory(proposed.absolutePath());
        dialog.selectFile(proposed.fileName());
    }
    const bool confirmed = dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty();
    includeSysInfo = dialog.IncludeSysInfo(); // kept also when the user cancels
    if (!confirmed)
        return false;
    file = dialog.selectedFiles().first();
    return true;
}

bool QtPlatform::BrowseFolder(QWidget *parent, const QString &prompt, QString &folder)
{
    const QString chosen = QFileDialog::getExistingDirectory(parent, prompt);
    if (chosen.isEmpty())
        return false;
    folder = chosen;
    return true;
}

bool QtPlatform::SelectDirectory(QWidget *parent, const QString &start, QString &directory)
{
    TDirectoryDialog dialog(parent, *this, start, m_helpFile);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    directory = dialog.chosen;
    return true;
}

bool QtPlatform::ShellOpen(const QString &target)
{
    // The opener's answer is awaited: it fails (no program for the kind of
    // target, a target that is gone) after it has started. One that is still
    // running after a while has found its program and counts as done.
    const QString arg = target.startsWith("mailto:") || target.contains("://")
                            ? target
                            : QUrl::fromLocalFile(QFileInfo(target).absoluteFilePath()).toString();
    auto *process = new QProcess;
    process->setProgram(m_opener);
    process->setArguments({arg});
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->setStandardOutputFile(QProcess::nullDevice());
    QEventLoop loop;
    QObject::connect(process, &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(process, &QProcess::errorOccurred, &loop, &QEventLoop::quit);
    QTimer::singleShot(m_openerPatienceMs, &loop, &QEventLoop::quit);
    process->start();
    if (process->state() != QProcess::NotRunning)
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    if (process->state() != QProcess::NotRunning) {
        // Left to finish on its own; the object goes when it does.
        QObject::connect(process, &QProcess::finished, process, &QObject::deleteLater);
        process->setParent(QCoreApplication::instance());
        return true;
    }
    const bool ok = process->error() == QProcess::UnknownError && process->exitStatus() == QProcess::NormalExit &&
                    process->exitCode() == 0;
    delete process;
    return ok;
}

void QtPlatform::ShowHelp(const QString &helpFile, const QString &anchor)
{
    QUrl url = QUrl::fromLocalFile(helpFile);
    if (!anchor.isEmpty())
        url.setFragment(anchor);
    QDesktopServices::openUrl(url);
}

void QtPlatform::Beep() { QApplication::beep(); }

void QtPlatform::Notify(QWidget *window, const QString &title, const QString &text)
{
    // The desktop's notification through a tray icon where it has a tray;
    // the task bar entry asks for attention in any case.
    if (QSystemTrayIcon::isSystemTrayAvailable() && QSystemTrayIcon::supportsMessages()) {
        if (!m_tray) {
            m_tray = new QSystemTrayIcon(QApplication::windowIcon(), QCoreApplication::instance());
            m_tray->setToolTip(title);
        }
        m_tray->show();
        m_tray->showMessage(title, text, QSystemTrayIcon::Information, 10000);
        QTimer::singleShot(15000, m_tray, &QSystemTrayIcon::hide);
    }
    if (window)
        QApplication::alert(window);
}

QDateTime QtPlatform::Now() { return QDateTime::currentDateTime(); }

void QtPlatform::ProcessEvents() { QCoreApplication::processEvents(); }

bool QtPlatform::FileExists(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() && !info.isDir();
}

bool QtPlatform::CreateDirectories(const QString &path) { return wenk::ForceDirectories(path.toStdString()); }

uint64_t QtPlatform::FileSize(const QString &name) { return wenk::FileSizeOf(name.toStdString()); }

QString QtPlatform::FileVersionText(const QString &file, int selector)
{
    return QString::fromStdString(wenk::GetFileVersionText(file.toStdString(), selector));
}

bool QtPlatform::WriteFileReplacing(const QString &file, const QByteArray &bytes)
{
    QSaveFile out(file); // a temporary file, renamed over the old one on commit
    return out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size() && out.commit();
}

OsVersion QtPlatform::GetOsVersion()
{
    OsVersion v;
    struct utsname u;
    if (uname(&u) != 0)
        return v;
    v.platform = QString::fromUtf8(u.sysname);
    std::sscanf(u.release, "%d.%d.%d", &v.major, &v.minor, &v.build);
    return v;
}

QString QtPlatform::SystemDirectory(int which, int &errorCode)
{
    if (which == kTemporaryDirectory) {
        const std::string temp = wenk::GetTempDir();
        errorCode = temp.empty() ? ENOENT : 0;
        return temp.empty() ? QString() : QString::fromStdString(temp);
    }
    // The system's root stands for the Windows directory, its library
    // directory for the system directory.
    const char *path = which == kWindowsDirectory ? "/" : "/usr/lib";
    struct stat st;
    if (::stat(path, &st) != 0) {
        errorCode = errno;
        return QString();
    }
    errorCode = 0;
    return QString::fromLatin1(path);
}

QString QtPlatform::TempDirectory() { return QString::fromStdString(wenk::GetTempDir()); }

MemoryStatus QtPlatform::GetMemoryStatus()
{
    MemoryStatus m;
    m.totalPhys = MeminfoBytes("MemTotal");
    m.availPhys = MeminfoBytes("MemAvailable");
    m.totalPage = MeminfoBytes("SwapTotal");
    m.availPage = MeminfoBytes("SwapFree");
    if (m.totalPhys > 0)
        m.load = static_cast<uint32_t>((m.totalPhys - std::min(m.availPhys, m.totalPhys)) * 100 / m.totalPhys);
    // Virtual memory: the address space this process may use, and what of it
    // it does not use yet.
    struct rlimit as;
    const uint64_t userSpace = uint64_t{1} << 47;
    m.totalVirtual = getrlimit(RLIMIT_AS, &as) == 0 && as.rlim_cur != RLIM_INFINITY ? as.rlim_cur : userSpace;
    const uint64_t used = OwnVirtualSize();
    m.availVirtual = m.totalVirtual > used ? m.totalVirtual - used : 0;
    return m;
}

QStringList QtPlatform::Environment()
{
    QStringList list;
    for (char **e = environ; e && *e; ++e)
        list << QString::fromLocal8Bit(*e);
    return list;
}

std::vector<DriveInfo> QtPlatform::Drives() { return DrivesOfMounts("/proc/self/mounts"); }

std::vector<DriveInfo> DrivesOfMounts(const char *mountsFile)
{
    std::vector<DriveInfo> drives;
    FILE *mounts = setmntent(mountsFile, "r");
    if (!mounts)
        return drives;
    while (mntent *m = getmntent(mounts)) {
        const std::string type = m->mnt_type, device = m->mnt_fsname;
        const int kind = DriveTypeOf(type, device, BlockDeviceRemovable(device));
        if (kind == kDriveUnknown)
            continue; // proc, sysfs, cgroup and the like: no drives
        DriveInfo d;
        d.root = QString::fromLocal8Bit(m->mnt_dir);
        d.type = kind;
        if (kind == kDriveFixed) {
            struct statvfs vfs;
            if (statvfs(m->mnt_dir, &vfs) == 0) {
                d.total = static_cast<int64_t>(uint64_t(vfs.f_blocks) * vfs.f_frsize);
                d.free = static_cast<int64_t>(uint64_t(vfs.f_bavail) * vfs.f_frsize);
            }
        }
        // A mount point mounted over again shows the file system mounted
        // last, in the place of the first.
        auto same = std::find_if(drives.begin(), drives.end(), [&](const DriveInfo &o) { return o.root == d.root; });
        if (same != drives.end())
            *same = d;
        else
            drives.push_back(d);
    }
    endmntent(mounts);
    return drives;
}
