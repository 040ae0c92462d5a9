// Takes a screenshot of each page of the real window, as the X server shows
// it (run under Xvfb: scripts/screenshots). With a damaged file, the
// Recovered Files page is shown after a real repair of it.
//   orvane_screenshots OUTPUT_DIR [DAMAGED_FILE]
#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QScreen>
#include <QTabWidget>
#include <QThread>
#include <QTimer>

#include "MainFrm.h"
#include "QtPlatform.h"
#include "RecoveredFiles.h"
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
    const char *names[] = {"repair", "batch", "files", "options", "advanced", "about"};
    for (int i = 0; i < 6; ++i) {
        if (i == 0 && argc > 2)
            continue; // the Repair page is taken after the repair
        pages->setCurrentIndex(i);
        for (int k = 0; k < 20; ++k) {
            QApplication::processEvents();
            QThread::msleep(25);
        }
        const QPixmap shot = QApplication::primaryScreen()->grabWindow(form.winId());
        shot.save(out + "/" + names[i] + ".png");
    }
    const auto settle = [] {
        for (int k = 0; k < 20; ++k) {
            QApplication::processEvents();
            QThread::msleep(25);
        }
    };
    if (argc > 2) {
        // A real repair of the damaged file; its result message is answered.
        QTemporaryDir work;
        QTimer answer;
        QObject::connect(&answer, &QTimer::timeout, [] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget()))
                box->accept();
        });
        answer.start(50);
        form.findChild<QCheckBox *>("chkOpenFixed")->setChecked(false);
        form.findChild<QLineEdit *>("txtSrcFile")->setText(argv[2]);
        form.findChild<QLineEdit *>("txtDstFile")->setText(work.filePath("recovered/"));
        form.btnRepairClick();
        for (int k = 0; k < 200 && form.RecoveredFiles().Pending() > 0; ++k)
            settle();
        pages->setCurrentWidget(form.findChild<QWidget *>("tsFiles"));
        auto *grid = form.findChild<QListWidget *>("RecoveredList");
        grid->setCurrentRow(0);
        settle();
        QApplication::primaryScreen()->grabWindow(form.winId()).save(out + "/files.png");
        pages->setCurrentIndex(0);
        settle();
        QApplication::primaryScreen()->grabWindow(form.winId()).save(out + "/repair.png");
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
