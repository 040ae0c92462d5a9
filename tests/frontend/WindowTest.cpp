// Start-up, pages, settings, the command line, the key filter, the drop box.
#include <QDragEnterEvent>
#include <QMimeData>
#include <QScreen>
#include <QScrollBar>
#include <QTabBar>
#include <QTest>
#include <QUrl>

#include "RegStore.h"
#include "VersionInfo.h"
#include "WindowFixture.h"

using namespace test;

namespace {

class Window : public WindowFixture {};

TEST_F(Window, FirstStartShowsTheDefaults)
{
    Create();
    EXPECT_EQ(W<QSpinBox>("txtHeight")->value(), 600);
    EXPECT_EQ(W<QSpinBox>("txtWidth")->value(), 800);
    EXPECT_EQ(W<QSpinBox>("txtChannelCount")->value(), 3);
    EXPECT_EQ(W<QComboBox>("cmbDepth")->currentText(), "8 Bits/Channel");
    EXPECT_EQ(W<QComboBox>("cmbMode")->currentText(), "RGB");
    EXPECT_TRUE(W<QCheckBox>("chkOpenFixed")->isChecked());
    EXPECT_TRUE(W<QCheckBox>("chkHeuristicRecovery")->isChecked());
    EXPECT_EQ(W<QLineEdit>("txtTempDir")->text(), "/tmp/");
    EXPECT_EQ(W<QSpinBox>("txtBufSize")->value(), 512);
    EXPECT_FALSE(W<QPushButton>("btnRepair")->isEnabled());
    EXPECT_EQ(W<QTabWidget>("pcMain")->currentIndex(), 0);
    EXPECT_EQ(form->windowTitle(), "Velmora v1.1");
    EXPECT_EQ(W<QLabel>("labVersion")->text(), "1.1.0.0");
    EXPECT_EQ(W<QLabel>("labSelSrcFile")->text(), "Select &Photoshop image file to be repaired:");
    const QLabel *src = W<QLabel>("labSelSrcFile");
    EXPECT_EQ(W<QLineEdit>("txtSrcFile")->x(), src->x() + src->width() + 10);
    EXPECT_EQ(W<QLineEdit>("txtDstFile")->width(), W<QLineEdit>("txtSrcFile")->width());
    EXPECT_TRUE(platform.messages.empty());
    Destroy();
    EXPECT_EQ(std::get<QString>(platform.store.values.at("OpenFixed")), "1");
    EXPECT_EQ(std::get<int32_t>(platform.store.values.at("Rows")), 600);
    EXPECT_EQ(std::get<QString>(platform.store.values.at("TempDir")), "/tmp/");
    EXPECT_EQ(std::get<int32_t>(platform.store.values.at("SaveFilterIndex")), 1);
}

TEST_F(Window, UnmappedDepthAndModeStayUnselectedAndAreKept)
{
    platform.store.values["Depth"] = 12;
    platform.store.values["Mode"] = 5;
    Create();
    EXPECT_EQ(W<QComboBox>("cmbDepth")->currentIndex(), -1);
    EXPECT_EQ(W<QComboBox>("cmbMode")->currentIndex(), -1);
    RepairOptions o;
    form->FillRepairOptions(o);
    EXPECT_EQ(o.ColorMode, 0) << "no selection passes 0";
    EXPECT_EQ(o.BitsPerChannel, 0);
    Destroy();
    EXPECT_EQ(std::get<int32_t>(platform.store.values.at("Depth")), 12);
    EXPECT_EQ(std::get<int32_t>(platform.store.values.at("Mode")), 5);
}

TEST_F(Window, IntegersStoredAsStringsAreReadAndWrittenBackAsStrings)
{
    platform.store.values["Rows"] = QString("640");
    platform.store.values["Columns"] = QString("wide");
    platform.store.values["HeuristicRecovery"] = QString("0");
    Create();
    EXPECT_EQ(W<QSpinBox>("txtHeight")->value(), 640);
    EXPECT_EQ(W<QSpinBox>("txtWidth")->value(), 800) << "no number: the default";
    EXPECT_FALSE(W<QCheckBox>("chkHeuristicRecovery")->isChecked());
    Destroy();
    EXPECT_EQ(std::get<QString>(platform.store.values.at("Rows")), "640");
    EXPECT_EQ(std::get<QString>(platform.store.values.at("Columns")), "800");
}

TEST_F(Window, ChoicesSurviveARestartInTheRegFile)
{
    TempDir dir;
    RegFileStore file(dir / "velmora/orvane.reg", "Software\\orvane\\Misc");
    platform.storeOverride = &file;
    Create();
    W<QComboBox>("cmbDepth")->setCurrentIndex(2);
    W<QComboBox>("cmbMode")->setCurrentIndex(7);
    Destroy();
    const Bytes text = ReadFile(dir / "velmora/orvane.reg");
    const std::string content(text.begin(), text.end());
    EXPECT_EQ(content.rfind("Windows Registry Editor Version 5.00\n", 0), 0u) << content;
    EXPECT_NE(content.find("[HKEY_CURRENT_USER\\Software\\orvane\\Misc]"), std::string::npos);
    EXPECT_NE(content.find("\"Depth\"=dword:00000010"), std::string::npos) << content;
    EXPECT_NE(content.find("\"Mode\"=dword:00000009"), std::string::npos);
    EXPECT_NE(content.find("\"OpenFixed\"=\"1\""), std::string::npos);
    EXPECT_NE(content.find("\"TempDir\"=\"/tmp/\""), std::string::npos);
    Create();
    EXPECT_EQ(W<QComboBox>("cmbDepth")->currentText(), "16 Bits/Channel");
    EXPECT_EQ(W<QComboBox>("cmbMode")->currentText(), "Lab");
    Destroy(); // before the store goes
}

TEST_F(Window, AValueOfAnotherTypeStopsStartUpAndNothingIsWrittenOver)
{
    platform.store.values["Rows"] = 700;
    platform.store.otherTypes["Channels"] = "Invalid data type for 'Channels'";
    Create();
    EXPECT_EQ(Messages(), QStringList{"Velmora: Invalid data type for 'Channels'"});
    // The pages show the defaults, not the controls' bare minimums.
    EXPECT_EQ(W<QSpinBox>("txtHeight")->value(), 600);
    EXPECT_EQ(W<QSpinBox>("txtWidth")->value(), 800);
    EXPECT_EQ(W<QSpinBox>("txtChannelCount")->value(), 3);
    EXPECT_EQ(W<QComboBox>("cmbDepth")->currentText(), "8 Bits/Channel");
    EXPECT_EQ(W<QComboBox>("cmbMode")->currentText(), "RGB");
    EXPECT_EQ(W<QSpinBox>("txtBufSize")->value(), 512);
    EXPECT_EQ(W<QLineEdit>("txtTempDir")->text(), "/tmp/");
    Destroy();
    EXPECT_EQ(std::get<int32_t>(platform.store.values.at("Rows")), 700);
    EXPECT_EQ(platform.store.otherTypes.count("Channels"), 1u) << "the settings that could not be read are not replaced";
}

TEST_F(Window, CommandLineWithOnlySwitchesNamesNoFile)
{
    Create({"-E", "/o"});
    EXPECT_EQ(Messages(), QStringList{"Error: Cannot open file "});
    EXPECT_EQ(FakeScript().calls, 0);
    EXPECT_FALSE(form->TerminateRequested());
}

TEST_F(Window, CommandLineFileWithERepairsThenEndsWithOpenFixedCleared)
{
    TempDir dir;
    WriteFile(dir / "cat.psd", Bytes(10, 1));
    FakeScript().steps = SimpleRun({"Read data of layer 0."});
    Create({"/e", QString::fromStdString(dir / "cat.psd"), "-Ox"}); // "-Ox" is no switch
    EXPECT_EQ(FakeScript().calls, 1);
    EXPECT_EQ(FakeScript().source, dir / "cat.psd");
    EXPECT_EQ(FakeScript().outputDir, dir / "cat_recovered/");
    EXPECT_FALSE(FileExists(dir / "cat_recovered")) << "made for the engine, left empty by it: removed";
    EXPECT_TRUE(form->TerminateRequested());
    ASSERT_EQ(platform.messages.size(), 1u);
    EXPECT_EQ(platform.messages[0].caption, "Information");
    EXPECT_TRUE(platform.shellOpened.empty()) << "switch O was absent";
    Destroy();
    EXPECT_EQ(std::get<QString>(platform.store.values.at("OpenFixed")), "0");
}

TEST_F(Window, CommandLineSwitchOOpensTheDirectory)
{
    TempDir dir;
    WriteFile(dir / "cat.psd", Bytes(10, 1));
    FakeScript().steps = SimpleRun({});
    platform.store.values["OpenFixed"] = QString("0");
    Create({QString::fromStdString(dir / "cat.psd"), "/o"});
    EXPECT_TRUE(W<QCheckBox>("chkOpenFixed")->isChecked());
    EXPECT_EQ(platform.shellOpened, std::vector<QString>{QString::fromStdString(dir / "cat_recovered/")});
    EXPECT_FALSE(form->TerminateRequested());
}

TEST_F(Window, CommandLineMissingFileOrADirectory)
{
    TempDir dir;
    for (const std::string &name : {std::string("/nowhere/lost.psd"), dir.Path(), dir.Path() + "/"}) {
        platform.messages.clear();
        Create({QString::fromStdString(name)});
        EXPECT_EQ(Messages(), QStringList{"Error: Cannot open file " + QString::fromStdString(name)});
        EXPECT_EQ(FakeScript().calls, 0) << name;
        Destroy();
    }
}

TEST_F(Window, RebuildBoxIsStoredBesideTheOthersAndAnOldFileGivesTicked)
{
    Create(); // a store without the value: the box is ticked
    auto *rebuild = W<QCheckBox>("chkRebuildDocument");
    EXPECT_EQ(rebuild->text(), "Rebuild a layered &document from the recovered layers");
    EXPECT_TRUE(rebuild->isChecked());
    QTest::mouseClick(rebuild, Qt::LeftButton, {}, QPoint(6, rebuild->height() / 2));
    EXPECT_FALSE(rebuild->isChecked());
    QTest::mouseClick(W<QCheckBox>("chkHeuristicRecovery"), Qt::LeftButton, {}, QPoint(6, 8));
    RepairOptions o;
    form->FillRepairOptions(o);
    EXPECT_EQ(o.RecoveryFlags, ZELT_REPORT_COARSE | ZELT_RECOVER_PREVIEW | ZELT_RECOVER_SALVAGE | ZELT_COMPRESS_DOCUMENT)
        << "both boxes cleared";
    Destroy();
    EXPECT_EQ(std::get<QString>(platform.store.values.at("RebuildDocument")), "0");
    Create();
    EXPECT_FALSE(W<QCheckBox>("chkRebuildDocument")->isChecked());
    form->FillRepairOptions(o);
    EXPECT_EQ(o.RecoveryFlags & ZELT_RECOVER_REBUILD, 0u);
}

TEST_F(Window, LayoutAsTheUserSeesIt)
{
    Create();
    form->show();
    QCoreApplication::processEvents();
    // In the middle of the screen, with no window manager to place it.
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    const QSize frame = form->frameGeometry().size() - form->size(); // the platform's decoration, if any
    EXPECT_LE((form->geometry().center() - screen.center()).manhattanLength(), frame.width() + frame.height() + 1);
    // The animation stands clear of the buttons, and its clip's background is
    // the page's, not a square of its own.
    QWidget *anim = W<QLabel>("Animate");
    for (const char *name : {"btnRepair", "btnSaveLog", "btnHelp"}) {
        QWidget *button = W<QPushButton>(name);
        const QRect r(button->mapTo(form.get(), QPoint(0, 0)), button->size());
        EXPECT_FALSE(r.intersects(anim->geometry())) << name;
    }
    const QImage shot = form->grab().toImage();
    const QRect a = anim->geometry();
    const QRgb page = shot.pixel(a.left() - 3, a.top() + 2);
    for (const QPoint &corner : {a.topLeft(), a.topRight(), a.bottomLeft(), a.bottomRight()}) {
        const QPoint inner = corner + QPoint(corner.x() == a.left() ? 1 : -1, corner.y() == a.top() ? 1 : -1);
        EXPECT_EQ(QColor(shot.pixel(inner)).name(), QColor(page).name());
    }
    // Every page's tab in sight, none behind scroll buttons.
    QTabBar *tabs = W<QTabWidget>("pcMain")->tabBar();
    for (int i = 0; i < tabs->count(); ++i)
        EXPECT_TRUE(tabs->rect().contains(tabs->tabRect(i))) << tabs->tabText(i).toStdString();
    // A long log line wraps: no scrolling sideways.
    auto *log = W<QPlainTextEdit>("txtRepairLog");
    log->appendPlainText("File to be repaired: '" + QString(300, 'x') + "'; File size = 1 bytes");
    QCoreApplication::processEvents();
    EXPECT_EQ(log->horizontalScrollBar()->maximum(), 0);
}

TEST_F(Window, NumericKeyFilterBeepsOnLetters)
{
    Create();
    for (const char *name : {"txtHeight", "txtWidth", "txtChannelCount", "txtBufSize"}) {
        QLineEdit *edit = W<QSpinBox>(name)->findChild<QLineEdit *>();
        edit->selectAll();
        QTest::keyClicks(edit, "12");
        const int beeps = platform.beeps;
        QTest::keyClicks(edit, "a-");
        EXPECT_EQ(platform.beeps, beeps + 2) << name;
        EXPECT_EQ(edit->text(), "12") << name;
        QTest::keyClick(edit, Qt::Key_Backspace);
        EXPECT_EQ(edit->text(), "1") << name;
        EXPECT_EQ(platform.beeps, beeps + 2);
    }
}

TEST_F(Window, PageSwitchingShowsTheGaugeAndAnimationOnlyOnTheRepairPages)
{
    Create();
    form->show();
    auto *pages = W<QTabWidget>("pcMain");
    QWidget *anim = W<QLabel>("Animate");
    QWidget *gauge = W<QWidget>("Panel2");
    EXPECT_TRUE(anim->isVisible());
    EXPECT_EQ(anim->y(), 188);
    pages->setCurrentWidget(W<QWidget>("tsOptions"));
    EXPECT_FALSE(anim->isVisible());
    EXPECT_FALSE(gauge->isVisible());
    pages->setCurrentIndex(1);
    EXPECT_TRUE(anim->isVisible());
    EXPECT_TRUE(gauge->isVisible());
    EXPECT_EQ(anim->y(), 146);
    pages->setCurrentWidget(W<QWidget>("tsAbout"));
    EXPECT_FALSE(anim->isVisible());
    pages->setCurrentIndex(0);
    EXPECT_EQ(anim->y(), 188);
    EXPECT_TRUE(gauge->isVisible());
}

TEST_F(Window, HelpAboutLinksAndTheTemporaryDirectoryPicker)
{
    Create();
    QTest::mouseClick(W<QPushButton>("btnHelp"), Qt::LeftButton);
    ASSERT_EQ(platform.helpShown.size(), 1u);
    EXPECT_TRUE(platform.helpShown[0].first.endsWith(".html"));
    QTest::mouseClick(W<QLabel>("labHomepage"), Qt::LeftButton);
    QTest::mouseClick(W<QLabel>("labEmail"), Qt::LeftButton);
    EXPECT_EQ(platform.shellOpened,
              (std::vector<QString>{"https://velmora.example.org/", "mailto:support@velmora.example.org"}));
    platform.folderAnswers = {"/var/scratch", QString()};
    QTest::mouseClick(W<QPushButton>("btnMoreDir"), Qt::LeftButton);
    EXPECT_EQ(W<QLineEdit>("txtTempDir")->text(), "/var/scratch") << "no separator is added";
    QTest::mouseClick(W<QPushButton>("btnMoreDir"), Qt::LeftButton);
    EXPECT_EQ(W<QLineEdit>("txtTempDir")->text(), "/var/scratch") << "cancel changes nothing";
}

TEST_F(Window, DroppedFilesDeliverOnlyTheFirst)
{
    // The box on its own delivers the first file of a drop of several (the
    // window's source box passes such a drop on to the window's batch).
    TDragEdit edit;
    edit.AcceptDroppedFiles(true);
    edit.show();
    QString delivered;
    edit.OnDropFile = [&](TDragEdit *, const QString &file) { delivered = file; };
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile("/p/one.psd"), QUrl::fromLocalFile("/p/two.psd"), QUrl::fromLocalFile("/p/three.psd")});
    // A drop reaches the box that accepted the drag's entry.
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&edit, &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&edit, &drop);
    EXPECT_EQ(delivered, "/p/one.psd");
    // The window's box with one file: it becomes the source.
    Create();
    form->show();
    QMimeData one;
    one.setUrls({QUrl::fromLocalFile("/p/one.psd")});
    QDragEnterEvent enterOne(QPoint(5, 5), Qt::CopyAction, &one, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(W<TDragEdit>("txtSrcFile"), &enterOne);
    QDropEvent dropOne(QPointF(5, 5), Qt::CopyAction, &one, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(W<TDragEdit>("txtSrcFile"), &dropOne);
    EXPECT_EQ(W<QLineEdit>("txtSrcFile")->text(), "/p/one.psd");
    EXPECT_EQ(W<QLineEdit>("txtDstFile")->text(), "/p/one_recovered/");

    TDragEdit bare;
    bare.AcceptDroppedFiles(true);
    bare.show();
    bare.setText("kept");
    QDragEnterEvent enterBare(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&bare, &enterBare);
    QDropEvent again(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&bare, &again);
    EXPECT_EQ(bare.text(), "kept") << "no handler: nothing changes";
    EXPECT_TRUE(again.isAccepted()) << "the drop is finished";
}

TEST(VersionText, SelectorsAndAFileWithoutRecord)
{
    const std::string orvane = ORVANE_PATH;
    EXPECT_EQ(wenk::GetFileVersionText(orvane, 0), "1.1");
    EXPECT_EQ(wenk::GetFileVersionText(orvane, 1), "0.0");
    EXPECT_EQ(wenk::GetFileVersionText(orvane, 2), "1.1.0.0");
    EXPECT_EQ(wenk::GetFileVersionText(orvane, 3), "1.1");
    EXPECT_EQ(wenk::GetFileVersionText(orvane, 4), "0.0");
    EXPECT_EQ(wenk::GetFileVersionText(orvane, 5), "1.1.0.0");
    EXPECT_EQ(wenk::GetFileVersionText(orvane, 6), "");
    EXPECT_EQ(wenk::GetFileVersionText(wenk::OwnProgramPath(), 2), "") << "the test program has no record";
    EXPECT_EQ(wenk::GetFileVersionText("/nonexistent", 2), "");
}

} // namespace
