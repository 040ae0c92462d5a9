// A day's batch through the real window and the real engine: 100 damaged
// copies of real files, their groups on the Recovered Files page, their
// outcomes in the list, the memory the window holds after it, and a second
// batch that leaves every byte of the first one's results alone.
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QListWidget>
#include <QRegularExpression>
#include <QTest>
#include <fstream>
#include <map>

#include "RecoveredFiles.h"
#include "WindowFixture.h"

using namespace test;

namespace {

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

// Every file under dir with the hash of its bytes.
std::map<QString, QByteArray> Snapshot(const QString &dir)
{
    std::map<QString, QByteArray> files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile f(path);
        if (f.open(QIODevice::ReadOnly))
            files[path] = QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256);
    }
    return files;
}

// The damages a crash or a failing disk leaves, taken in turn.
Bytes Damaged(Bytes data, int kind)
{
    switch (kind % 4) {
    case 0: data.resize(data.size() * 7 / 10); break;                  // cut off
    case 1: std::fill(data.begin(), data.begin() + 26, 0); break;      // header zeroed
    case 2: {                                                          // a sector run zeroed
        const std::size_t at = data.size() * 2 / 5;
        std::fill(data.begin() + std::ptrdiff_t(at), data.begin() + std::ptrdiff_t(std::min(data.size(), at + 4096)), 0);
        break;
    }
    default: std::fill(data.begin(), data.begin() + std::min<std::ptrdiff_t>(4096, std::ptrdiff_t(data.size()) / 3), 0);
    }
    return data;
}

class BigBatch : public WindowFixture {
protected:
    QStringList Column(int c)
    {
        auto *list = W<QTreeWidget>("FileList");
        QStringList out;
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            out << list->topLevelItem(i)->text(c);
        return out;
    }
};

