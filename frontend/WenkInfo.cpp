#include "WenkInfo.h"

#include <QLocale>

#include "RepairLog.h"
#include "Strings.h"

QString FormatBytes(double value)
{
    return QString::fromStdString(repairlog::FormatGrouped(value, QLocale().groupSeparator().toStdString()));
}

void AddSystemInformation(QStringList &list, IPlatformServices &platform, const QString &programPath)
{
    using namespace strings;
    const auto T = [](const char *text) { return QString::fromLatin1(text); };
    const QString rule = repairlog::kRule;
    list << T(kVersionInformation);
    list << T(kFileVersion) + platform.FileVersionText(programPath, 2);
    list << T(kProductVersion) + platform.FileVersionText(programPath, 5);
    list << rule;

    const OsVersion os = platform.GetOsVersion();
    list << QString::asprintf(kOperatingSystem, os.platform.toUtf8().constData(), os.major, os.minor, os.build);
    list << rule;

    const char *labels[] = {kWindowsDirectoryLabel, kSystemDirectoryLabel, kTemporaryDirectoryLabel};
    for (int which : {kWindowsDirectory, kSystemDirectory, kTemporaryDirectory}) {
        int error = 0;
        const QString dir = platform.SystemDirectory(which, error);
        list << T(labels[which]) + (dir.isNull() ? T(kNoInformation).arg(error) : dir);
    }
    list << rule;

    const MemoryStatus m = platform.GetMemoryStatus();
    list << T(kMemoryStatus);
    list << T(kMemoryInUse).arg(m.load);
    list << T(kTotalPhysical).arg(FormatBytes(double(m.totalPhys)));
    list << T(kFreePhysical).arg(FormatBytes(double(m.availPhys)));
    list << T(kTotalPage).arg(FormatBytes(double(m.totalPage)));
    list << T(kFreePage).arg(FormatBytes(double(m.availPage)));
    list << T(kTotalVirtual).arg(FormatBytes(double(m.totalVirtual)));
    list << T(kFreeVirtual).arg(FormatBytes(double(m.availVirtual)));
    list << rule;

    list << T(kEnvironmentInformation);
    const QStringList env = platform.Environment();
    if (env.isEmpty())
        list << QString();
    else
        list << env;
    list << rule;

    list << T(kDriveInformation);
    for (const DriveInfo &d : platform.Drives()) {
        const QString type = T(kDriveTypeNames[d.type >= 0 && d.type <= 6 ? d.type : 0]);
        if (d.type == kDriveFixed)
            list << T(kFixedDriveLine).arg(d.root, type, FormatBytes(double(d.total)), FormatBytes(double(d.free)));
        else
            list << T(kDriveLine).arg(d.root, type);
    }
    list << rule << T(kEndOfSystemInformation) << rule;
}
