// The Recovered Files page: what a repair and a batch wrote, with
// thumbnails that fill in during the run, marks on damaged layers, and files
// and their directory opened from the grid.
#include <QElapsedTimer>
#include <QFile>
#include <QListWidget>
#include <QTest>

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

std::string LayerLine(int index, const char *name, int rows, int read)
{
    return "Layer " + std::to_string(index) + " \"" + name + "\" (4 x " + std::to_string(rows) + "): " +
           std::to_string(read) + " of " + std::to_string(rows) + " rows read; " + std::to_string(rows - read) +
           " filled with white.";
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
};

TEST_F(Recovered, ARepairFillsTheGridWhileItRunsTheRebuiltDocumentFirst)
{
    TempDir dir;
    const std::string out = MakeDir(dir / "cat_recovered");
    QFile banner(":/banner.jpg");
    ASSERT_TRUE(banner.open(QIODevice::ReadOnly));
    const QByteArray jpeg = banner.readAll();
    Create();
    bool filledDuringTheRun = false;
    std::vector<EngineStep> steps{
        {MSG_PROGRESS, "", 0},
        Written(out / "Layer0.psd", Piece(4, 4, 255, 0, 0)),
        Written(out / "Layer0_mask.psd", Piece(4, 4, 128, 128, 128)),
        {MSG_STATUS, LayerLine(0, "Sky", 4, 4)},
        Written(out / "Layer1.psd", Piece(4, 4, 0, 255, 0)),
        {MSG_STATUS, LayerLine(1, "Cat", 4, 2)},
        Written(out / "cat_1.psd", Piece(8, 6, 0, 0, 255)),
        Written(out / "cat_preview.jpg", Bytes(jpeg.begin(), jpeg.end())),
        // A later section of the same file: layer 1 again, read whole.
        Written(out / "Layer1_2.psd", Piece(4, 4, 9, 9, 9)),
        {MSG_STATUS, LayerLine(1, "Cat", 4, 4)},
        Written(out / "cat_rebuilt.psd", Piece(8, 6, 1, 2, 3)),
        {MSG_PROGRESS, "", 50, [&] {
             filledDuringTheRun = form->EngineBusy() && WaitForThumbnails() &&
                                  !Grid()->item(1)->icon().isNull() && Grid()->item(1)->text().endsWith("4 x 4");
         }},
        {MSG_PROGRESS, "", 100},
    };
    FakeScript().steps = steps;
    W<QCheckBox>("chkOpenFixed")->setChecked(false);
    W<QLineEdit>("txtSrcFile")->setText(QString::fromStdString(dir / "cat.psd"));
    QTest::mouseClick(W<QPushButton>("btnRepair"), Qt::LeftButton);
    EXPECT_TRUE(filledDuringTheRun);
    ASSERT_TRUE(WaitForThumbnails());
    EXPECT_EQ(Texts(), (QStringList{"cat_rebuilt.psd\n8 x 6", "Layer0.psd\n4 x 4", "Layer0_mask.psd\n4 x 4",
                                    "Layer1.psd\n4 x 4", "cat_1.psd\n8 x 6", "cat_preview.jpg\n479 x 60",
                                    "Layer1_2.psd\n4 x 4"}));
    EXPECT_EQ(Marks(), (std::vector<bool>{false, false, false, true, false, false, false}));
    EXPECT_TRUE(Grid()->item(3)->toolTip().contains("2 of 4 rows read; 2 filled with white."));
    const QImage red = Grid()->item(1)->data(TRecoveredFiles::ThumbnailRole).value<QImage>();
    ASSERT_EQ(red.size(), QSize(4, 4));
    EXPECT_EQ(QColor(red.pixel(2, 2)).name(), "#ff0000");

    // The user goes to the page with its accelerator, picks a file, presses
    // Enter; double-clicks another; opens the directory.
    form->show();
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    QTest::keyClick(form.get(), Qt::Key_F, Qt::AltModifier);
    ASSERT_EQ(W<QTabWidget>("pcMain")->currentWidget(), W<QWidget>("tsFiles"));
    EXPECT_TRUE(W<QWidget>("Panel2")->isVisible()) << "the gauge shows on this page";
    Grid()->setFocus();
    Grid()->setCurrentRow(4);
    QTest::keyClick(Grid(), Qt::Key_Return);
    const QRect second = Grid()->visualItemRect(Grid()->item(1));
    QTest::mouseClick(Grid()->viewport(), Qt::LeftButton, {}, second.center()); // the double click's first press
    QTest::mouseDClick(Grid()->viewport(), Qt::LeftButton, {}, second.center());
    QTest::mouseClick(W<QPushButton>("btnOpenFolder"), Qt::LeftButton);
    EXPECT_EQ(platform.shellOpened, (std::vector<QString>{QString::fromStdString(out / "cat_1.psd"),
                                                           QString::fromStdString(out / "Layer0.psd"),
                                                           QString::fromStdString(out + "/")}));
    platform.shellResult = false;
    QTest::keyClick(Grid(), Qt::Key_Return);
    EXPECT_EQ(Messages().last(), "Error: Cannot open the file '" + QString::fromStdString(out / "Layer0.psd") + "'!");
}

TEST_F(Recovered, ABatchShowsEveryFileAndLayerNumbersStartAnewPerSource)
{
    TempDir dir;
    WriteFile(dir / "a.psd", {1});
    WriteFile(dir / "b.psd", {1});
    Create();
    platform.openAnswers = {{QString::fromStdString(dir / "a.psd"), QString::fromStdString(dir / "b.psd")}};
    QTest::mouseClick(W<QPushButton>("btnAddFiles"), Qt::LeftButton);
    // The same script for both files: the second marks its own layer 0.
    int call = 0;
    FakeScript().steps = {
        {MSG_PROGRESS, "", 0, [&] { ++call; }},
        {MSG_FILE_WRITTEN, "", 0, [&] {
             const std::string path = dir / (call == 1 ? "a_recovered" : "b_recovered") / "Layer0.psd";
             WriteFile(path, Piece(2, 2, 5, 5, 5));
             FakeScript().steps[1].text = path;
         }},
        {MSG_STATUS, "", 0, [&] { FakeScript().steps[2].text = LayerLine(0, "L", 4, call == 1 ? 4 : 1); }},
        {MSG_PROGRESS, "", 100},
    };
    QTest::mouseClick(W<QPushButton>("btnRepairFiles"), Qt::LeftButton);
    ASSERT_TRUE(WaitForThumbnails());
    ASSERT_EQ(Grid()->count(), 2);
    EXPECT_EQ(form->RecoveredFiles().PathOf(Grid()->item(0)), QString::fromStdString(dir / "a_recovered/Layer0.psd"));
    EXPECT_EQ(Marks(), (std::vector<bool>{false, true}));
    // A new run starts with an empty grid.
    FakeScript().steps = {{MSG_PROGRESS, "", 0}, {MSG_PROGRESS, "", 100}};
    QTest::mouseClick(W<QPushButton>("btnRepairFiles"), Qt::LeftButton);
    EXPECT_EQ(Grid()->count(), 0);
    EXPECT_FALSE(W<QPushButton>("btnOpenFolder")->isEnabled());
}

} // namespace
