// The window for a day's work: one size order, a window that grows, drops,
// keys, accessible names, progress outside the window, and repairs that
// never take a folder holding earlier results.
#include <QAccessible>
#include <QDir>
#include <QDragEnterEvent>
#include <QHeaderView>
#include <QListWidget>
#include <QMimeData>
#include <QTest>
#include <QUrl>

#include "PlatformText.h"
#include "PsdBuilder.h"
#include "RecoveredFiles.h"
#include "WindowFixture.h"

using namespace test;

namespace {

const QString kRule(56, '-');

class DayWork : public WindowFixture {
protected:
    void Click(const char *button) { QTest::mouseClick(W<QPushButton>(button), Qt::LeftButton); }
    QString Q(const std::string &s) { return QString::fromStdString(s); }
    QStringList Column(int c)
    {
        auto *list = W<QTreeWidget>("FileList");
        QStringList out;
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            out << list->topLevelItem(i)->text(c);
        return out;
    }
    // A drop of files at a point of a widget, through the application as
    // the desktop delivers it (to the widget under the cursor, then up).
    bool Drop(QWidget *target, const QStringList &paths, QPoint at = {5, 5})
    {
        QMimeData mime;
        QList<QUrl> urls;
        for (const QString &p : paths)
            urls << QUrl::fromLocalFile(p);
        mime.setUrls(urls);
        QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &enter);
        if (!enter.isAccepted())
            return false;
        QDropEvent drop(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &drop);
        return drop.isAccepted();
    }
};

TEST_F(DayWork, OptionsPageNamesHeightAndWidthAndTakesSidesUpTo300000)
{
    Create();
    auto *height = W<QSpinBox>("txtHeight");
    auto *width = W<QSpinBox>("txtWidth");
    // Each box under its own label, the height first as always.
    EXPECT_EQ(W<QLabel>("labHeight")->text(), "&Height (pixels)");
    EXPECT_EQ(W<QLabel>("labWidth")->text(), "&Width (pixels)");
    EXPECT_EQ(W<QLabel>("labHeight")->buddy(), height);
    EXPECT_EQ(W<QLabel>("labWidth")->buddy(), width);
    EXPECT_EQ(W<QLabel>("labHeight")->x(), height->x());
    EXPECT_EQ(W<QLabel>("labWidth")->x(), width->x());
    EXPECT_LT(height->x(), width->x());
    EXPECT_LE(W<QLabel>("labHeight")->geometry().bottom(), height->y());
    // Typed as a user types them: a large document's sides reach the engine.
    const struct {
        const char *typed;
        int value;
    } cases[] = {{"250000", 250000}, {"300000", 300000}, {"300001", 30000}, {"7", 7}};
    for (const auto &c : cases) {
        auto *edit = width->findChild<QLineEdit *>();
        edit->selectAll();
        QTest::keyClicks(edit, c.typed);
        width->interpretText();
        EXPECT_EQ(width->value(), c.value) << c.typed;
    }
    height->setValue(120000);
    width->setValue(160000);
    RepairOptions o;
    form->FillRepairOptions(o);
    EXPECT_EQ(o.ImageHeight, 120000u);
    EXPECT_EQ(o.ImageWidth, 160000u);
    Destroy();
    EXPECT_EQ(std::get<int32_t>(platform.store.values.at("Rows")), 120000);
    EXPECT_EQ(std::get<int32_t>(platform.store.values.at("Columns")), 160000);
    Create();
    EXPECT_EQ(W<QSpinBox>("txtHeight")->value(), 120000);
    EXPECT_EQ(W<QSpinBox>("txtWidth")->value(), 160000);
}

