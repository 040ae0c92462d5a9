// The Recovered Files page: what a repair and a batch wrote, grouped by
// source, with thumbnails that fill in during the run, marks on every piece
// that is not whole, and files and their directory opened from the grid.
#include <QElapsedTimer>
#include <QFile>
#include <QListWidget>
#include <QMimeData>
#include <QScrollBar>
#include <QTest>
#include <fstream>

#include "PsdBuilder.h"
#include "RecoveredFiles.h"
#include "WindowFixture.h"

using namespace test;

namespace {

// A piece as the engine writes it: RGB 8, raw, one colour.
Bytes Piece(uint32_t width, uint32_t height, uint8_t r, uint8_t g, uint8_t b)
{
    PsdBuilder p;
    p.Header(3, height, width, 8, 3).U32(0).U32(0).U32(0).U16(0);
    for (uint8_t v : {r, g, b})
        p.Fill(std::size_t(width) * height, v);
    return p.Data();
}

// A 2 x 1 grey piece: black on the left, white on the right.
Bytes TwoPixels()
{
    PsdBuilder p;
    p.Header(1, 1, 2, 8, 1).U32(0).U32(0).U32(0).U16(0).U8(0).U8(255);
    return p.Data();
}

std::string LayerLine(int index, const char *name, int rows, int read)
{
    return "Layer " + std::to_string(index) + " \"" + name + "\" (4 x " + std::to_string(rows) + "): " +
           std::to_string(read) + " of " + std::to_string(rows) + " rows read; " + std::to_string(rows - read) +
           " filled with white.";
}

// Resident memory of this process, in bytes.
uint64_t ResidentBytes()
{
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtoull(line.c_str() + 6, nullptr, 10) * 1024;
    return 0;
}

class Recovered : public WindowFixture {
protected:
    QListWidget *Grid() { return W<QListWidget>("RecoveredList"); }
    QStringList Texts()
    {
        QStringList out;
        for (int i = 0; i < Grid()->count(); ++i)
            out << Grid()->item(i)->text();
        return out;
    }
    QStringList Shown()
    {
        QStringList out;
        for (int i = 0; i < Grid()->count(); ++i)
            if (!Grid()->isRowHidden(i))
                out << Grid()->item(i)->text().section('\n', 0, 0);
        return out;
    }
    std::vector<bool> Marks()
    {
        std::vector<bool> out;
        for (int i = 0; i < Grid()->count(); ++i)
            out.push_back(Grid()->item(i)->data(TRecoveredFiles::DamagedRole).toBool());
        return out;
    }
    bool WaitForThumbnails()
    {
        QElapsedTimer t;
        t.start();
        while (form->RecoveredFiles().Pending() > 0 && t.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        return form->RecoveredFiles().Pending() == 0;
    }
    // Writes the file, then tells the window, as the engine does.
    EngineStep Written(const std::string &path, const Bytes &bytes)
    {
        return {MSG_FILE_WRITTEN, path, 0, [path, bytes] { WriteFile(path, bytes); }};
    }
    QImage Rendered(int row)
    {
        QCoreApplication::processEvents();
        return Grid()->viewport()->grab(Grid()->visualItemRect(Grid()->item(row))).toImage();
    }
};

TEST_F(Recovered, ARepairFillsItsGroupWhileItRunsTheRebuiltDocumentFirst)
{
    TempDir dir;
    const std::string out = MakeDir(dir / "cat_recovered");
    QFile banner(":/banner.jpg");
    ASSERT_TRUE(banner.open(QIODevice::ReadOnly));
    const QByteArray jpeg = banner.readAll();
    Create();
    bool filledDuringTheRun = false;
    FakeScript().steps = {
        {MSG_PROGRESS, "", 0},
        Written(out / "Layer0.psd", Piece(4, 4, 255, 0, 0)),
        // A mask before its layer, and one later than the next layer: each
        // still follows its own.
        Written(out / "Layer1_mask.psd", Piece(4, 4, 128, 128, 128)),
        Written(out / "Layer1.psd", Piece(4, 4, 0, 255, 0)),
        {MSG_STATUS, LayerLine(0, "Sky", 4, 4)},
        {MSG_STATUS, LayerLine(1, "Cat", 4, 2)},
        Written(out / "Layer0_mask.psd", Piece(4, 4, 128, 128, 128)),
        Written(out / "cat_1.psd", Piece(8, 6, 0, 0, 255)),
        Written(out / "cat_preview.jpg", Bytes(jpeg.begin(), jpeg.end())),
        Written(out / "cat_rebuilt.psd", Piece(8, 6, 1, 2, 3)),
        // A later section of the same file: layer 1 again, read whole, and a
        // rebuilt document of its own that holds nothing damaged.
        Written(out / "Layer1_2.psd", TwoPixels()),
        {MSG_STATUS, LayerLine(1, "Cat", 4, 4)},
        Written(out / "cat_rebuilt_2.psd", Piece(8, 6, 1, 2, 3)),
        {MSG_PROGRESS, "", 50, [&] {
             filledDuringTheRun = form->EngineBusy() && WaitForThumbnails() &&
                                  !Grid()->item(3)->data(Qt::DecorationRole).value<QPixmap>().isNull() &&
                                  Grid()->item(3)->text().endsWith("4 x 4 pixels");
         }},
        {MSG_PROGRESS, "", 100},
    };
    W<QCheckBox>("chkOpenFixed")->setChecked(false);
    W<QLineEdit>("txtSrcFile")->setText(QString::fromStdString(dir / "cat.psd"));
    form->resize(800, 700); // every piece in view
    QTest::mouseClick(W<QPushButton>("btnRepair"), Qt::LeftButton);
    EXPECT_TRUE(filledDuringTheRun);
    ASSERT_TRUE(WaitForThumbnails());
    EXPECT_EQ(Texts(), (QStringList{"cat.psd\nSuccessful \u00b7 9 pieces, 3 damaged", "cat_rebuilt.psd\n8 x 6 pixels",
                                    "cat_rebuilt_2.psd\n8 x 6 pixels", "Layer0.psd\n4 x 4 pixels",
                                    "Layer0_mask.psd\n4 x 4 pixels", "Layer1.psd\n4 x 4 pixels",
                                    "Layer1_mask.psd\n4 x 4 pixels", "cat_1.psd\n8 x 6 pixels",
                                    "cat_preview.jpg\n479 x 60 pixels", "Layer1_2.psd\n2 x 1 pixels"}));
    // The damaged layer, its mask and the rebuilt document holding it.
    EXPECT_EQ(Marks(), (std::vector<bool>{false, true, false, false, false, true, true, false, false, false}));
    EXPECT_TRUE(Grid()->item(5)->toolTip().contains("2 of 4 rows read; 2 filled with white."));
    EXPECT_TRUE(Grid()->item(1)->toolTip().contains("holds a layer that was not read whole"));
    const QImage red = Grid()->item(3)->data(TRecoveredFiles::ThumbnailRole).value<QImage>();
    ASSERT_EQ(red.size(), QSize(4, 4));
    EXPECT_EQ(QColor(red.pixel(2, 2)).name(), "#ff0000");

    // Small pictures are enlarged pixel for pixel at the device pixel ratio:
    // the border between the two pixels of Layer1_2 is sharp.
    const QPixmap two = Grid()->item(9)->data(Qt::DecorationRole).value<QPixmap>();
    const qreal dpr = Grid()->devicePixelRatioF();
    if (qEnvironmentVariableIntValue("QT_SCALE_FACTOR") == 2)
        EXPECT_EQ(dpr, 2.0) << "the run on a screen of two device pixels per pixel";
    EXPECT_EQ(two.devicePixelRatio(), dpr);
    EXPECT_EQ(two.width(), int(std::ceil(TRecoveredFiles::kThumbnailSide * dpr)));
    const QImage sharp = two.toImage();
    const int mid = sharp.width() / 2, y = sharp.height() / 2;
    EXPECT_EQ(QColor(sharp.pixel(mid - 1, y)).name(), "#000000");
    EXPECT_EQ(QColor(sharp.pixel(mid, y)).name(), "#ffffff");
    EXPECT_EQ(QColor(sharp.pixel(2, y)).name(), "#000000");

    // The selection frames the picture and does not tint it.
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    W<QTabWidget>("pcMain")->setCurrentWidget(W<QWidget>("tsFiles"));
    Grid()->scrollToItem(Grid()->item(3));
    const QImage plain = Rendered(3);
    Grid()->setCurrentRow(3);
    const QImage selected = Rendered(3);
    const QPoint centre(plain.width() / 2, 4 + TRecoveredFiles::kThumbnailSide / 2);
    EXPECT_EQ(QColor(plain.pixel(centre)).name(), "#ff0000");
    EXPECT_EQ(QColor(selected.pixel(centre)).name(), "#ff0000");
    EXPECT_NE(plain.pixel(2, plain.height() - 3), selected.pixel(2, selected.height() - 3)) << "the frame shows";

    // The user goes to the page with its accelerator, picks a file, presses
    // Enter; double-clicks another; opens the directory.
    W<QTabWidget>("pcMain")->setCurrentIndex(0);
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    QTest::keyClick(form.get(), Qt::Key_F, Qt::AltModifier);
    ASSERT_EQ(W<QTabWidget>("pcMain")->currentWidget(), W<QWidget>("tsFiles"));
    EXPECT_TRUE(W<QWidget>("Panel2")->isVisible()) << "the gauge shows on this page";
    Grid()->setFocus();
    Grid()->setCurrentRow(7);
    QTest::keyClick(Grid(), Qt::Key_Return);
    Grid()->scrollToItem(Grid()->item(3));
    const QRect layer0 = Grid()->visualItemRect(Grid()->item(3));
    QTest::mouseClick(Grid()->viewport(), Qt::LeftButton, {}, layer0.center()); // the double click's first press
    QTest::mouseDClick(Grid()->viewport(), Qt::LeftButton, {}, layer0.center());
    QTest::mouseClick(W<QPushButton>("btnOpenFolder"), Qt::LeftButton);
    EXPECT_EQ(platform.shellOpened, (std::vector<QString>{QString::fromStdString(out / "cat_1.psd"),
                                                           QString::fromStdString(out / "Layer0.psd"),
                                                           QString::fromStdString(out + "/")}));
    platform.shellResult = false;
    QTest::keyClick(Grid(), Qt::Key_Return);
    EXPECT_EQ(Messages().last(), "Error: Cannot open the file '" + QString::fromStdString(out / "Layer0.psd") + "'!");
}

// Which lines mark a layer, its mask and the rebuilt document, with the
// rebuild box ticked or not: the marks follow what was read.
TEST_F(Recovered, DamageMarksFollowTheLayerLinesWhateverTheRebuildBoxSays)
{
    struct Case {
        const char *line;
        bool layer0, layer1; // which layers the line marks
    } cases[] = {
        {"Layer 0 \"Sky\" (4 x 4): 4 of 4 rows read; 0 filled with white.", false, false},
        {"Layer 0 \"Sky\" (4 x 4): 1 of 4 rows read; 3 filled with white.", true, false},
        {"Layer 0 \"Sky\" (4 x 4): 4 of 4 rows read; 0 filled with white; 0 damaged.", false, false},
        {"Layer 0 \"Sky\" (4 x 4): 4 of 4 rows read; 0 filled with white; 2 damaged.", true, false},
        {"Layer 0 \"Sky\" (4 x 4): 2 of 4 rows read; 2 filled with white; 1 damaged.", true, false},
        {"Layer 0 \"Layer 0 (record lost)\" (4 x 4): 4 of 4 rows read; 0 filled with white; 3 damaged.", true, false},
        {"Layer 0 (record lost) (4 x 4): 3 of 4 rows read; 1 filled with white; 0 damaged.", true, false},
        // Before its layer's file: the mark waits for it.
        {"Layer 1 \"Cat\" (4 x 4): 1 of 4 rows read; 3 filled with white; 0 damaged.", false, true},
        {"Read data of layer 0.", false, false},
    };
    TempDir dir;
    Create();
    W<QCheckBox>("chkOpenFixed")->setChecked(false);
    for (bool rebuild : {true, false}) {
        W<QCheckBox>("chkRebuildDocument")->setChecked(rebuild);
        for (const Case &c : cases) {
            const std::string out = MakeDir(dir / "cat_recovered");
            FakeScript().steps = {{MSG_PROGRESS, "", 0},
                                  {MSG_FILE_WRITTEN, out / "Layer0.psd"},
                                  {MSG_FILE_WRITTEN, out / "Layer0_mask.psd"},
                                  {MSG_STATUS, c.line},
                                  {MSG_FILE_WRITTEN, out / "Layer1.psd"},
                                  {MSG_PROGRESS, "", 100}};
            if (rebuild)
                FakeScript().steps.insert(FakeScript().steps.end() - 1, {MSG_FILE_WRITTEN, out / "cat_rebuilt.psd"});
            W<QLineEdit>("txtDstFile")->setText(QString::fromStdString(out + "/"));
            W<QLineEdit>("txtSrcFile")->setText(QString::fromStdString(dir / "cat.psd"));
            QTest::mouseClick(W<QPushButton>("btnRepair"), Qt::LeftButton);
            // header, [rebuilt], Layer0, Layer0_mask, Layer1
            const bool any = c.layer0 || c.layer1;
            std::vector<bool> expected{false};
            if (rebuild)
                expected.push_back(any);
            expected.insert(expected.end(), {c.layer0, c.layer0, c.layer1});
            EXPECT_EQ(Marks(), expected) << c.line << (rebuild ? " (rebuild)" : "");
            const int damaged = int(std::count(expected.begin(), expected.end(), true));
            EXPECT_TRUE(Grid()->item(0)->text().endsWith(damaged ? QString("%1 damaged").arg(damaged)
                                                                 : QString(rebuild ? "4 pieces" : "3 pieces")))
                << Grid()->item(0)->text().toStdString();
        }
    }
}

TEST_F(Recovered, ABatchIsGroupedBySourceFoldedFilteredAndFoundFromTheList)
{
    TempDir dir;
    QStringList files;
    for (const char *n : {"a.psd", "b.psd", "c.psd"}) {
        WriteFile(dir / n, {1});
        files << QString::fromStdString(dir / n);
    }
    Create();
    platform.openAnswers = {files};
    QTest::mouseClick(W<QPushButton>("btnAddFiles"), Qt::LeftButton);
    // One script for every file, made anew at its start: a's layer 0 is
    // whole, b's is not, c gives nothing back.
    int call = 0;
    FakeScript().steps = {{MSG_PROGRESS, "", 0, [&] {
                               auto &steps = FakeScript().steps;
                               const std::string folder = dir / (++call == 1 ? "a_recovered" : "b_recovered");
                               const bool nothing = call == 3;
                               FakeScript().result = nothing ? 0 : 1;
                               steps[1] = {nothing ? MSG_STATUS : MSG_FILE_WRITTEN,
                                           nothing ? "Read merged image data." : folder / "Layer0.psd"};
                               steps[2] = {nothing ? MSG_STATUS : MSG_FILE_WRITTEN,
                                           nothing ? "Read merged image data." : folder / "a_1.psd"};
                               steps[3] = {MSG_STATUS, LayerLine(0, "L", 4, call == 2 ? 1 : 4)};
                           }},
                          {}, {}, {},
                          {MSG_PROGRESS, "", 100}};
    QTest::mouseClick(W<QPushButton>("btnRepairFiles"), Qt::LeftButton);
    ASSERT_TRUE(WaitForThumbnails());
    QStringList heads;
    for (int i = 0; i < Grid()->count(); ++i)
        if (TRecoveredFiles::IsHeader(Grid()->item(i)))
            heads << Grid()->item(i)->text();
    EXPECT_EQ(heads, (QStringList{"a.psd\nSuccessful \u00b7 2 pieces", "b.psd\nSuccessful \u00b7 2 pieces, 1 damaged",
                                  "c.psd\nFailed \u00b7 nothing recovered"}));
    EXPECT_EQ(Shown().mid(0, 6), (QStringList{"a.psd", "Layer0.psd", "a_1.psd", "b.psd", "Layer0.psd", "a_1.psd"}));

    // A click on a header folds its group; Enter unfolds it again.
    QListWidgetItem *a = form->RecoveredFiles().HeaderOf(files[0]);
    ASSERT_NE(a, nullptr);
    form->resize(700, 500);
    QTest::mouseClick(Grid()->viewport(), Qt::LeftButton, {}, Grid()->visualItemRect(a).center());
    EXPECT_EQ(Shown().mid(0, 3), (QStringList{"a.psd", "b.psd", "Layer0.psd"}));
    Grid()->setCurrentItem(a);
    QTest::keyClick(Grid(), Qt::Key_Return);
    EXPECT_EQ(Shown().mid(0, 2), (QStringList{"a.psd", "Layer0.psd"}));

    // Damaged only: b's damaged layer, and c, which failed.
    QTest::mouseClick(W<QCheckBox>("chkDamagedOnly"), Qt::LeftButton, {}, QPoint(6, 10));
    EXPECT_EQ(Shown().mid(0, 3), (QStringList{"b.psd", "Layer0.psd", "c.psd"}));
    W<QCheckBox>("chkDamagedOnly")->setChecked(false);

    // Choosing a file in the batch list brings its group; activating it goes
    // to the page.
    auto *list = W<QTreeWidget>("FileList");
    W<QTabWidget>("pcMain")->setCurrentWidget(W<QWidget>("tsBatch"));
    list->setCurrentItem(list->topLevelItem(1));
    EXPECT_EQ(Grid()->currentItem(), form->RecoveredFiles().HeaderOf(files[1]));
    EXPECT_EQ(W<QTabWidget>("pcMain")->currentWidget(), W<QWidget>("tsBatch"));
    list->setFocus();
    QTest::keyClick(list, Qt::Key_Return);
    EXPECT_EQ(W<QTabWidget>("pcMain")->currentWidget(), W<QWidget>("tsFiles"));

    // A new run starts with an empty grid.
    FakeScript().steps = {{MSG_PROGRESS, "", 0}, {MSG_PROGRESS, "", 100}};
    QTest::mouseClick(W<QPushButton>("btnRepairFiles"), Qt::LeftButton);
    EXPECT_EQ(form->RecoveredFiles().PieceCount(), 0);
    EXPECT_FALSE(W<QPushButton>("btnOpenFolder")->isEnabled());
}

TEST_F(Recovered, APieceDraggedOutCarriesItsFileAndPageKeysMoveAScreen)
{
    TempDir dir;
    const std::string out = MakeDir(dir / "cat_recovered");
    Create();
    FakeScript().steps = {{MSG_PROGRESS, "", 0}};
    for (int i = 0; i < 40; ++i)
        FakeScript().steps.push_back(Written(out / ("Layer" + std::to_string(i) + ".psd"), Piece(2, 2, 9, 9, 9)));
    FakeScript().steps.push_back({MSG_PROGRESS, "", 100});
    W<QLineEdit>("txtSrcFile")->setText(QString::fromStdString(dir / "cat.psd"));
    QTest::mouseClick(W<QPushButton>("btnRepair"), Qt::LeftButton);

    QAbstractItemModel *model = Grid()->model();
    std::unique_ptr<QMimeData> mime(model->mimeData({model->index(2, 0)}));
    ASSERT_NE(mime, nullptr);
    EXPECT_EQ(mime->urls(), QList<QUrl>{QUrl::fromLocalFile(QString::fromStdString(out / "Layer1.psd"))});
    EXPECT_TRUE(model->flags(model->index(2, 0)) & Qt::ItemIsDragEnabled);
    EXPECT_FALSE(model->flags(model->index(0, 0)) & Qt::ItemIsDragEnabled) << "a header is no file";
    std::unique_ptr<QMimeData> none(model->mimeData({model->index(0, 0)}));
    EXPECT_TRUE(!none || none->urls().isEmpty());

    form->resize(700, 600);
    form->show();
    W<QTabWidget>("pcMain")->setCurrentWidget(W<QWidget>("tsFiles"));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    QCoreApplication::processEvents();
    const int perRow = Grid()->viewport()->width() / 112, rows = Grid()->viewport()->height() / 140;
    ASSERT_GE(rows, 2);
    Grid()->setFocus();
    Grid()->setCurrentRow(1);
    QTest::keyClick(Grid(), Qt::Key_PageDown);
    EXPECT_EQ(Grid()->currentRow(), 1 + rows * perRow) << "a screen of rows down, in the same column";
    QTest::keyClick(Grid(), Qt::Key_PageDown);
    EXPECT_EQ(Grid()->currentRow(), 1 + 2 * rows * perRow);
    QTest::keyClick(Grid(), Qt::Key_PageUp);
    QTest::keyClick(Grid(), Qt::Key_PageUp);
    EXPECT_EQ(Grid()->currentRow(), 1);
    QTest::keyClick(Grid(), Qt::Key_PageUp);
    EXPECT_EQ(Grid()->currentRow(), 0) << "the header above";
}

// Thousands of pieces: thumbnails only near the view, dropped far from it.
TEST_F(Recovered, TenThousandPiecesHoldAFewScreensOfThumbnails)
{
    TempDir dir;
    const std::string out = MakeDir(dir / "big_recovered");
    const Bytes piece = Piece(64, 64, 10, 200, 30);
    constexpr int kPieces = 10000;
    FakeScript().steps = {{MSG_PROGRESS, "", 0}};
    for (int i = 0; i < kPieces; ++i) {
        const std::string path = out / ("Layer" + std::to_string(i) + ".psd");
        WriteFile(path, piece);
        FakeScript().steps.push_back({MSG_FILE_WRITTEN, path});
    }
    FakeScript().steps.push_back({MSG_PROGRESS, "", 100});
    Create();
    W<QCheckBox>("chkOpenFixed")->setChecked(false);
    W<QLineEdit>("txtSrcFile")->setText(QString::fromStdString(dir / "big.psd"));
    QTest::mouseClick(W<QPushButton>("btnRepair"), Qt::LeftButton);
    ASSERT_EQ(form->RecoveredFiles().PieceCount(), kPieces);
    ASSERT_TRUE(WaitForThumbnails());
    // A screen of the smallest window shows some 6 pieces; made are those of
    // the screen and one above and below it.
    const int screen = (Grid()->viewport()->width() / 112) * (Grid()->viewport()->height() / 140 + 1);
    EXPECT_GT(form->RecoveredFiles().Held(), 0);
    EXPECT_LE(form->RecoveredFiles().Held(), 4 * screen + 8);
    // Scrolled through to the end: the pictures behind are dropped again.
    QScrollBar *bar = Grid()->verticalScrollBar();
    int most = 0;
    for (int v = 0; v <= bar->maximum(); v += bar->maximum() / 25) {
        bar->setValue(v);
        ASSERT_TRUE(WaitForThumbnails());
        most = std::max(most, form->RecoveredFiles().Held());
    }
    bar->setValue(bar->maximum());
    ASSERT_TRUE(WaitForThumbnails());
    EXPECT_LE(most, 8 * screen + 8);
    EXPECT_FALSE(Grid()->item(1)->data(Qt::DecorationRole).value<QPixmap>().isNull() &&
                 Grid()->item(1)->data(TRecoveredFiles::ThumbnailRole).isValid())
        << "the first piece's picture went when it was far out of view";
    EXPECT_FALSE(Grid()->item(kPieces)->data(Qt::DecorationRole).value<QPixmap>().isNull());
    EXPECT_EQ(Grid()->item(1)->text(), "Layer0.psd\n64 x 64 pixels") << "its size stays";
    const uint64_t resident = ResidentBytes();
    std::printf("10000 pieces scrolled through: at most %d thumbnails held, resident memory %.1f MB\n", most,
                double(resident) / 1e6);
    EXPECT_LT(resident, 200u * 1000 * 1000);
}

} // namespace
