#include "OutputDirs.h"

#include <QDir>

#include "WenkUtils.h"

bool FolderHoldsFiles(const QString &path) { return wenk::FolderHoldsFiles(path.toStdString()); }

QString FreeOutputFolder(const QString &first, const QSet<QString> &taken)
{
    return QString::fromStdString(wenk::FreeOutputFolder(
        first.toStdString(), [&taken](const std::string &dir) { return taken.contains(QString::fromStdString(dir)); }));
}

QStringList MissingDirectories(const QString &dir)
{
    QStringList missing;
    for (const std::string &d : wenk::MissingDirectories(QDir::cleanPath(QDir::current().absoluteFilePath(dir)).toStdString()))
        missing << QString::fromStdString(d);
    return missing;
}

void RemoveEmptyDirectories(const QStringList &dirs)
{
    std::vector<std::string> list;
    for (const QString &d : dirs)
        list.push_back(d.toStdString());
    wenk::RemoveEmptyDirectories(list);
}