TEST_F(DayWork, TheWindowGrowsWithItsPagesAndKeepsItsSmallestSize)
{
    Create();
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    EXPECT_EQ(form->size(), QSize(479, 349));
    EXPECT_EQ(form->minimumSize(), QSize(479, 349));
    EXPECT_GT(form->maximumWidth(), 479);
    const char *growing[] = {"pcMain", "txtRepairLog", "FileList", "RecoveredList"};
    const char *following[] = {"btnRepair", "btnSrcMore", "btnRepairFiles", "btnOpenFolder", "btnRemoveAll"};
    std::map<std::string, QRect> before;
    for (const char *n : growing)
        before[n] = W<QWidget>(n)->geometry();
    for (const char *n : following)
        before[n] = W<QWidget>(n)->geometry();
    const QRect gauge = W<QWidget>("Panel2")->geometry(), src = W<QWidget>("txtSrcFile")->geometry();
    form->resize(479 + 300, 349 + 200);
    QCoreApplication::processEvents();
    for (const char *n : growing)
        EXPECT_EQ(W<QWidget>(n)->size(), before[n].size() + QSize(300, 200)) << n;
    for (const char *n : following)
        EXPECT_EQ(W<QWidget>(n)->pos(), before[n].topLeft() + QPoint(300, n == std::string("btnRemoveAll") ? 200 : 0)) << n;
    EXPECT_EQ(W<QWidget>("Panel2")->geometry(), gauge.translated(0, 200).adjusted(0, 0, 300, 0));
    EXPECT_EQ(W<QWidget>("txtSrcFile")->geometry(), src.adjusted(0, 0, 300, 0));
    // The animation stays beside the buttons on both pages.
    W<QTabWidget>("pcMain")->setCurrentWidget(W<QWidget>("tsBatch"));
    EXPECT_EQ(W<QWidget>("Animate")->pos(), QPoint(393 + 300, 146));
    form->resize(200, 100);
    QCoreApplication::processEvents();
    EXPECT_EQ(form->size(), QSize(479, 349)) << "never smaller than the pages are laid out for";
    EXPECT_EQ(W<QWidget>("txtRepairLog")->geometry(), before["txtRepairLog"]);
}

TEST_F(DayWork, FilesDroppedAnywhereGoToTheRepairOrTheBatchPage)
{
    TempDir dir;
    QStringList files;
    for (const char *n : {"a.psd", "b.pdd", "c.psb"}) {
        WriteFile(dir / n, {1});
        files << Q(dir / n);
    }
    MakeDir(dir / "folder.psd");
    Create();
    auto *pages = W<QTabWidget>("pcMain");
    // One file on another page (far from the source box): the Repair page
    // takes it.
    pages->setCurrentWidget(W<QWidget>("tsOptions"));
    ASSERT_TRUE(Drop(W<QWidget>("chkOpenFixed"), {files[0]}));
    EXPECT_EQ(pages->currentWidget(), W<QWidget>("tsRepair"));
    EXPECT_EQ(W<QLineEdit>("txtSrcFile")->text(), files[0]);
    EXPECT_EQ(W<QLineEdit>("txtDstFile")->text(), Q(dir / "a_recovered/"));
    // Several files anywhere, the source box too: the batch list, without
    // duplicates.
    ASSERT_TRUE(Drop(W<QPlainTextEdit>("txtRepairLog")->viewport(), {files[0], files[1]}));
    EXPECT_EQ(pages->currentWidget(), W<QWidget>("tsBatch"));
    EXPECT_EQ(Column(0), (QStringList{files[0], files[1]}));
    pages->setCurrentWidget(W<QWidget>("tsRepair"));
    ASSERT_TRUE(Drop(W<QLineEdit>("txtSrcFile"), {files[1], files[2]}));
    EXPECT_EQ(pages->currentWidget(), W<QWidget>("tsBatch"));
    EXPECT_EQ(W<QLineEdit>("txtSrcFile")->text(), files[0]) << "the source box keeps its file";
    EXPECT_EQ(Column(0), (QStringList{files[0], files[1], files[2]}));
    // Files on the batch list join the batch; a folder is no file.
    auto *list = W<QTreeWidget>("FileList");
    delete list->takeTopLevelItem(2);
    ASSERT_TRUE(Drop(list->viewport(), {files[2], Q(dir / "folder.psd"), files[0].toUpper()}));
    ASSERT_TRUE(Drop(list->viewport(), {files[2]}));
    EXPECT_EQ(Column(0), (QStringList{files[0], files[1], files[2]}));
    EXPECT_EQ(Column(2), QStringList(3, "Not Repaired"));
    list->clear();
    ASSERT_TRUE(Drop(list->viewport(), {files[1]}));
    EXPECT_EQ(Column(0), QStringList{files[1]}) << "one file on the list joins the batch";
    EXPECT_EQ(pages->currentWidget(), W<QWidget>("tsBatch"));
    EXPECT_FALSE(Drop(list->viewport(), {Q(dir / "folder.psd")})) << "nothing to take";
    EXPECT_EQ(W<QLineEdit>("txtSrcFile")->text(), files[0]);
}