TEST_F(BigBatch, HundredDamagedCopiesGroupedWithTheirOutcomesAndASecondRunChangesNoByte)
{
    const QDir corpus(QStringLiteral(VELMORA_CORPUS));
    QStringList sources;
    for (const QFileInfo &f : corpus.entryInfoList({"*.psd"}, QDir::Files, QDir::Name))
        if (f.size() <= 150 * 1024)
            sources << f.absoluteFilePath();
    if (sources.size() < 10)
        GTEST_SKIP() << "no corpus of real files at " << VELMORA_CORPUS;

    TempDir dir;
    const std::string folder = MakeDir(dir / "Pictures");
    QStringList files;
    for (int i = 0; i < 100; ++i) {
        const QString source = sources[i % sources.size()];
        QFile in(source);
        ASSERT_TRUE(in.open(QIODevice::ReadOnly));
        const QByteArray bytes = in.readAll();
        const std::string name = std::to_string(i) + "_" + QFileInfo(source).fileName().toStdString();
        WriteFile(folder / name, Damaged(Bytes(bytes.begin(), bytes.end()), i + i / int(sources.size())));
        files << QString::fromStdString(folder / name);
    }
    Create({}, &RecoverFile);
    platform.openAnswers = {files};
    QTest::mouseClick(W<QPushButton>("btnAddFiles"), Qt::LeftButton);
    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(W<QPushButton>("btnRepairFiles"), Qt::LeftButton);
    const qint64 firstMs = clock.elapsed();

    // One group per file, in the list's order, each with its own pieces:
    // the rebuilt documents first, each mask right after its layer.
    auto *grid = W<QListWidget>("RecoveredList");
    TRecoveredFiles &recovered = form->RecoveredFiles();
    const QStringList targets = Column(1), statuses = Column(2), outcomes = Column(3);
    int row = 0, successful = 0, damagedGroups = 0;
    for (int i = 0; i < 100; ++i) {
        ASSERT_LT(row, grid->count());
        QListWidgetItem *header = grid->item(row++);
        ASSERT_TRUE(TRecoveredFiles::IsHeader(header)) << i;
        EXPECT_EQ(header, recovered.HeaderOf(files[i]));
        EXPECT_TRUE(header->text().startsWith(QFileInfo(files[i]).fileName() + "\n" + statuses[i] + " \u00b7 " + outcomes[i]))
            << header->text().toStdString();
        QStringList names;
        bool damaged = false;
        for (; row < grid->count() && !TRecoveredFiles::IsHeader(grid->item(row)); ++row) {
            const QString path = recovered.PathOf(grid->item(row));
            EXPECT_EQ(QFileInfo(path).absolutePath() + '/', targets[i]) << path.toStdString();
            names << QFileInfo(path).fileName();
            damaged = damaged || grid->item(row)->data(TRecoveredFiles::DamagedRole).toBool();
        }
        damagedGroups += damaged;
        // What the list and the header say is what is on the disk.
        const QStringList onDisk = QDir(targets[i]).entryList(QDir::Files);
        EXPECT_EQ(names.size(), onDisk.size()) << targets[i].toStdString();
        const bool previewsOnly = std::all_of(onDisk.begin(), onDisk.end(),
                                              [](const QString &n) { return n.endsWith(".jpg"); });
        if (onDisk.isEmpty()) {
            EXPECT_FALSE(QFileInfo::exists(targets[i])) << "no empty folder left: " << targets[i].toStdString();
            EXPECT_EQ(outcomes[i], "nothing recovered");
        }
        EXPECT_EQ(statuses[i] == "Successful", !onDisk.isEmpty() && !previewsOnly) << files[i].toStdString();
        successful += statuses[i] == "Successful";
        for (int k = 0; k < names.size(); ++k) {
            if (names[k].contains("_rebuilt"))
                EXPECT_TRUE(k == 0 || names[k - 1].contains("_rebuilt")) << names.join(' ').toStdString();
            const auto mask = QRegularExpression("^(Layer\\d+(?:_\\d+)?)_mask\\.ps[db]$").match(names[k]);
            if (mask.hasMatch())
                EXPECT_TRUE(k > 0 && names[k - 1].startsWith(mask.captured(1) + ".")) << names.join(' ').toStdString();
        }
    }
    EXPECT_EQ(row, grid->count());
    EXPECT_GT(successful, 50);
    EXPECT_GT(damagedGroups, 0) << "some copies come back with marks";
    EXPECT_EQ(Messages().last(), QString("Information: %1 file(s) repaired successfully").arg(successful));
    const uint64_t afterFirst = ResidentBytes();
    std::printf("100 damaged files: %d repaired, %d pieces, %.1f s, resident memory after the batch %.1f MB\n",
                successful, recovered.PieceCount(), double(firstMs) / 1000.0, double(afterFirst) / 1e6);
    RecordProperty("ResidentMBAfterBatch", int(afterFirst / 1000000));
    EXPECT_LT(afterFirst, 200u * 1000 * 1000);

    // The same batch again: every file into a folder of its own, and not a
    // byte of the first results changed.
    const auto before = Snapshot(QString::fromStdString(folder));
    platform.messages.clear();
    QTest::mouseClick(W<QPushButton>("btnRepairFiles"), Qt::LeftButton);
    const QStringList second = Column(1);
    for (int i = 0; i < 100; ++i)
        if (QFileInfo::exists(targets[i]))
            EXPECT_NE(second[i], targets[i]) << "a folder holding files was taken again";
    const auto after = Snapshot(QString::fromStdString(folder));
    for (const auto &[path, hash] : before) {
        auto it = after.find(path);
        ASSERT_NE(it, after.end()) << path.toStdString();
        EXPECT_EQ(it->second, hash) << path.toStdString();
    }
    EXPECT_GT(after.size(), before.size());
    EXPECT_EQ(Column(2), statuses) << "the same files give the same outcomes";
    EXPECT_LT(ResidentBytes(), 200u * 1000 * 1000);
}

} // namespace
