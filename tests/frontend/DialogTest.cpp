// The real platform's directory dialog: a typed directory that does not
// exist is offered for creation; the dialog has a Help button.
#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include "EngineHarness.h"
#include "QtPlatform.h"

using namespace test;

namespace {

// Runs action on the modal widget of type T as soon as it is shown.
template <class T> void WhenShown(std::function<void(T *)> action)
{
    auto *timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, [timer, action] {
        if (auto *w = qobject_cast<T *>(QApplication::activeModalWidget())) {
            timer->stop();
            timer->deleteLater();
            action(w);
        }
    });
    timer->start(20);
}

TEST(DirectoryDialog, OffersToCreateATypedDirectoryAndHasHelp)
{
    TempDir dir;
    MakeDir(dir / "photos");
    QtPlatform platform("velmora-dialog-test", "/nonexistent/orvane");
    bool hasHelp = false, asked = false, okEnabled = false;
    QString startedIn;
    WhenShown<QFileDialog>([&](QFileDialog *dialog) {
        startedIn = dialog->directory().absolutePath();
        auto *buttons = dialog->findChild<QDialogButtonBox *>();
        hasHelp = buttons && buttons->button(QDialogButtonBox::Help) != nullptr;
        // The user types a name that does not exist yet and clicks OK.
        auto *name = dialog->findChild<QLineEdit *>("fileNameEdit");
        name->selectAll();
        QTest::keyClicks(name, "made/here");
        QPushButton *ok = buttons->button(QDialogButtonBox::Open);
        okEnabled = ok->isEnabled();
        WhenShown<QMessageBox>([&](QMessageBox *box) {
            asked = box->text() == "The specified directory does not exist. Create it?";
            QTest::mouseClick(box->button(QMessageBox::Yes), Qt::LeftButton);
        });
        QTest::mouseClick(ok, Qt::LeftButton);
        QTimer::singleShot(2000, dialog, [dialog] { dialog->reject(); }); // a click that did nothing
    });
    QString chosen;
    // Starts at the nearest existing parent of a directory still to be made.
    ASSERT_TRUE(platform.SelectDirectory(nullptr, QString::fromStdString(dir / "photos/cat_recovered/sub/"), chosen));
    EXPECT_EQ(startedIn, QString::fromStdString(dir / "photos"));
    EXPECT_TRUE(hasHelp);
    EXPECT_TRUE(okEnabled) << "OK is the way to a directory that does not exist yet";
    EXPECT_TRUE(asked);
    EXPECT_EQ(chosen, QString::fromStdString(dir / "photos/made/here"));
    EXPECT_TRUE(FileExists(dir / "photos/made/here"));
}

TEST(DirectoryDialog, NoKeepsTheDialogOpenAndCancelChangesNothing)
{
    TempDir dir;
    QtPlatform platform("velmora-dialog-test", "/nonexistent/orvane");
    int asks = 0;
    WhenShown<QFileDialog>([&](QFileDialog *dialog) {
        dialog->findChild<QLineEdit *>("fileNameEdit")->setText("not-made");
        WhenShown<QMessageBox>([&](QMessageBox *box) {
            ++asks;
            box->button(QMessageBox::No)->click();
        });
        QMetaObject::invokeMethod(dialog, "accept", Qt::DirectConnection); // answered No: stays open
        QTimer::singleShot(200, dialog, [dialog] { dialog->reject(); });
    });
    QString chosen = "unchanged";
    EXPECT_FALSE(platform.SelectDirectory(nullptr, QString::fromStdString(dir.Path()), chosen));
    EXPECT_EQ(asks, 1);
    EXPECT_EQ(chosen, "unchanged");
    EXPECT_FALSE(FileExists(dir / "not-made"));
}

} // namespace

#include <QCheckBox>
#include <QGridLayout>

#include "logdlg.h"

