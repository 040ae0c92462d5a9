#include "WenkInfo.h"

#include <QLocale>

#include "RepairLog.h"

namespace {

const char *const kDriveTypeNames[] = {"Unknown Drive Type", "Invalid Root Path", "Removable Drive", "Fixed Drive",
                                       "Remote Network Drive", "CD-ROM Drive", "RAM Disk"};

} // namespace

QString FormatBytes(double value)
{
    return QString::fromStdString(repairlog::FormatGrouped(value, QLocale().groupSeparator().toStdString()));
}

void AddSystemInformation(QStringList &list, IPlatformServices &platform, const QString &programPath)
{
    const QString rule = repairlog::kRule;
    list << " Version Information:";
    list << "File Version: " + platform.FileVersionText(programPath, 2);
    list << "Product Version: " + platform.FileVersionText(programPath, 5);
    list << rule;

    const OsVersion os = platform.GetOsVersion();
    list << QString::asprintf("Operating System: %s %d.%.2d.%d", os.platform.toUtf8().constData(), os.major, os.minor,
                              os.build);
    list << rule;

    const char *labels[] = {"Windows Directory: ", "System Directory: "};
    for (int which = 0; which < 2; ++which) {
        int error = 0;
        const QString dir = platform.SystemDirectory(which, error);
        list << labels[which] +
                    (dir.isNull() ? QString("Cannot get the required infomation. Error Code: %1.").arg(error) : dir);
    }
    list << "Temporary Directory: " + platform.TempDirectory();
    list << rule;

    const MemoryStatus m = platform.GetMemoryStatus();
    list << "Memory Status:";
    list << QString("Memory in use: %1%").arg(m.load);
    list << "Total physical memory: " + FormatBytes(double(m.totalPhys)) + " bytes";
    list << "Free physical memory: " + FormatBytes(double(m.availPhys)) + " bytes";
    list << "Total page file memory: " + FormatBytes(double(m.totalPage)) + " bytes";
    list << "Free page file memory: " + FormatBytes(double(m.availPage)) + " bytes";
    list << "Total virtual memory: " + FormatBytes(double(m.totalVirtual)) + " bytes";
    list << "Free virtual memory: " + FormatBytes(double(m.availVirtual)) + " bytes";
    list << rule;

    list << "Environment Information:";
    const QStringList env = platform.Environment();
    if (env.isEmpty())
        list << QString();
    else
        list << env;
    list << rule;

    list << "Drive Information:";
    for (const DriveInfo &d : platform.Drives()) {
        const QString type = kDriveTypeNames[d.type >= 0 && d.type <= 6 ? d.type : 0];
        if (d.type == kDriveFixed)
            list << QString("%1, %2, Total Disk Spaces: %3 bytes, Free Disk Spaces: %4 bytes.")
                        .arg(d.root, type, FormatBytes(double(d.total)), FormatBytes(double(d.free)));
        else
            list << d.root + ", " + type;
    }
    list << rule << "End of System Information" << rule;
}
