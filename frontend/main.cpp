// orvane: the window of Velmora.
#include <QApplication>
#include <QIcon>

#include "MainFrm.h"
#include "QtPlatform.h"
#include "VersionInfo.h"
#include "WenkUtils.h"

#include <cstdio>
#include <cstring>

int main(int argc, char **argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("orvane %s\n", wenk::GetFileVersionText(wenk::OwnProgramPath(), 2).c_str());
        return 0;
    }
    Q_INIT_RESOURCE(resources);
    QApplication app(argc, argv);
    // No display name: Qt would append it to the title of every window and
    // message box.
    QApplication::setApplicationDisplayName(QString());
    QApplication::setWindowIcon(QIcon(":/icon.png"));
    const std::string program = wenk::OwnProgramPath();
    const std::string name = program.substr(program.find_last_of('/') + 1);
    QtPlatform platform(wenk::RemoveFileExt(name), QString::fromStdString(program));

    QStringList arguments = QApplication::arguments();
    arguments.removeFirst();
    int status = 0;
    {
        TMainForm form(platform, &RecoverFile, arguments, QString::fromStdString(program));
        form.FormCreate();
        form.show();
        if (!form.TerminateRequested())
            status = QApplication::exec();
    } // FormDestroy saves the settings
    return status;
}