TEST_F(DayWork, EscStopsARepairCtrlOOpensAFile)
{
    TempDir dir;
    Create();
    form->show();
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    // Esc at the third poll: the same stop as the button's.
    auto steps = SimpleRun({}, 6);
    steps[6].before = [this] { QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : form.get(), Qt::Key_Escape); };
    FakeScript().steps = steps;
    W<QCheckBox>("chkOpenFixed")->setChecked(false);
    W<QLineEdit>("txtSrcFile")->setText("/x/cat.psd");
    W<QLineEdit>("txtDstFile")->setText(Q(dir / "out/"));
    Click("btnRepair");
    EXPECT_EQ(FakeScript().answers.back(), -1);
    EXPECT_EQ(LogLines().last(), "User aborts the repair process");
    // Idle, Esc does nothing.
    platform.messages.clear();
    QTest::keyClick(W<QLineEdit>("txtSrcFile"), Qt::Key_Escape);
    EXPECT_TRUE(form->isVisible());
    EXPECT_TRUE(platform.messages.empty());
    // Ctrl+O: the damaged file on the Repair page, files for the batch on
    // the Batch Repair page.
    W<QTabWidget>("pcMain")->setCurrentWidget(W<QWidget>("tsOptions"));
    platform.openAnswers = {{"/chosen/a.psb"}, {"/chosen/b.psd", "/chosen/c.psd"}};
    QTest::keyClick(W<QWidget>("txtChannelCount"), Qt::Key_O, Qt::ControlModifier);
    EXPECT_EQ(W<QTabWidget>("pcMain")->currentWidget(), W<QWidget>("tsRepair"));
    EXPECT_EQ(W<QLineEdit>("txtSrcFile")->text(), "/chosen/a.psb");
    W<QTabWidget>("pcMain")->setCurrentWidget(W<QWidget>("tsBatch"));
    QTest::keyClick(W<QWidget>("FileList"), Qt::Key_O, Qt::ControlModifier);
    EXPECT_EQ(Column(0), (QStringList{"/chosen/b.psd", "/chosen/c.psd"}));
    EXPECT_EQ(platform.openRequests.back().second, true);
    // The open dialog offers large documents with the others.
    ASSERT_FALSE(platform.openFilters.isEmpty());
    const QString first = QtFilter(platform.openFilters.last()).split(";;").first();
    for (const char *name : {"a.psd", "b.pdd", "c.psb", "D.PSB"})
        EXPECT_TRUE(QDir::match(first.section('(', 1).chopped(1).split(' '), name)) << name;
    EXPECT_FALSE(QDir::match(first.section('(', 1).chopped(1).split(' '), "e.jpg"));
}

