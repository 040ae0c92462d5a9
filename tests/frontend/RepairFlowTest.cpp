// Single-file and batch repairs through the window.
#include <QTest>
#include <QTimer>
#include <chrono>
#include <thread>
#include <unistd.h>

#include "WindowFixture.h"

using namespace test;

namespace {

const QString kRule(56, '-');

class Repair : public WindowFixture {
protected:
    void Paths(const QString &src, const QString &dst)
    {
        W<QLineEdit>("txtSrcFile")->setText(src);
        W<QLineEdit>("txtDstFile")->setText(dst);
    }
    void Click(const char *button) { QTest::mouseClick(W<QPushButton>(button), Qt::LeftButton); }
};

TEST_F(Repair, SuccessfulRunWritesTheWholeLogInOrder)
{
    TempDir dir;
    WriteFile(dir / "cat.psd", Bytes(1234567, 0));
    platform.msPerNow = 65250;
    FakeScript().steps = SimpleRun({"Read data of layer 0.", "Read merged image data."});
    FakeScript().steps.insert(FakeScript().steps.end() - 1, {MSG_ERROR, "Error 4: Cannot create file. Disk full."});
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    Create();
    const QString src = QString::fromStdString(dir / "cat.psd"), dst = QString::fromStdString(dir / "out");
    Paths(src, dst);
    W<QCheckBox>("chkOpenFixed")->setChecked(false);
    Click("btnRepair");
    EXPECT_EQ(LogLines(), (QStringList{
                              "Start repair process ...", kRule,
                              "File to be repaired: '" + src + "'; File size = 1,234,567 bytes",
                              "Output recovered image and layers to: '" + dst + "'", kRule,
                              "Read data of layer 0.", "Read merged image data.",
                              kRule, "Error 4: Cannot create file. Disk full.", kRule,
                              kRule, "Consumed time: 0 hour(s) 1 minute(s) 5 second(s) 250 millisecond(s).", kRule,
                              "Repair process completes.", kRule,
                              "File '" + src + "' has been repaired successfully!",
                              "Now you can open the directory '" + dst + "' containing all the recovered image and layers.",
                          }));
    EXPECT_EQ(Messages(), QStringList{"Information: File '" + src + "' has been repaired successfully!\nNow you can open the directory '" +
                                      dst + "' containing all the recovered image and layers."});
    EXPECT_TRUE(FakeScript().maskedProperly);
    EXPECT_EQ(FakeScript().outputDir, dst.toStdString()) << "passed as typed, without a separator";
    EXPECT_EQ(W<QPushButton>("btnRepair")->text(), "&Start Repair");
    EXPECT_EQ(W<QProgressBar>("Gauge")->value(), 100);
    EXPECT_FALSE(form->Running());
    EXPECT_TRUE(platform.shellOpened.empty());
    // The options the engine saw.
    EXPECT_EQ(FakeScript().options.StructSize, 22u);
    EXPECT_EQ(FakeScript().options.ImageHeight, 600u);
    EXPECT_EQ(FakeScript().options.ColorMode, 3);
    EXPECT_EQ(FakeScript().options.RecoveryFlags,
              ZELT_RECOVER_HEURISTIC | ZELT_RECOVER_REBUILD | ZELT_REPORT_COARSE | ZELT_RECOVER_PREVIEW |
                  ZELT_RECOVER_SALVAGE | ZELT_COMPRESS_DOCUMENT);
    QLocale::setDefault(QLocale::system());
}

TEST_F(Repair, FileSizeUsesTheLocaleSeparator)
{
    TempDir dir;
    WriteFile(dir / "cat.psd", Bytes(1234567, 0));
    FakeScript().steps = SimpleRun({});
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    Create();
    Paths(QString::fromStdString(dir / "cat.psd"), QString::fromStdString(dir / "out/"));
    Click("btnRepair");
    QLocale::setDefault(QLocale::system());
    EXPECT_TRUE(LogLines()[2].endsWith("File size = 1.234.567 bytes")) << LogLines()[2].toStdString();
}

TEST_F(Repair, DirectoryThatCannotBeCreatedAbortsBeforeTheEngine)
{
    TempDir dir;
    WriteFile(dir / "plain", {1});
    Create();
    const QString dst = QString::fromStdString(dir / "plain/sub/");
    Paths("/x/cat.psd", dst);
    Click("btnRepair");
    EXPECT_EQ(FakeScript().calls, 0);
    EXPECT_EQ(Messages(), QStringList{"Error: Cannot create the directory '" + dst + "'!"});
    EXPECT_EQ(LogLines(), (QStringList{"Start repair process ...", kRule, "Repair process is aborted."}));
    EXPECT_EQ(W<QPushButton>("btnRepair")->text(), "&Start Repair");
}

TEST_F(Repair, StopDuringTheRunAndADirectoryOpenedWhenFilesCame)
{
    TempDir dir;
    Create();
    auto steps = SimpleRun({}, 6);
    // At the third poll the user clicks Stop; the engine still returns success.
    steps[6].before = [this] { Click("btnRepair"); };
    FakeScript().steps = steps;
    Paths("/x/cat.psd", QString::fromStdString(dir / "out/"));
    Click("btnRepair");
    EXPECT_EQ(LogLines().last(), "User aborts the repair process");
    EXPECT_EQ(Messages(), QStringList{"Information: User aborts the repair process"});
    EXPECT_EQ(platform.shellOpened, std::vector<QString>{QString::fromStdString(dir / "out/")});
    EXPECT_EQ(FakeScript().answers.back(), -1);

    FakeScript() = FakeEngineScript{};
    FakeScript().steps = SimpleRun({});
    FakeScript().result = 0;
    platform.messages.clear();
    platform.shellResult = false;
    Click("btnRepair");
    EXPECT_EQ(Messages(), QStringList{"Information: Fail to repair file '/x/cat.psd'!"});
    EXPECT_EQ(platform.shellOpened.size(), 1u) << "nothing recovered: the directory is not opened";
}

TEST_F(Repair, ShellFailureIsReported)
{
    TempDir dir;
    Create();
    FakeScript().steps = SimpleRun({});
    platform.shellResult = false;
    const QString dst = QString::fromStdString(dir / "out/");
    Paths("/x/cat.psd", dst);
    Click("btnRepair");
    EXPECT_EQ(Messages().last(), "Error: Cannot open the directory '" + dst + "'!");
}

TEST_F(Repair, SelfExtractingWording)
{
    TempDir dir;
    Create();
    FakeScript().steps = SimpleRun({});
    const QString exe = QString::fromStdString(dir / "setup.Exe");
    Paths("/x/cat.psd", exe);
    Click("btnRepair");
    EXPECT_EQ(LogLines().last(), "Now you can run the fixed self-extracting file '" + exe + "'.");
    Paths("/x/cat.psd", exe + "/");
    Click("btnRepair");
    EXPECT_TRUE(LogLines().last().startsWith("Now you can open the directory")) << "with a separator it has no extension";
}

TEST_F(Repair, PathBoxesEnableTheButtonAndProposeTheOutputDirectory)
{
    Create();
    auto *src = W<QLineEdit>("txtSrcFile");
    auto *dst = W<QLineEdit>("txtDstFile");
    src->setText("   ");
    EXPECT_FALSE(W<QPushButton>("btnRepair")->isEnabled()) << "blanks only";
    EXPECT_EQ(dst->text(), "   _recovered/");
    dst->clear();
    src->setText("/photos/photo.psd");
    EXPECT_EQ(dst->text(), "/photos/photo_recovered/");
    EXPECT_TRUE(W<QPushButton>("btnRepair")->isEnabled());
    src->setText("/photos/other.psd");
    EXPECT_EQ(dst->text(), "/photos/other_recovered/") << "the proposal follows the source";
    platform.openAnswers = {{"/chosen/a.pdd"}};
    platform.openFilterAnswer = 2;
    QTest::mouseClick(W<QPushButton>("btnSrcMore"), Qt::LeftButton);
    EXPECT_EQ(src->text(), "/chosen/a.pdd");
    EXPECT_EQ(form->Settings().OpenFilterIndex, 2);
    EXPECT_EQ(platform.openRequests.back(), (std::pair<int, bool>{1, false}));
    platform.directoryAnswers = {"/chosen/out"};
    QTest::mouseClick(W<QPushButton>("btnDstMore"), Qt::LeftButton);
    EXPECT_EQ(dst->text(), "/chosen/out/");
}

TEST_F(Repair, TypedPathsTheOutputFollowsUntilTheUserWritesIt)
{
    TempDir dir;
    Create();
    auto *src = W<QLineEdit>("txtSrcFile");
    auto *dst = W<QLineEdit>("txtDstFile");
    const QString base = QString::fromStdString(dir.Path());
    QTest::keyClicks(src, base + "/cat.psd");
    EXPECT_EQ(dst->text(), base + "/cat_recovered/") << "the whole typed path, not its first letter";
    QTest::keyClick(src, Qt::Key_Backspace);
    QTest::keyClick(src, Qt::Key_Backspace);
    QTest::keyClick(src, Qt::Key_Backspace);
    QTest::keyClicks(src, "pdd");
    EXPECT_EQ(dst->text(), base + "/cat_recovered/");
    QTest::keyClick(src, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(src, Qt::Key_Delete);
    EXPECT_EQ(dst->text(), "") << "no source, no proposal";
    QTest::keyClicks(src, base + "/dog.psd");
    EXPECT_EQ(dst->text(), base + "/dog_recovered/");
    // The user's own output directory stays put.
    QTest::keyClick(dst, Qt::Key_End);
    QTest::keyClicks(dst, "mine/");
    QTest::keyClicks(src, "x");
    EXPECT_EQ(dst->text(), base + "/dog_recovered/mine/");
    // Enter in either box starts the repair, into the directory shown.
    FakeScript().steps = SimpleRun({});
    QTest::keyClick(dst, Qt::Key_Return);
    EXPECT_EQ(FakeScript().calls, 1);
    EXPECT_EQ(FakeScript().outputDir, dir / "dog_recovered/mine/");
    // Emptied by the user, it proposes again; chosen in the dialog, it stays.
    dst->selectAll();
    QTest::keyClick(dst, Qt::Key_Delete);
    QTest::keyClicks(src, "y");
    EXPECT_EQ(dst->text(), base + "/dog_recovered/");
    platform.directoryAnswers = {base + "/chosen"};
    QTest::mouseClick(W<QPushButton>("btnDstMore"), Qt::LeftButton);
    QTest::keyClicks(src, "z");
    EXPECT_EQ(dst->text(), base + "/chosen/");
    QTest::keyClick(src, Qt::Key_Enter);
    EXPECT_EQ(FakeScript().calls, 2);
    // With the button disabled, Enter does nothing.
    src->clear();
    QTest::keyClick(dst, Qt::Key_Return);
    EXPECT_EQ(FakeScript().calls, 2);
}

TEST_F(Repair, FileSizeOfNamesThatLookLikePatterns)
{
    TempDir dir;
    Create();
    FakeScript().steps = SimpleRun({});
    WriteFile(dir / "a1.psd", Bytes(1, 0)); // what the names would match as patterns
    WriteFile(dir / "ab.psd", Bytes(2, 0));
    W<QCheckBox>("chkOpenFixed")->setChecked(false);
    const std::pair<const char *, int> cases[] = {{"a[1].psd", 11}, {"a*.psd", 12}, {"a?.psd", 13}, {"a]b[.psd", 14}};
    for (const auto &[name, size] : cases) {
        WriteFile(dir / name, Bytes(size, 0));
        Paths(QString::fromStdString(dir / name), QString::fromStdString(dir / "out/"));
        Click("btnRepair");
        EXPECT_TRUE(LogLines()[2].endsWith(QString("File size = %1 bytes").arg(size))) << LogLines()[2].toStdString();
    }
}

TEST_F(Repair, StopReachesTheEngineAtAPollWhenProgressStandsStill)
{
    // Coarse reports: no progress for a long stretch, only polls. The window
    // pumps on a poll when its ticker is due, and the Stop clicked in that
    // pump is the answer to the same poll.
    TempDir dir;
    Create();
    std::vector<EngineStep> steps{{MSG_PROGRESS, "", 0}};
    for (int i = 0; i < 40; ++i)
        steps.push_back({MSG_QUERY_ABORT, "", 0, [] { std::this_thread::sleep_for(std::chrono::milliseconds(5)); }});
    steps.push_back({MSG_PROGRESS, "", 100});
    FakeScript().steps = steps;
    int pumpsBeforeStop = -1;
    platform.onPump = [&] {
        if (platform.pumps == 2) { // the first pump after the start's
            pumpsBeforeStop = int(FakeScript().answers.size());
            Click("btnRepair");
        }
    };
    Paths("/x/cat.psd", QString::fromStdString(dir / "out/"));
    Click("btnRepair");
    ASSERT_GE(pumpsBeforeStop, 0) << "no pump during the polls";
    EXPECT_LT(pumpsBeforeStop, 10) << "pumped within a tick or two of 25 ms";
    ASSERT_EQ(FakeScript().answers.size(), std::size_t(pumpsBeforeStop + 1));
    EXPECT_EQ(FakeScript().answers.back(), -1);
    EXPECT_EQ(LogLines().last(), "User aborts the repair process");
}

TEST_F(Repair, StartRequestWhileStoppingIsIgnored)
{
    TempDir dir;
    Create();
    auto steps = SimpleRun({}, 5);
    steps[4].before = [this] { Click("btnRepair"); };  // Stop
    steps[6].before = [this] { Click("btnRepair"); Click("btnRepairFiles"); }; // start requests while stopping
    FakeScript().steps = steps;
    FakeScript().honourStop = false; // the engine goes on a little before it stops
    Paths("/x/cat.psd", QString::fromStdString(dir / "out/"));
    Click("btnRepair");
    EXPECT_EQ(FakeScript().calls, 1) << "no second engine call";
    EXPECT_FALSE(form->Running());
}

TEST_F(Repair, ClosingTheWindowDuringARepairStopsItAndClosesAfterTheEngine)
{
    TempDir dir;
    Create();
    form->show();
    auto steps = SimpleRun({}, 5);
    steps[4].before = [this] { form->close(); };
    FakeScript().steps = steps;
    Paths("/x/cat.psd", QString::fromStdString(dir / "out/"));
    Click("btnRepair");
    EXPECT_TRUE(form->isVisible()) << "not closed inside the engine call";
    EXPECT_EQ(FakeScript().answers.back(), -1) << "the engine was asked to stop";
    QCoreApplication::processEvents();
    EXPECT_FALSE(form->isVisible());
    Destroy();
    EXPECT_EQ(platform.store.values.count("Rows"), 1u) << "the settings are still saved";
}

TEST_F(Repair, GaugeAndPumpFollowThePercentageAndTheTicker)
{
    Create();
    std::vector<EngineStep> steps{{MSG_PROGRESS, "", 0}};
    for (int i = 0; i < 200000; ++i)
        steps.push_back({MSG_PROGRESS, "", 5});
    // A long step: the ticker's flag comes up meanwhile, and the next
    // report of the same percentage pumps.
    steps.push_back({MSG_PROGRESS, "", 5, [] { std::this_thread::sleep_for(std::chrono::milliseconds(80)); }});
    steps.push_back({MSG_PROGRESS, "", 5});
    FakeScript().steps = steps;
    TempDir dir;
    Paths("/x/cat.psd", QString::fromStdString(dir / "out/"));
    int gaugeAtPump = -1;
    platform.onPump = [&] { gaugeAtPump = W<QProgressBar>("Gauge")->value(); };
    Click("btnRepair");
    // 0 and 5 are changes; the 200000 equal reports ran in far less than a
    // tick; after the long step one more pump.
    EXPECT_GE(platform.pumps, 3);
    EXPECT_LE(platform.pumps, 5);
    EXPECT_EQ(gaugeAtPump, 5);
}

TEST_F(Repair, RealEngineOnAGeneratedFile)
{
    TempDir dir;
    WriteFile(dir / "cat.psd", PsdFile(3, 2, 2, 8, 3, {{0, 0, 1, 1, {{0, RawChannel({9})}, {-1, RawChannel({4})}}}}, Bytes(12, 5)));
    Create({}, &RecoverFile);
    W<QLineEdit>("txtSrcFile")->setText(QString::fromStdString(dir / "cat.psd"));
    Click("btnRepair");
    EXPECT_TRUE(FileExists(dir / "cat_recovered/Layer0.psd"));
    EXPECT_TRUE(FileExists(dir / "cat_recovered/Layer0_mask.psd"));
    EXPECT_TRUE(LogLines().contains("Read data of layer 0."));
    EXPECT_TRUE(LogLines().last().startsWith("Now you can open the directory"));
}

// ---------------------------------------------------------------------------

class Batch : public Repair {
protected:
    QTreeWidget *List() { return W<QTreeWidget>("FileList"); }
    QStringList Column(int c)
    {
        QStringList out;
        for (int i = 0; i < List()->topLevelItemCount(); ++i)
            out << List()->topLevelItem(i)->text(c);
        return out;
    }
};

TEST_F(Batch, AddingSkipsDuplicatesInAnyLetterCase)
{
    Create();
    platform.openAnswers = {{"/p/A.psd", "/p/b.psd"}, {"/p/a.PSD", "/p/c.psd", "/p/B.psd", "/p/d.psd", "/p/e.psd"}};
    Click("btnAddFiles");
    Click("btnAddFiles");
    EXPECT_EQ(Column(0), (QStringList{"/p/A.psd", "/p/b.psd", "/p/c.psd", "/p/d.psd", "/p/e.psd"}));
    EXPECT_EQ(Column(2), QStringList(5, "Not Repaired"));
    EXPECT_EQ(platform.openRequests.back().second, true) << "multiple selection";
    List()->topLevelItem(1)->setSelected(true);
    Click("btnRemoveFiles");
    EXPECT_EQ(Column(0).size(), 4);
    List()->setFocus();
    QTest::keyClick(List(), Qt::Key_Delete, Qt::ShiftModifier);
    EXPECT_EQ(List()->topLevelItemCount(), 0);
}

TEST_F(Batch, EveryFileIsRepairedWithTheOthersProtected)
{
    TempDir dir;
    QStringList files;
    for (const char *n : {"a.psd", "b.psd", "a.pdd"}) {
        WriteFile(dir / n, {1});
        files << QString::fromStdString(dir / n);
    }
    Create();
    platform.openAnswers = {files};
    Click("btnAddFiles");
    FakeScript().steps = SimpleRun({});
    Click("btnRepairFiles");
    const std::string a = dir / "a.psd", b = dir / "b.psd", c = dir / "a.pdd";
    EXPECT_EQ(FakeScript().protectedByCall,
              (std::vector<std::vector<std::string>>{{b, c}, {a, c}, {a, b}}));
    EXPECT_EQ(Column(1), (QStringList{QString::fromStdString(dir / "a_recovered/"), QString::fromStdString(dir / "b_recovered/"),
                                      QString::fromStdString(dir / "a_recovered_2/")}))
        << "a.pdd gets a folder of its own";
    EXPECT_NE(FakeScript().options.RecoveryFlags & ZELT_RECOVER_REBUILD, 0u) << "the Options page's boxes";
    EXPECT_TRUE(FakeScript().maskedProperly);
}

TEST_F(Batch, EmptyListAsksForFiles)
{
    Create();
    Click("btnRepairFiles");
    EXPECT_EQ(Messages(), QStringList{"Information: Please add files to the list first"});
}

TEST_F(Batch, RunStopAndStatuses)
{
    TempDir dir;
    for (const char *n : {"a.psd", "b.psd", "c.psd", "d.psd"})
        WriteFile(dir / n, {1});
    Create();
    platform.openAnswers = {{QString::fromStdString(dir / "a.psd"), QString::fromStdString(dir / "b.psd"),
                             QString::fromStdString(dir / "c.psd"), QString::fromStdString(dir / "d.psd")}};
    Click("btnAddFiles");
    FakeScript().steps = SimpleRun({"Read data of layer 0."});
    Click("btnRepairFiles");
    EXPECT_EQ(Column(2), QStringList(4, "Successful"));
    EXPECT_EQ(Column(1)[2], QString::fromStdString(dir / "c_recovered/"));
    EXPECT_EQ(Messages(), QStringList{"Information: 4 file(s) repaired successfully"});
    EXPECT_TRUE(LogLines().isEmpty()) << "the log is cleared after the summary";
    EXPECT_EQ(FakeScript().calls, 4);

    // A second run: stop during the second file.
    for (int i = 0; i < 4; ++i)
        List()->topLevelItem(i)->setText(2, "old");
    platform.messages.clear();
    int call = 0;
    FakeScript().calls = 0;
    auto steps = SimpleRun({}, 4);
    steps[3].before = [&] {
        if (FakeScript().calls == 2 && call++ == 0)
            Click("btnRepairFiles"); // Stop
    };
    FakeScript().steps = steps;
    FakeScript().result = 0;
    Click("btnRepairFiles");
    EXPECT_EQ(Column(2), (QStringList{"Failed", "Aborted", "old", "old"}));
    EXPECT_EQ(Messages(), QStringList{"Information: 0 file(s) repaired successfully"});
    EXPECT_EQ(FakeScript().calls, 2);
}

TEST_F(Batch, DeletedFileFailsAndTheRunGoesOn)
{
    TempDir dir;
    WriteFile(dir / "a.psd", PsdFile(3, 2, 2, 8, 3, {{0, 0, 1, 1, {{0, RawChannel({9})}}}}, Bytes(12, 5)));
    WriteFile(dir / "gone.psd", {1});
    Create({}, &RecoverFile);
    platform.openAnswers = {{QString::fromStdString(dir / "gone.psd"), QString::fromStdString(dir / "a.psd")}};
    Click("btnAddFiles");
    unlink((dir / "gone.psd").c_str());
    Click("btnRepairFiles");
    EXPECT_EQ(Column(2), (QStringList{"Failed", "Successful"}));
    EXPECT_TRUE(FileExists(dir / "a_recovered/Layer0.psd"));
    EXPECT_EQ(Messages(), QStringList{"Information: 1 file(s) repaired successfully"});
}

TEST_F(Batch, TheRepairPagesButtonStopsABatch)
{
    TempDir dir;
    WriteFile(dir / "a.psd", {1});
    WriteFile(dir / "b.psd", {1});
    Create();
    Paths("/x/cat.psd", QString::fromStdString(dir / "out/"));
    platform.openAnswers = {{QString::fromStdString(dir / "a.psd"), QString::fromStdString(dir / "b.psd")}};
    Click("btnAddFiles");
    auto steps = SimpleRun({});
    steps[3].before = [this] { Click("btnRepair"); };
    FakeScript().steps = steps;
    FakeScript().result = 0;
    Click("btnRepairFiles");
    EXPECT_EQ(Column(2), (QStringList{"Aborted", "Not Repaired"}));
    EXPECT_EQ(FakeScript().calls, 1);
}

TEST_F(Batch, ListKeepsItsEntriesWhileARunAddressesThem)
{
    TempDir dir;
    WriteFile(dir / "a.psd", {1});
    WriteFile(dir / "b.psd", {1});
    Create();
    platform.openAnswers = {{QString::fromStdString(dir / "a.psd"), QString::fromStdString(dir / "b.psd")}};
    Click("btnAddFiles");
    auto steps = SimpleRun({});
    steps[3].before = [this] {
        Click("btnRemoveAll");
        QTest::keyClick(List(), Qt::Key_Delete, Qt::ShiftModifier);
    };
    FakeScript().steps = steps;
    Click("btnRepairFiles");
    EXPECT_EQ(Column(2), (QStringList{"Successful", "Successful"}));
}

} // namespace
