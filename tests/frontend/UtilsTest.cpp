// The file-name routines, the repair log's texts and the settings file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "EngineHarness.h"
#include "RegStore.h"
#include "RepairLog.h"
#include "Setting.h"
#include "WenkUtils.h"

using namespace test;

namespace {

TEST(WenkUtils, FileNameRoutines)
{
    EXPECT_EQ(wenk::RemoveFileExt("/photos/a.b/name"), "/photos/a.b/name");
    EXPECT_EQ(wenk::RemoveFileExt("/photos/name.psd"), "/photos/name");
    EXPECT_EQ(wenk::RemoveFileExt("name."), "name");
    EXPECT_EQ(wenk::RemoveFileExt("x.tar.gz"), "x.tar");
    EXPECT_EQ(wenk::DefaultOutputDir("/photos/cat.psd"), "/photos/cat_recovered/");
    EXPECT_EQ(wenk::DefaultOutputDir("/photos/cat"), "/photos/cat_recovered/");
    EXPECT_TRUE(wenk::SameFileExt("setup.exe", ".EXE"));
    EXPECT_FALSE(wenk::SameFileExt("setup.exe.bak", ".EXE"));
    EXPECT_FALSE(wenk::SameFileExt("setup", ".EXE"));
    EXPECT_FALSE(wenk::SameFileExt("/a.exe/setup", ".EXE"));
    EXPECT_EQ(wenk::CheckBoxSettingText("&Open", true), "&Open: Yes");
    EXPECT_EQ(wenk::CheckBoxSettingText("Recover", false), "Recover: No");
}

TEST(WenkUtils, FileSizeIs64BitAndTheFirstMatch)
{
    TempDir dir;
    WriteFile(dir / "big.psd", {});
    ASSERT_EQ(truncate((dir / "big.psd").c_str(), 5ll << 30), 0);
    EXPECT_EQ(wenk::GetFileSize64(dir / "big.psd"), 5ull << 30);
    EXPECT_EQ(wenk::GetFileSize64(dir / "missing.psd"), 0u);
    WriteFile(dir / "small.psd", Bytes(7, 0));
    EXPECT_EQ(wenk::GetFileSize64(dir / "s*.psd"), 7u);
}

TEST(WenkUtils, ForceDirectoriesCreatesParents)
{
    TempDir dir;
    EXPECT_TRUE(wenk::ForceDirectories(dir / "a/b/c/"));
    EXPECT_TRUE(FileExists(dir / "a/b/c"));
    EXPECT_TRUE(wenk::ForceDirectories("/"));
    EXPECT_FALSE(wenk::ForceDirectories(""));
    WriteFile(dir / "file", {1});
    EXPECT_FALSE(wenk::ForceDirectories(dir / "file/sub"));
}

TEST(WenkUtils, TempDirEndsWithASeparator)
{
    const std::string t = wenk::GetTempDir();
    ASSERT_FALSE(t.empty());
    EXPECT_EQ(t.back(), '/');
}

TEST(RepairLog, ConsumedTimeAndGroupedNumbers)
{
    EXPECT_EQ(repairlog::ConsumedTimeLine(65250), "Consumed time: 0 hour(s) 1 minute(s) 5 second(s) 250 millisecond(s).");
    EXPECT_EQ(repairlog::ConsumedTimeLine(25 * 3600000 + 7), "Consumed time: 1 hour(s) 0 minute(s) 0 second(s) 7 millisecond(s).");
    EXPECT_EQ(repairlog::FormatGrouped(1234567, ","), "1,234,567");
    EXPECT_EQ(repairlog::FormatGrouped(1234567, "."), "1.234.567");
    EXPECT_EQ(repairlog::FormatGrouped(999, ","), "999");
    EXPECT_EQ(repairlog::FormatGrouped(-1, ","), "-1");
    EXPECT_EQ(repairlog::FormatGrouped(-1234, ","), "-1,234");
    EXPECT_EQ(repairlog::FormatGrouped(4294967295.0, ","), "4,294,967,295");
    EXPECT_EQ(repairlog::FormatGrouped(1234567, ""), "1234567");
}

TEST(RegFileStore, KeepsTypesOtherLinesAndReportsOtherTypes)
{
    TempDir dir;
    const std::string path = dir / "s.reg";
    WriteFile(path, [] {
        const std::string t = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Other]\r\n"
                              "\"Keep\"=\"me\"\r\n\r\n[HKEY_CURRENT_USER\\Software\\orvane\\Misc]\r\n"
                              "\"Rows\"=\"640\"\r\n\"Mode\"=dword:00000009\r\n\"Blob\"=hex:01,02,03,04,05\r\n"
                              "\"Small\"=hex:01\r\n\"Quote\"=\"a\\\"b\\\\c\"\r\n";
        return Bytes(t.begin(), t.end());
    }());
    RegFileStore store(path, "Software\\orvane\\Misc");
    store.Open(false);
    EXPECT_EQ(std::get<QString>(*store.Read("Rows")), "640");
    EXPECT_EQ(std::get<int32_t>(*store.Read("Mode")), 9);
    EXPECT_EQ(std::get<QString>(*store.Read("Quote")), "a\"b\\c");
    EXPECT_FALSE(store.Read("Missing").has_value());
    try {
        store.Read("Blob");
        FAIL();
    } catch (const RegistryError &e) {
        EXPECT_STREQ(e.what(), "Failed to get data for 'Blob'");
    }
    try {
        store.Read("Small");
        FAIL();
    } catch (const RegistryError &e) {
        EXPECT_STREQ(e.what(), "Invalid data type for 'Small'");
    }
    store.Close();
    store.Open(true);
    store.WriteInt("Channels", -2);
    store.WriteString("Quote", "x");
    store.Close();
    const Bytes b = ReadFile(path);
    const std::string text(b.begin(), b.end());
    EXPECT_NE(text.find("\"Keep\"=\"me\""), std::string::npos) << "other keys are kept";
    EXPECT_NE(text.find("\"Blob\"=hex:01,02,03,04,05"), std::string::npos) << "values of other types are kept";
    EXPECT_NE(text.find("\"Channels\"=dword:fffffffe"), std::string::npos);
    EXPECT_NE(text.find("\"Quote\"=\"x\""), std::string::npos);
    EXPECT_EQ(ListDir(dir.Path()), std::vector<std::string>{"s.reg"}) << "no temporary file left";
}