namespace {

TEST(SaveLogDialog, CheckBoxBelowTheStandardControls)
{
    TSaveLogDialog dialog;
    QCheckBox *box = dialog.SystemInfoCheckBox();
    EXPECT_EQ(box->text(), "Include S&ystem Information");
    EXPECT_EQ(box->toolTip(), "Include system information in the log file");
    EXPECT_TRUE(dialog.IncludeSysInfo()) << "ticked when created";
    dialog.SetIncludeSysInfo(false);
    EXPECT_FALSE(box->isChecked());
    EXPECT_FALSE(dialog.property("IncludeSysInfo").toBool());
    EXPECT_EQ(dialog.defaultSuffix(), "log");
    EXPECT_EQ(dialog.nameFilters(), QStringList{"Log files (*.log)"});
    EXPECT_EQ(dialog.acceptMode(), QFileDialog::AcceptSave);
    auto *grid = qobject_cast<QGridLayout *>(dialog.layout());
    ASSERT_NE(grid, nullptr);
    int row, column, rowSpan, columnSpan, nameRow, nameColumn;
    grid->getItemPosition(grid->indexOf(box), &row, &column, &rowSpan, &columnSpan);
    grid->getItemPosition(grid->indexOf(dialog.findChild<QLineEdit *>("fileNameEdit")), &nameRow, &nameColumn,
                          &rowSpan, &columnSpan);
    EXPECT_EQ(row, grid->rowCount() - 1) << "below everything else";
    EXPECT_EQ(column, nameColumn) << "aligned with the file-name box";
}

} // namespace

namespace {

TEST(SaveLogDialog, OpensAtTheProposedFileAndSavesThere)
{
    TempDir dir;
    const std::string out = MakeDir(dir / "cat_recovered");
    QtPlatform platform("velmora-dialog-test", "/nonexistent/orvane");
    QString startedIn, name;
    WhenShown<TSaveLogDialog>([&](TSaveLogDialog *dialog) {
        startedIn = dialog->directory().absolutePath();
        name = dialog->findChild<QLineEdit *>("fileNameEdit")->text();
        QTest::mouseClick(dialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Save), Qt::LeftButton);
    });
    bool include = true;
    QString file = QString::fromStdString(out / "cat.log");
    ASSERT_TRUE(platform.GetSaveLogFileName(nullptr, include, file));
    EXPECT_EQ(startedIn, QString::fromStdString(out));
    EXPECT_EQ(name, "cat.log");
    EXPECT_EQ(file, QString::fromStdString(out / "cat.log"));
}

TEST(SaveLogDialog, TheBoxKeepsAChangeMadeBeforeCancel)
{
    QtPlatform platform("velmora-dialog-test", "/nonexistent/orvane");
    WhenShown<TSaveLogDialog>([](TSaveLogDialog *dialog) {
        QCheckBox *box = dialog->SystemInfoCheckBox();
        QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(6, box->height() / 2));
        QTest::mouseClick(dialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Cancel), Qt::LeftButton);
    });
    bool include = true;
    QString file = "unchanged";
    EXPECT_FALSE(platform.GetSaveLogFileName(nullptr, include, file));
    EXPECT_FALSE(include);
    EXPECT_EQ(file, "unchanged");
}

TEST(ShellOpen, TheOpenersExitStatusCounts)
{
    TempDir dir;
    const std::pair<const char *, bool> openers[] = {
        {"true", true}, {"false", false}, {"/nonexistent/xdg-open", false}};
    for (const auto &[opener, result] : openers) {
        QtPlatform platform("velmora-dialog-test", "/nonexistent/orvane", opener);
        EXPECT_EQ(platform.ShellOpen(QString::fromStdString(dir.Path())), result) << opener;
    }
}

} // namespace

namespace {

TEST(Drives, OneLinePerMountPointTheLastMountWins)
{
    TempDir dir;
    const std::string table = "/dev/root / ext4 rw 0 0\n"
                              "proc /proc proc rw 0 0\n"
                              "tmpfs /scratch tmpfs rw 0 0\n"
                              "server:/x /net nfs4 rw 0 0\n"
                              "/dev/root / ext4 rw 0 0\n"
                              "/dev/loop7 /scratch ext4 rw 0 0\n";
    WriteFile(dir / "mounts", Bytes(table.begin(), table.end()));
    const std::vector<DriveInfo> drives = DrivesOfMounts((dir / "mounts").c_str());
    ASSERT_EQ(drives.size(), 3u);
    EXPECT_EQ(drives[0].root, "/");
    EXPECT_EQ(drives[1].root, "/scratch");
    EXPECT_EQ(drives[1].type, kDriveFixed) << "the file system mounted over the first";
    EXPECT_EQ(drives[2].root, "/net");
    EXPECT_EQ(drives[2].type, kDriveRemote);
}

} // namespace