TEST_F(DayWork, EveryControlHasAnAccessibleNameAndDescription)
{
    Create();
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    // Every control a user reaches, on every page.
    std::map<QWidget *, QStringList> namesByPage;
    int checked = 0;
    for (QWidget *w : form->findChildren<QWidget *>()) {
        const bool control = qobject_cast<QAbstractButton *>(w) || qobject_cast<QAbstractSpinBox *>(w) ||
                             qobject_cast<QComboBox *>(w) || qobject_cast<QAbstractItemView *>(w) ||
                             qobject_cast<QPlainTextEdit *>(w) || qobject_cast<QProgressBar *>(w) ||
                             (qobject_cast<QLineEdit *>(w) && !qobject_cast<QAbstractSpinBox *>(w->parentWidget())) ||
                             w->objectName() == "Animate" || w->objectName() == "labHomepage" ||
                             w->objectName() == "labEmail";
        // The window's own controls, not the parts Qt builds them of.
        if (!control || w->objectName().isEmpty() || w->objectName().startsWith("qt_") ||
            qobject_cast<QTabBar *>(w->parentWidget()))
            continue;
        QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(w);
        ASSERT_NE(iface, nullptr) << w->objectName().toStdString();
        const QString name = iface->text(QAccessible::Name), description = iface->text(QAccessible::Description);
        EXPECT_FALSE(name.isEmpty()) << w->objectName().toStdString() << " " << w->metaObject()->className();
        EXPECT_FALSE(description.isEmpty()) << w->objectName().toStdString() << " " << w->metaObject()->className();
        EXPECT_NE(name, "...") << w->objectName().toStdString();
        QWidget *page = w;
        while (page && page->parentWidget() && page->parentWidget()->parentWidget() != W<QWidget>("pcMain"))
            page = page->parentWidget();
        namesByPage[page] << name;
        ++checked;
    }
    EXPECT_GE(checked, 30);
    for (const auto &[page, names] : namesByPage)
        EXPECT_EQ(QSet<QString>(names.begin(), names.end()).size(), names.size()) << names.join(" | ").toStdString();

    // A damaged piece says so to a screen reader; the gauge tells its value.
    TempDir dir;
    FakeScript().steps = {{MSG_PROGRESS, "", 0},
                          {MSG_FILE_WRITTEN, dir / "cat_recovered/Layer0.psd"},
                          {MSG_STATUS, "Layer 0 \"Sky\" (4 x 4): 1 of 4 rows read; 3 filled with white."},
                          {MSG_PROGRESS, "", 100}};
    W<QCheckBox>("chkOpenFixed")->setChecked(false);
    W<QLineEdit>("txtSrcFile")->setText(Q(dir / "cat.psd"));
    Click("btnRepair");
    QAccessibleInterface *grid = QAccessible::queryAccessibleInterface(W<QListWidget>("RecoveredList"));
    ASSERT_NE(grid, nullptr);
    QStringList descriptions;
    for (int i = 0; i < grid->childCount(); ++i)
        if (QAccessibleInterface *cell = grid->child(i))
            descriptions << cell->text(QAccessible::Name) + ": " + cell->text(QAccessible::Description);
    EXPECT_TRUE(descriptions.contains("Layer0.psd: Damaged, not read whole: Layer 0 \"Sky\" (4 x 4): 1 of 4 rows read; 3 "
                                      "filled with white."))
        << descriptions.join(" | ").toStdString();
    QAccessibleInterface *gauge = QAccessible::queryAccessibleInterface(W<QProgressBar>("Gauge"));
    ASSERT_NE(gauge->valueInterface(), nullptr);
    EXPECT_EQ(gauge->valueInterface()->currentValue().toInt(), 100);
}

TEST_F(DayWork, ProgressInTheTitleAGaugeThatStaysWhereStopLeftIt)
{
    TempDir dir;
    Create();
    QStringList titles;
    FakeScript().steps = {{MSG_PROGRESS, "", 0},   {MSG_QUERY_ABORT, ""}, {MSG_PROGRESS, "", 30},
                          {MSG_QUERY_ABORT, "", 0, [&] { titles << form->windowTitle(); }},
                          {MSG_PROGRESS, "", 42},  {MSG_QUERY_ABORT, "", 0, [&] {
                                                       titles << form->windowTitle();
                                                       Click("btnRepair"); // Stop
                                                   }},
                          {MSG_PROGRESS, "", 100}};
    W<QCheckBox>("chkOpenFixed")->setChecked(false);
    W<QLineEdit>("txtSrcFile")->setText("/x/cat.psd");
    W<QLineEdit>("txtDstFile")->setText(Q(dir / "out/"));
    Click("btnRepair");
    EXPECT_EQ(titles, (QStringList{"30% - Velmora v1.1", "42% - Velmora v1.1"}));
    EXPECT_EQ(form->windowTitle(), "Velmora v1.1");
    EXPECT_EQ(W<QProgressBar>("Gauge")->value(), 42) << "where the repair stopped, not the engine's closing 100";
    // A run to its end shows 100.
    FakeScript().steps = SimpleRun({});
    Click("btnRepair");
    EXPECT_EQ(W<QProgressBar>("Gauge")->value(), 100);

    // A batch: the title shows the whole batch's share.
    for (const char *n : {"a.psd", "b.psd"})
        WriteFile(dir / n, {1});
    platform.openAnswers = {{Q(dir / "a.psd"), Q(dir / "b.psd")}};
    Click("btnAddFiles");
    titles.clear();
    FakeScript().steps = {{MSG_PROGRESS, "", 0}, {MSG_PROGRESS, "", 50},
                          {MSG_QUERY_ABORT, "", 0, [&] { titles << form->windowTitle(); }}, {MSG_PROGRESS, "", 100}};
    Click("btnRepairFiles");
    EXPECT_EQ(titles, (QStringList{"25% - Velmora v1.1", "75% - Velmora v1.1"}));
    EXPECT_EQ(form->windowTitle(), "Velmora v1.1");
}

