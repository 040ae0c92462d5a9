// Takes a screenshot of each page of the real window, as the X server shows
// it (run under Xvfb: scripts/screenshots).
//   orvane_screenshots OUTPUT_DIR
#include <QApplication>
#include <QScreen>
#include <QTabWidget>
#include <QThread>
#include <QTimer>

#include "MainFrm.h"
#include "QtPlatform.h"
#include "logdlg.h"
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include "VersionInfo.h"

int main(int argc, char **argv)
{
    Q_INIT_RESOURCE(resources);
    QApplication app(argc, argv);
    if (argc < 2)
        return 2;
    const QString out = argv[1];
    // The window shows the version of the program it belongs to.
    const QString program = QString::fromStdString(wenk::OwnProgramPath()).replace("orvane_screenshots", "orvane");
    QtPlatform platform("orvane-screenshots", program);
    TMainForm form(platform, &RecoverFile, {}, program);
    form.FormCreate();
    form.move(20, 20);
    form.show();
    auto *pages = form.findChild<QTabWidget *>("pcMain");
    const char *names[] = {"repair", "batch", "options", "advanced", "about"};
    for (int i = 0; i < 5; ++i) {
        pages->setCurrentIndex(i);
        for (int k = 0; k < 20; ++k) {
            QApplication::processEvents();
            QThread::msleep(25);
        }
        const QPixmap shot = QApplication::primaryScreen()->grabWindow(form.winId());
        shot.save(out + "/" + names[i] + ".png");
    }
    // The save-log dialog, with its check box below the standard controls.
    QTemporaryDir logs;
    QFile(logs.filePath("holiday-repair.log")).open(QIODevice::WriteOnly);
    TSaveLogDialog dialog(&form);
    dialog.setDirectory(logs.path());
    dialog.show();
    for (int k = 0; k < 20; ++k) {
        QApplication::processEvents();
        QThread::msleep(25);
    }
    QApplication::primaryScreen()->grabWindow(dialog.winId()).save(out + "/savelog.png");
    return 0;
}
