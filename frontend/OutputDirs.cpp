#include "OutputDirs.h"

#include <QDir>
#include <QFileInfo>

bool FolderHoldsFiles(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return false;
    if (!info.isDir())
        return true;
    return !QDir(path).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
}

QString FreeOutputFolder(const QString &first, const QSet<QString> &taken)
{
    const QString stem = first.endsWith('/') ? first.chopped(1) : first;
    QString dir = first;
    for (int k = 2; taken.contains(dir) || FolderHoldsFiles(dir); ++k)
        dir = stem + QStringLiteral("_%1/").arg(k);
    return dir;
}

QStringList MissingDirectories(const QString &dir)
{
    QStringList missing;
    QString path = QDir::cleanPath(QDir::current().absoluteFilePath(dir));
    while (!path.isEmpty() && !QFileInfo::exists(path) && !QFileInfo(path).isSymLink()) {
        missing << path;
        const QString parent = QFileInfo(path).absolutePath();
        if (parent == path)
            break;
        path = parent;
    }
    return missing;
}

void RemoveEmptyDirectories(const QStringList &dirs)
{
    for (const QString &dir : dirs)
        if (!QFileInfo(dir).isDir() || !QDir().rmdir(dir))
            return; // not empty (or not ours): its parents stay too
}