TEST_F(DayWork, ABatchThatEndsWhileTheWindowIsInactiveNotifiesTheDesktop)
{
    TempDir dir;
    WriteFile(dir / "a.psd", {1});
    Create();
    platform.openAnswers = {{Q(dir / "a.psd")}, {Q(dir / "a.psd")}};
    Click("btnAddFiles");
    FakeScript().steps = SimpleRun({});
    std::vector<std::pair<QStringList, QStringList>> seen; // notifications, messages when the summary shows
    platform.onMessage = [&](const Message &) { seen.push_back({platform.notifications, Messages()}); };
    Click("btnRepairFiles"); // the window was never activated
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].first, QStringList{"Velmora v1.1: 1 file(s) repaired successfully"}) << "before the summary waits";
    form->show();
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    Click("btnRepairFiles");
    EXPECT_EQ(platform.notifications.size(), 1) << "the user is looking: no notification";
    EXPECT_EQ(platform.messages.size(), 2u);
}

TEST_F(DayWork, BatchRowsShowTheFileNamesTheFullPathsAndEachOutcome)
{
    TempDir dir;
    const std::string deep = MakeDir(MakeDir(MakeDir(dir / "holiday-photos-2026")) + "/b100-damaged-copies");
    QStringList files;
    for (const char *n : {"seaside.psd", "lost.psd", "thumb.psd"}) {
        WriteFile(deep / n, {1});
        files << Q(deep / n);
    }
    Create();
    platform.openAnswers = {files};
    Click("btnAddFiles");
    auto *list = W<QTreeWidget>("FileList");
    EXPECT_EQ(list->textElideMode(), Qt::ElideMiddle);
    EXPECT_EQ(list->columnCount(), 4);
    EXPECT_EQ(list->headerItem()->text(3), "Outcome");
    // The file name shows at the end of a path cut in the middle.
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    EXPECT_NE(list->itemDelegateForColumn(0), nullptr);
    EXPECT_NE(list->itemDelegateForColumn(1), nullptr);
    EXPECT_EQ(list->topLevelItem(0)->toolTip(0), files[0]);
    // Cut for narrow columns: the file name stays whole while it fits.
    const QFontMetrics metrics(list->font());
    const int w = metrics.horizontalAdvance("/tmp/…/seaside.psd") + 4;
    const struct {
        QString path;
        int width;
        QString endsWith;
    } paths[] = {
        {files[0], w, "/seaside.psd"},
        {Q(deep / "seaside_recovered_2/"), metrics.horizontalAdvance("/t…/seaside_recovered_2/") + 4,
         "/seaside_recovered_2/"},
        {"/short.psd", 1000, "/short.psd"},
        {Q(deep / "an-extremely-long-file-name-that-cannot-fit.psd"), w, "fit.psd"},
    };
    for (const auto &p : paths) {
        const QString shown = ElidePath(p.path, metrics, p.width);
        EXPECT_TRUE(shown.endsWith(p.endsWith)) << shown.toStdString();
        EXPECT_LE(metrics.horizontalAdvance(shown), p.width) << shown.toStdString();
    }
    // seaside gives two pieces with a damaged one, lost nothing, thumb only
    // its preview.
    int call = 0;
    FakeScript().steps = {{MSG_PROGRESS, "", 0, [&] {
                               auto &steps = FakeScript().steps;
                               ++call;
                               const std::string out = deep / (call == 1 ? "seaside" : call == 2 ? "lost" : "thumb");
                               const std::string folder = out + "_recovered";
                               FakeScript().result = call == 2 ? 0 : 1;
                               steps[1] = {MSG_STATUS, "Read data of layer 0."};
                               steps[2] = {MSG_STATUS, "Read data of layer 1."};
                               if (call == 1) {
                                   steps[1] = {MSG_FILE_WRITTEN, folder / "Layer0.psd", 0,
                                               [folder] { WriteFile(folder / "Layer0.psd", {1}); }};
                                   steps[2] = {MSG_FILE_WRITTEN, folder / "Layer1.psd", 0,
                                               [folder] { WriteFile(folder / "Layer1.psd", {1}); }};
                               } else if (call == 3) {
                                   steps[1] = {MSG_FILE_WRITTEN, folder / "thumb_preview.jpg", 0,
                                               [folder] { WriteFile(folder / "thumb_preview.jpg", {1}); }};
                               }
                           }},
                          {},
                          {},
                          {MSG_STATUS, "Layer 1 \"Sea\" (4 x 4): 2 of 4 rows read; 2 filled with white; 0 damaged."},
                          {MSG_PROGRESS, "", 100}};
    Click("btnRepairFiles");
    EXPECT_EQ(Column(2), (QStringList{"Successful", "Failed", "Failed"}));
    EXPECT_EQ(Column(3), (QStringList{"2 pieces, 1 damaged", "nothing recovered", "only the embedded preview"}));
    EXPECT_EQ(list->topLevelItem(1)->toolTip(1), Q(deep / "lost_recovered/"));
    EXPECT_EQ(Messages().last(), "Information: 1 file(s) repaired successfully") << "a preview alone is no repair";
    EXPECT_FALSE(QFileInfo::exists(Q(deep / "lost_recovered"))) << "no empty folder left";
}