TEST(RegFileStore, UnreadableFileIsAnErrorAndIsNotReplaced)
{
    TempDir dir;
    const std::string path = dir / "s.reg";
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0); // a directory where the file should be
    RegFileStore store(path, "Software\\orvane\\Misc");
    EXPECT_THROW(store.Open(false), RegistryError);
    EXPECT_THROW(store.Open(true), RegistryError) << "what cannot be read is not written over";
    RegFileStore blocked(dir / "s.reg/inner/x.reg", "Software\\orvane\\Misc");
    ASSERT_EQ(mkdir((dir / "s.reg/inner").c_str(), 0500), 0);
    blocked.Open(true);
    blocked.WriteInt("Rows", 1);
    if (geteuid() != 0) // root may write anywhere
        EXPECT_THROW(blocked.Close(), RegistryError);
}

} // namespace

#include "QtPlatform.h"

namespace {

TEST(QtPlatformDrives, FileSystemTypesMapToTheDriveTypes)
{
    const struct {
        const char *type;
        bool removable;
        int drive;
    } cases[] = {
        {"ext4", false, kDriveFixed},   {"xfs", false, kDriveFixed},        {"btrfs", false, kDriveFixed},
        {"overlay", false, kDriveFixed}, {"vfat", true, kDriveRemovable},  {"exfat", true, kDriveRemovable},
        {"nfs4", false, kDriveRemote},  {"cifs", false, kDriveRemote},     {"fuse.sshfs", false, kDriveRemote},
        {"iso9660", true, kDriveCdRom}, {"udf", false, kDriveCdRom},       {"tmpfs", false, kDriveRamDisk},
        {"ramfs", false, kDriveRamDisk}, {"proc", false, kDriveUnknown},   {"sysfs", false, kDriveUnknown},
    };
    for (const auto &c : cases)
        EXPECT_EQ(DriveTypeOf(c.type, "/dev/x", c.removable), c.drive) << c.type;
}

TEST(QtPlatformDrives, TheRealMachineHasAFixedRootWithSizes)
{
    QtPlatform platform("velmora-test", "/nonexistent/orvane");
    bool fixedWithSize = false;
    for (const DriveInfo &d : platform.Drives()) {
        EXPECT_GE(d.type, 1);
        EXPECT_LE(d.type, 6);
        if (d.type == kDriveFixed && d.total > 0)
            fixedWithSize = true;
        if (d.type != kDriveFixed)
            EXPECT_EQ(d.total, -1) << "only fixed drives are asked for sizes";
    }
    EXPECT_TRUE(fixedWithSize);
    const MemoryStatus m = platform.GetMemoryStatus();
    EXPECT_GT(m.totalPhys, 0u);
    EXPECT_LE(m.availPhys, m.totalPhys);
    EXPECT_LE(m.load, 100u);
    EXPECT_EQ(platform.GetOsVersion().platform, "Linux");
    EXPECT_FALSE(platform.Environment().isEmpty());
}

} // namespace
