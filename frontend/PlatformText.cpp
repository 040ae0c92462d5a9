#include "PlatformText.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

#include "WenkUtils.h"

QString HelpFileFor(const QString &programPath)
{
    const QString beside = QString::fromStdString(wenk::RemoveFileExt(programPath.toStdString())) + ".html";
    if (QFileInfo::exists(beside))
        return beside;
    return QDir::cleanPath(QFileInfo(programPath).absolutePath() + "/../share/doc/velmora/manual.html");
}

QString QtFilter(const QString &filter)
{
    const QStringList parts = filter.split('|');
    QStringList out;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        QString name = parts[i];
        const int paren = name.indexOf(" (");
        if (paren >= 0)
            name = name.left(paren);
        QString patterns = parts[i + 1];
        patterns.replace(';', ' ').replace("*.*", "*");
        out << name + " (" + patterns + ")";
    }
    return out.join(";;");
}
