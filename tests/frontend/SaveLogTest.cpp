// Saving the repair log, alone or behind the system and setting blocks.
#include <QTest>
#include <sys/stat.h>

#include "WenkInfo.h"
#include "WindowFixture.h"

using namespace test;

namespace {

const QString kRule(56, '-');

class SaveLog : public WindowFixture {
protected:
    QString Saved(const std::string &path)
    {
        const Bytes b = ReadFile(path);
        return QString::fromUtf8(reinterpret_cast<const char *>(b.data()), int(b.size()));
    }
    void FillLog(const QStringList &lines)
    {
        auto *log = W<QPlainTextEdit>("txtRepairLog");
        for (const QString &l : lines)
            log->appendPlainText(l);
    }
};

TEST_F(SaveLog, BoxClearGivesExactlyTheLog)
{
    TempDir dir;
    Create();
    FillLog({"Start repair process ...", kRule, "Read data of layer 0."});
    platform.saveAnswers = {{false, QString::fromStdString(dir / "a.log")}};
    form->btnSaveLogClick();
    EXPECT_EQ(Saved(dir / "a.log"), "Start repair process ...\r\n" + kRule + "\r\nRead data of layer 0.");
    EXPECT_EQ(platform.saveBoxShown, std::vector<bool>{true}) << "ticked at the start of a run";
    platform.saveAnswers = {{true, QString()}}; // ticked again, then Cancel
    form->btnSaveLogClick();
    platform.saveAnswers = {};
    form->btnSaveLogClick();
    EXPECT_EQ(platform.saveBoxShown, (std::vector<bool>{true, false, true}))
        << "the box keeps its state between uses, a change before Cancel too";
}

TEST_F(SaveLog, BoxTickedGivesEveryBlockFramedByRules)
{
    TempDir dir;
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    platform.drives = {{"/", kDriveFixed, 512000000000, 1234567890}, {"/media/usb", kDriveRemovable, -1, -1},
                       {"/net/share", kDriveRemote, -1, -1}, {"/bad", kDriveFixed, -1, -1}};
    Create();
    FillLog({"line one", "line two"});
    platform.saveAnswers = {{true, QString::fromStdString(dir / "b.log")}};
    form->btnSaveLogClick();
    QLocale::setDefault(QLocale::system());
    const QStringList lines = Saved(dir / "b.log").split("\r\n");
    const QStringList expected = {
        kRule,
        " Version Information:",
        "File Version: 1.1.0.0",
        "Product Version: 1.1.0.0",
        kRule,
        "Operating System: Linux 6.01.76",
        kRule,
        "Windows Directory: /",
        "System Directory: Cannot get the required infomation. Error Code: 5.",
        "Temporary Directory: /tmp/",
        kRule,
        "Memory Status:",
        "Memory in use: 37%",
        "Total physical memory: 4,294,967,295 bytes",
        "Free physical memory: 0 bytes",
        "Total page file memory: 8,589,934,592 bytes",
        "Free page file memory: 1,073,741,824 bytes",
        "Total virtual memory: 140,737,488,355,328 bytes",
        "Free virtual memory: 140,737,488,351,232 bytes",
        kRule,
        "Environment Information:",
        "HOME=/home/ann",
        "LANG=C.UTF-8",
        kRule,
        "Drive Information:",
        "/, Fixed Drive, Total Disk Spaces: 512,000,000,000 bytes, Free Disk Spaces: 1,234,567,890 bytes.",
        "/media/usb, Removable Drive",
        "/net/share, Remote Network Drive",
        "/bad, Fixed Drive, Total Disk Spaces: -1 bytes, Free Disk Spaces: -1 bytes.",
        kRule,
        "End of System Information",
        kRule,
        "Setting Information:",
        "&Open the directory containing all the recovered image and layers when finished: Yes",
        "Image &Size 600x800",
        "Number of &channels: 3",
        "&Bits per channel: 8 Bits/Channel",
        "&Color Mode: RGB",
        "Recover image properties heuristically: Yes",
        "Rebuild a layered &document from the recovered layers: Yes",
        "Directory for &temporary files: /tmp/",
        "Internal Processing &Buffer Size: 512",
        kRule,
        "End of Setting Information",
        kRule,
        "line one",
        "line two",
        "",
    };
    EXPECT_EQ(lines, expected);
}

TEST_F(SaveLog, ListsWithoutSelectionLeaveTheirLinesOut)
{
    platform.store.values["Depth"] = 12;
    platform.store.values["Mode"] = 6;
    platform.environment = {};
    Create();
    const QStringList block = form->SettingInformation();
    EXPECT_FALSE(block.join("\n").contains("Bits per channel"));
    EXPECT_FALSE(block.join("\n").contains("Color Mode"));
    EXPECT_EQ(block.size(), 11);
    platform.tempDir.clear(); // the query fails
    QStringList list;
    AddSystemInformation(list, platform, QString(ORVANE_PATH));
    EXPECT_TRUE(list.contains("Temporary Directory: Cannot get the required infomation. Error Code: 2."));
    const int env = int(list.indexOf("Environment Information:"));
    EXPECT_EQ(list[env + 1], "") << "an empty environment still gives one line";
    EXPECT_EQ(list[env + 2], kRule);
}

TEST_F(SaveLog, NumbersUseTheLocaleSeparator)
{
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(FormatBytes(4294967295.0), "4.294.967.295");
    EXPECT_EQ(FormatBytes(0), "0");
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    EXPECT_EQ(FormatBytes(-1), "-1");
    EXPECT_EQ(FormatBytes(1073741824.0), "1,073,741,824");
    QLocale::setDefault(QLocale::system());
}

TEST_F(SaveLog, SavingDuringARunSavesTheLinesSoFar)
{
    TempDir dir;
    Create();
    auto steps = SimpleRun({"Read data of layer 0."}, 3);
    steps[4].before = [&] {
        platform.saveAnswers = {{false, QString::fromStdString(dir / "during.log")}};
        form->btnSaveLogClick();
    };
    FakeScript().steps = steps;
    W<QLineEdit>("txtSrcFile")->setText("/x/cat.psd");
    W<QLineEdit>("txtDstFile")->setText(QString::fromStdString(dir / "out/"));
    form->btnRepairClick();
    const QString saved = Saved(dir / "during.log");
    EXPECT_TRUE(saved.endsWith("Read data of layer 0.")) << saved.toStdString();
    EXPECT_FALSE(saved.contains("Consumed time"));
}

TEST_F(SaveLog, AWriteFailureLeavesTheExistingFileAsItWas)
{
    TempDir dir;
    WriteFile(dir / "keep.log", {'o', 'l', 'd'});
    ASSERT_EQ(chmod(dir.Path().c_str(), 0555), 0);
    Create();
    FillLog({"new"});
    platform.saveAnswers = {{false, QString::fromStdString(dir / "keep.log")}};
    form->btnSaveLogClick();
    chmod(dir.Path().c_str(), 0755);
    if (geteuid() != 0 || !platform.messages.empty()) { // root writes anyway
        EXPECT_EQ(Messages(), QStringList{"Velmora: Cannot create file " + QString::fromStdString(dir / "keep.log")});
        EXPECT_EQ(ReadFile(dir / "keep.log"), (Bytes{'o', 'l', 'd'}));
    }
    platform.messages.clear();
    platform.saveAnswers = {{false, QString::fromStdString(dir / "no-dir/x.log")}};
    form->btnSaveLogClick();
    EXPECT_EQ(Messages(), QStringList{"Velmora: Cannot create file " + QString::fromStdString(dir / "no-dir/x.log")});
}

} // namespace
