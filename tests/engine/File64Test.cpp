// CFile64: opening with flags, the error record, reads, writes, seeks,
// lengths, locking and the sharing rule that protects the source.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "EngineHarness.h"
#include "FaultySys.h"
#include "File64.h"
#include "File64Ex.h"

using namespace zelt;
using test::TempDir;

namespace {

constexpr uint32_t kSourceFlags = modeRead | shareDenyWrite | typeBinary;
constexpr uint32_t kOutputFlags = modeWrite | shareExclusive | modeCreate | typeBinary;

TEST(CFile64, OpenFailureFillsTheRecordWithThePathPassedIn)
{
    TempDir dir;
    const struct {
        std::string path;
        uint32_t flags;
        FileErrorCause cause;
    } cases[] = {
        {dir / "missing.psd", kSourceFlags, FileErrorCause::fileNotFound},
        {dir / "missing/inner.psd", kOutputFlags, FileErrorCause::fileNotFound},
        {dir.Path(), kOutputFlags, FileErrorCause::accessDenied},
        {dir.Path(), kSourceFlags, FileErrorCause::accessDenied},
        {dir / std::string(300, 'x'), kSourceFlags, FileErrorCause::badPath},
    };
    for (const auto &c : cases) {
        CFile64 f;
        FileError err(FileErrorCause::none, 0, "stale");
        EXPECT_FALSE(f.Open(c.path, c.flags, &err)) << c.path;
        EXPECT_EQ(err.Cause(), c.cause) << c.path;
        EXPECT_EQ(err.FileName(), c.path);
        EXPECT_FALSE(f.IsOpen());
    }
    CFile64 noRecord;
    EXPECT_FALSE(noRecord.Open(dir / "missing.psd", kSourceFlags));
}

TEST(CFile64, CreateTruncatesUnlessNoTruncate)
{
    TempDir dir;
    test::WriteFile(dir / "f", test::Bytes(10, 1));
    {
        CFile64 f;
        ASSERT_TRUE(f.Open(dir / "f", modeWrite | modeCreate | modeNoTruncate | shareDenyNone));
        EXPECT_EQ(f.GetLength(), 10u);
    }
    {
        CFile64 f;
        ASSERT_TRUE(f.Open(dir / "f", kOutputFlags));
        EXPECT_EQ(f.GetLength(), 0u);
        f.Write("abc", 3);
        f.Write("", 0);
        EXPECT_EQ(f.GetPosition(), 3u);
        f.Close();
        EXPECT_FALSE(f.IsOpen());
        EXPECT_EQ(f.GetFilePath(), "");
    }
    EXPECT_EQ(test::ReadFile(dir / "f"), (test::Bytes{'a', 'b', 'c'}));
    CFile64 f;
    FileError err;
    EXPECT_FALSE(f.Open(dir / "g", modeWrite | shareExclusive, &err)) << "without create the file must exist";
    EXPECT_EQ(err.Cause(), FileErrorCause::fileNotFound);
}

TEST(CFile64, ReadSeekLengthAndSetLength)
{
    TempDir dir;
    test::WriteFile(dir / "f", {1, 2, 3, 4, 5, 6});
    CFile64 f;
    ASSERT_TRUE(f.Open(dir / "f", modeReadWrite | shareDenyNone));
    uint8_t b[8];
    EXPECT_EQ(f.Read(b, 0), 0u);
    EXPECT_EQ(f.Seek(-2, end), 4u);
    EXPECT_EQ(f.Read(b, 8), 2u);
    EXPECT_EQ(b[0], 5);
    EXPECT_EQ(f.Read(b, 8), 0u);
    EXPECT_EQ(f.Seek(1, begin), 1u);
    EXPECT_EQ(f.Seek(2, current), 3u);
    f.SetLength(9);
    EXPECT_EQ(f.GetLength(), 9u);
    EXPECT_EQ(f.GetPosition(), 9u);
    f.SetLength(2);
    EXPECT_EQ(f.GetLength(), 2u);
    EXPECT_THROW(f.Seek(-100, begin), FileError);
}

TEST(CFile64, ShortWriteIsDiskFullWithCodeMinusOne)
{
    TempDir dir;
    test::FaultPlan plan;
    plan.writeBudget = 7;
    test::FaultySys faulty(plan);
    CFile64 f;
    ASSERT_TRUE(f.Open(dir / "out.psd", kOutputFlags));
    f.Write("12345", 5);
    try {
        f.Write("6789", 4);
        FAIL() << "no error";
    } catch (const FileError &e) {
        EXPECT_EQ(e.Cause(), FileErrorCause::diskFull);
        EXPECT_EQ(e.OsError(), -1);
        EXPECT_EQ(e.FileName(), dir / "out.psd");
    }
    try {
        f.Write("x", 1); // nothing stored at all: the system's own error
        FAIL() << "no error";
    } catch (const FileError &e) {
        EXPECT_EQ(e.Cause(), FileErrorCause::diskFull);
        EXPECT_EQ(e.OsError(), ENOSPC);
    }
}

TEST(CFile64, PathQueriesAndStatus)
{
    TempDir dir;
    test::WriteFile(dir / "name.psd", test::Bytes(70000, 0));
    const std::string cwd = test::CurrentDir();
    ASSERT_EQ(chdir(dir.Path().c_str()), 0);
    CFile64 f;
    const std::string base = dir.Path().substr(dir.Path().rfind('/') + 1);
    bool opened = f.Open("./../" + base + "/./name.psd", kSourceFlags);
    ASSERT_EQ(chdir(cwd.c_str()), 0);
    ASSERT_TRUE(opened);
    EXPECT_EQ(f.GetFilePath(), dir / "name.psd");
    EXPECT_EQ(f.GetFileName(), "name.psd");
    CFileStatus st;
    ASSERT_TRUE(f.GetStatus(st));
    EXPECT_EQ(st.size, 70000u);
    EXPECT_NE(st.mtime, 0);
    EXPECT_EQ(st.ctime, st.mtime);
    EXPECT_EQ(f.GetBufferPtr(), 0u);
    f.Close();
    f.SetFilePath("/x/y.psd");
    EXPECT_TRUE(f.GetStatus(st));
    EXPECT_STREQ(st.fullName, "/x/y.psd");
}

TEST(CFile64, NoInheritSetsCloseOnExec)
{
    TempDir dir;
    test::WriteFile(dir / "f", {1});
    CFile64 inherit, noInherit;
    ASSERT_TRUE(inherit.Open(dir / "f", modeRead | shareDenyNone));
    ASSERT_TRUE(noInherit.Open(dir / "f", modeRead | shareDenyNone | modeNoInherit));
    EXPECT_EQ(fcntl(inherit.Handle(), F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_NE(fcntl(noInherit.Handle(), F_GETFD) & FD_CLOEXEC, 0);
}

TEST(CFile64, DuplicateAndLocking)
{
    TempDir dir;
    test::WriteFile(dir / "f", test::Bytes(100, 7));
    CFile64 f;
    ASSERT_TRUE(f.Open(dir / "f", modeReadWrite | shareDenyNone));
    auto dup = f.Duplicate();
    ASSERT_TRUE(dup->IsOpen());
    uint8_t b;
    EXPECT_EQ(dup->Read(&b, 1), 1u);
    EXPECT_EQ(b, 7);
    f.LockRange(0, 10);
    CFile64 other;
    ASSERT_TRUE(other.Open(dir / "f", modeReadWrite | shareDenyNone));
    try {
        other.LockRange(5, 10);
        FAIL() << "overlapping lock granted";
    } catch (const FileError &e) {
        EXPECT_EQ(e.Cause(), FileErrorCause::lockViolation);
    }
    f.UnlockRange(0, 10);
    EXPECT_NO_THROW(other.LockRange(5, 10));
}

TEST(CFile64, OutputIsNeverOpenedOverTheSource)
{
    TempDir dir;
    test::WriteFile(dir / "src.psd", test::Bytes(50, 9));
    ASSERT_EQ(symlink((dir / "src.psd").c_str(), (dir / "link.psd").c_str()), 0);
    ASSERT_EQ(link((dir / "src.psd").c_str(), (dir / "hard.psd").c_str()), 0);
    CFile64Ex source;
    ASSERT_TRUE(source.Open(dir / "src.psd", kSourceFlags));
    for (const char *name : {"src.psd", "link.psd", "hard.psd"}) {
        CFile64 out;
        FileError err;
        EXPECT_FALSE(out.Open(dir / name, kOutputFlags, &err)) << name;
        EXPECT_EQ(err.Cause(), FileErrorCause::sharingViolation);
        EXPECT_EQ(err.Description(), "A sharing violation occurred while accessing " + (dir / name) + ".");
    }
    EXPECT_EQ(test::ReadFile(dir / "src.psd"), test::Bytes(50, 9)) << "the source was truncated";
    {
        CFile64 reader;
        EXPECT_TRUE(reader.Open(dir / "link.psd", modeRead | shareDenyNone)) << "readers are welcome";
    }
    source.Close();
    CFile64 out;
    EXPECT_TRUE(out.Open(dir / "src.psd", kOutputFlags)) << "closed source is free again";
}

TEST(CFile64, DestructionClosesTheHandle)
{
    TempDir dir;
    test::WriteFile(dir / "f", {1});
    int fd;
    {
        CFile64 f;
        ASSERT_TRUE(f.Open(dir / "f", modeRead | shareDenyNone));
        fd = f.Handle();
    }
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
}

TEST(FullPath, MakesAbsoluteAndRemovesDotSegments)
{
    EXPECT_EQ(FullPath("/a/./b/../c"), "/a/c");
    EXPECT_EQ(FullPath("/a//b/"), "/a/b/");
    EXPECT_EQ(FullPath("/.."), "/");
    EXPECT_EQ(FullPath("x").front(), '/');
}

} // namespace
