// Takes a screenshot of each page of the real window, as the X server shows
// it (run under Xvfb: scripts/screenshots). With damaged files, the first is
// repaired on its own (the Repair and Recovered Files pages after it), then
// all of them in a batch (the Batch Repair page and the grouped Recovered
// Files page after it, in a larger window).
//   orvane_screenshots OUTPUT_DIR [DAMAGED_FILE...]
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QScreen>
#include <QTabWidget>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>

#include "MainFrm.h"
#include "QtPlatform.h"
#include "RecoveredFiles.h"
#include "VersionInfo.h"
#include "logdlg.h"

namespace {

void Settle()
{
    for (int k = 0; k < 20; ++k) {
        QApplication::processEvents();
        QThread::msleep(25);
    }
}

void Shot(QWidget &window, const QString &file)
{
    Settle();
    QApplication::primaryScreen()->grabWindow(window.winId()).save(file);
}

} // namespace

int main(int argc, char **argv)
{
    Q_INIT_RESOURCE(resources);
    QApplication app(argc, argv);
    if (argc < 2)
        return 2;
    const QString out = argv[1];
    QStringList damaged;
    for (int i = 2; i < argc; ++i)
        damaged << QString::fromLocal8Bit(argv[i]);
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
        if (damaged.size() > 0 && (i == 0 || i == 1 || i == 2))
            continue; // taken after the repairs
        pages->setCurrentIndex(i);
        Shot(form, out + "/" + names[i] + ".png");
    }
    // The result messages are answered as a user would.
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget()))
            box->accept();
    });
    answer.start(50);
    form.findChild<QCheckBox *>("chkOpenFixed")->setChecked(false);
    auto *grid = form.findChild<QListWidget *>("RecoveredList");
    const auto thumbnails = [&form] {
        for (int k = 0; k < 200 && form.RecoveredFiles().Pending() > 0; ++k)
            Settle();
    };
    if (!damaged.isEmpty()) {
        // A real repair of the first file into its default folder beside it.
        form.findChild<QLineEdit *>("txtSrcFile")->setText(damaged.first());
        form.btnRepairClick();
        thumbnails();
        pages->setCurrentWidget(form.findChild<QWidget *>("tsFiles"));
        grid->setCurrentRow(1);
        Shot(form, out + "/files.png");
        pages->setCurrentIndex(0);
        Shot(form, out + "/repair.png");
    }
    if (damaged.size() > 1) {
        // All of them in a batch: the first one's folder holds its pieces
        // now, so it goes to the next free one.
        auto *list = form.findChild<QTreeWidget *>("FileList");
        for (const QString &file : damaged)
            list->addTopLevelItem(new QTreeWidgetItem({file, QString(), "Not Repaired", QString()}));
        form.resize(720, 520);
        form.btnRepairFilesClick();
        thumbnails();
        pages->setCurrentWidget(form.findChild<QWidget *>("tsBatch"));
        list->setCurrentItem(list->topLevelItem(1));
        Shot(form, out + "/batch.png");
        pages->setCurrentWidget(form.findChild<QWidget *>("tsFiles"));
        // The second file's group folded, the third's shown with a piece chosen.
        if (QListWidgetItem *second = form.RecoveredFiles().HeaderOf(damaged[1]))
            form.RecoveredFiles().SetCollapsed(second, true);
        grid->scrollToTop();
        grid->setCurrentRow(2);
        thumbnails();
        Shot(form, out + "/grouped.png");
        form.resize(479, 349);
    }
    // The save-log dialog, with its check box below the standard controls,
    // proposing the log beside the last repair's files.
    TSaveLogDialog dialog(&form);
    if (!damaged.isEmpty()) {
        dialog.setDirectory(form.findChild<QLineEdit *>("txtDstFile")->text());
        dialog.selectFile(QFileInfo(damaged.first()).completeBaseName() + ".log");
    }
    dialog.show();
    Shot(dialog, out + "/savelog.png");
    return 0;
}