TEST_F(DayWork, ALaterRepairNeverTakesAFolderThatHoldsFiles)
{
    TempDir dir;
    WriteFile(dir / "photo.psd", {1});
    WriteFile(dir / "photo.pdd", {1});
    // An earlier batch left photo.pdd's pieces in photo_recovered/.
    WriteFile(MakeDir(dir / "photo_recovered") + "/Layer0.psd", {7, 7, 7});
    WriteFile(MakeDir(dir / "photo_recovered_2") + "/.hidden", {1});
    MakeDir(dir / "photo_recovered_3"); // empty: free
    Create();
    W<QCheckBox>("chkOpenFixed")->setChecked(false);
    const std::string written = dir / "photo_recovered_3/Layer0.psd";
    FakeScript().steps = {{MSG_PROGRESS, "", 0},
                          {MSG_FILE_WRITTEN, "", 0, [&] {
                               FakeScript().steps[1].text = FakeScript().outputDir + "Layer0.psd";
                               WriteFile(FakeScript().outputDir + "Layer0.psd", {1});
                           }},
                          {MSG_PROGRESS, "", 100}};
    W<QLineEdit>("txtSrcFile")->setText(Q(dir / "photo.psd"));
    Click("btnRepair");
    EXPECT_EQ(FakeScript().outputDir, dir / "photo_recovered_3/");
    EXPECT_EQ(W<QLineEdit>("txtDstFile")->text(), Q(dir / "photo_recovered_3/"));
    EXPECT_EQ(LogLines()[4], "The folder '" + Q(dir / "photo_recovered/") +
                                 "' already holds files: the recovered files go to '" + Q(dir / "photo_recovered_3/") + "'.");
    EXPECT_EQ(LogLines()[5], kRule);
    EXPECT_EQ(ReadFile(dir / "photo_recovered/Layer0.psd"), (Bytes{7, 7, 7}));
    // Again: the next one.
    Click("btnRepair");
    EXPECT_EQ(FakeScript().outputDir, dir / "photo_recovered_4/");
    // A folder the user names is taken as named, files and all (the engine
    // gives its new files other names).
    FakeScript().steps = SimpleRun({});
    W<QLineEdit>("txtDstFile")->setText(Q(dir / "photo_recovered/"));
    Click("btnRepair");
    EXPECT_EQ(FakeScript().outputDir, dir / "photo_recovered/");
    EXPECT_EQ(LogLines()[4], kRule);

    // A batch: photo.psd and photo.pdd each get a free folder of their own.
    platform.openAnswers = {{Q(dir / "photo.psd"), Q(dir / "photo.pdd")}};
    Click("btnAddFiles");
    std::vector<std::string> folders;
    FakeScript().steps = {{MSG_PROGRESS, "", 0, [&] { folders.push_back(FakeScript().outputDir); }},
                          {MSG_PROGRESS, "", 100}};
    Click("btnRepairFiles");
    EXPECT_EQ(folders, (std::vector<std::string>{dir / "photo_recovered_5/", dir / "photo_recovered_6/"}));
    EXPECT_EQ(Column(1), (QStringList{Q(dir / "photo_recovered_5/"), Q(dir / "photo_recovered_6/")}));
    EXPECT_EQ(ReadFile(dir / "photo_recovered/Layer0.psd"), (Bytes{7, 7, 7}));
}

TEST_F(DayWork, NothingRecoveredLeavesNoFolderAndSaysWhatToTry)
{
    TempDir dir;
    WriteFile(dir / "lost.psd", {1});
    Create();
    W<QCheckBox>("chkOpenFixed")->setChecked(true);
    const char *unknown =
        "The merged image's properties could not be found in the surviving data: give its width and height to read it.";
    FakeScript().steps = {{MSG_PROGRESS, "", 0}, {MSG_STATUS, unknown}, {MSG_PROGRESS, "", 100}};
    FakeScript().result = 0;
    W<QLineEdit>("txtSrcFile")->setText(Q(dir / "lost.psd"));
    W<QLineEdit>("txtDstFile")->setText(Q(dir / "deep/new/out/"));
    Click("btnRepair");
    EXPECT_FALSE(QFileInfo::exists(Q(dir / "deep"))) << "every folder the repair made, gone again";
    const QStringList log = LogLines();
    const int at = int(log.indexOf(unknown));
    ASSERT_GE(at, 0);
    EXPECT_TRUE(log[at + 1].contains("Options page")) << log[at + 1].toStdString();
    EXPECT_EQ(Messages(), QStringList{"Information: Fail to repair file '" + Q(dir / "lost.psd") + "'!"});
    EXPECT_TRUE(platform.shellOpened.empty());
    auto *nothing = W<QLabel>("labNothing");
    EXPECT_FALSE(nothing->isHidden());
    EXPECT_TRUE(nothing->text().startsWith("Nothing was recovered from 'lost.psd'."));
    EXPECT_TRUE(nothing->text().contains("width and height") && nothing->text().contains("Options page"));
    // A folder that was there before stays, empty or not.
    MakeDir(dir / "kept");
    W<QLineEdit>("txtDstFile")->setText(Q(dir / "kept/"));
    Click("btnRepair");
    EXPECT_TRUE(QFileInfo(Q(dir / "kept")).isDir());

    // Only the preview back: its own sentence, no success, no folder opened.
    platform.messages.clear();
    const std::string preview = dir / "kept/lost_preview.jpg";
    FakeScript().steps = {{MSG_PROGRESS, "", 0},
                          {MSG_FILE_WRITTEN, preview, 0, [&] { WriteFile(preview, {1}); }},
                          {MSG_PROGRESS, "", 100}};
    FakeScript().result = 1;
    Click("btnRepair");
    EXPECT_EQ(Messages(), QStringList{"Information: Only the embedded preview of '" + Q(dir / "lost.psd") +
                                      "' could be recovered: " + Q(preview)});
    EXPECT_TRUE(platform.shellOpened.empty());
    EXPECT_TRUE(nothing->isHidden()) << "the page shows the preview";
    EXPECT_EQ(W<QListWidget>("RecoveredList")->item(0)->text(), "lost.psd\nFailed \u00b7 only the embedded preview");

    // Save Log proposes the output folder and the file's own name.
    Click("btnSaveLog");
    EXPECT_EQ(platform.saveProposed.last(), Q(dir / "kept/lost.log"));
    W<QLineEdit>("txtDstFile")->setText(Q(dir / "gone/"));
    Click("btnSaveLog");
    EXPECT_EQ(platform.saveProposed.last(), Q(dir / "lost.log")) << "beside the file when the folder is not there";
}

} // namespace
