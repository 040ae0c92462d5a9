// The engine's error texts and how messages and descriptions are joined.
#include <cerrno>
#include <gtest/gtest.h>

#include "Errors.h"
#include "Messages.h"

using namespace zelt;

namespace {

TEST(FileError, EveryCauseDescribesItselfWithTheFileName)
{
    const struct {
        FileErrorCause cause;
        const char *text;
    } cases[] = {
        {FileErrorCause::none, "No error occurred."},
        {FileErrorCause::generic, "An unknown error occurred while accessing /a/b.psd."},
        {FileErrorCause::fileNotFound, "/a/b.psd was not found."},
        {FileErrorCause::badPath, "/a/b.psd contains an invalid path."},
        {FileErrorCause::tooManyOpenFiles, "/a/b.psd could not be opened because there are too many open files."},
        {FileErrorCause::accessDenied, "Access to /a/b.psd was denied."},
        {FileErrorCause::invalidFile, "An invalid file handle was associated with /a/b.psd."},
        {FileErrorCause::removeCurrentDir, "/a/b.psd could not be removed because it is the current directory."},
        {FileErrorCause::directoryFull, "/a/b.psd could not be created because the directory is full."},
        {FileErrorCause::badSeek, "Seek failed on /a/b.psd"},
        {FileErrorCause::hardIO, "A hardware I/O error was reported while accessing /a/b.psd."},
        {FileErrorCause::sharingViolation, "A sharing violation occurred while accessing /a/b.psd."},
        {FileErrorCause::lockViolation, "A locking violation occurred while accessing /a/b.psd."},
        {FileErrorCause::diskFull, "Disk full while accessing /a/b.psd."},
        {FileErrorCause::endOfFile, "An attempt was made to access /a/b.psd past its end."},
    };
    for (const auto &c : cases)
        EXPECT_EQ(FileError(c.cause, 0, "/a/b.psd").Description(), c.text) << int(c.cause);
}

TEST(FileError, EmptyNameIsAnUnnamedFile)
{
    EXPECT_EQ(FileError(FileErrorCause::hardIO, EIO, "").Description(),
              "A hardware I/O error was reported while accessing an unnamed file.");
    EXPECT_EQ(FormatErrorMessage(kMsgGeneralError, FileError(FileErrorCause::badSeek, ESPIPE, "")),
              "Error 2: General error. Seek failed on an unnamed file");
}

TEST(FileError, ErrnoMapsToCauses)
{
    const std::pair<int, FileErrorCause> cases[] = {
        {0, FileErrorCause::none},
        {ENOENT, FileErrorCause::fileNotFound},
        {ENOTDIR, FileErrorCause::badPath},
        {ENAMETOOLONG, FileErrorCause::badPath},
        {EMFILE, FileErrorCause::tooManyOpenFiles},
        {ENFILE, FileErrorCause::tooManyOpenFiles},
        {EACCES, FileErrorCause::accessDenied},
        {EROFS, FileErrorCause::accessDenied},
        {EISDIR, FileErrorCause::accessDenied},
        {EBADF, FileErrorCause::invalidFile},
        {ESPIPE, FileErrorCause::badSeek},
        {EIO, FileErrorCause::hardIO},
        {ETXTBSY, FileErrorCause::sharingViolation},
        {EAGAIN, FileErrorCause::lockViolation},
        {ENOSPC, FileErrorCause::diskFull},
        {EDQUOT, FileErrorCause::diskFull},
        {EPROTO, FileErrorCause::generic},
        {12345, FileErrorCause::generic},
    };
    for (const auto &[err, cause] : cases) {
        FileError e = FileError::FromErrno(err, "f");
        EXPECT_EQ(e.Cause(), cause) << err;
        EXPECT_EQ(e.OsError(), err);
    }
}

TEST(EngineError, OtherKindsDescribeThemselves)
{
    EXPECT_EQ(OutOfMemoryError().Description(), "Out of memory.");
    EXPECT_EQ(NotSupportedError().Description(), "An unsupported operation was attempted.");
    EXPECT_EQ(FormatErrorMessage(kMsgGeneralError, OutOfMemoryError()), "Error 2: General error. Out of memory.");
}

TEST(EngineError, DescribeCutsToTheBuffer)
{
    char buf[8];
    FileError(FileErrorCause::fileNotFound, ENOENT, "abcdef").Describe(buf, sizeof buf);
    EXPECT_STREQ(buf, "abcdef ");
    char none[1] = {'x'};
    OutOfMemoryError().Describe(none, 1);
    EXPECT_EQ(none[0], '\0');
}

TEST(EngineError, ReleaseDropsTheFileName)
{
    FileError e(FileErrorCause::diskFull, -1, "/x");
    e.Release();
    EXPECT_EQ(e.Description(), "Disk full while accessing an unnamed file.");
}

TEST(Messages, TableTexts)
{
    EXPECT_STREQ(LoadMessage(10), "Error 1: Cannot open the file to be repaired. %1");
    EXPECT_STREQ(LoadMessage(11), "Error 2: General error. %1");
    EXPECT_STREQ(LoadMessage(12), "Error 3: Unknown error.");
    EXPECT_STREQ(LoadMessage(13), "%sLayer%u.psd");
    EXPECT_STREQ(LoadMessage(14), "Error 4: Cannot create file. %1");
    EXPECT_STREQ(LoadMessage(15), "Read data of layer %u.");
    EXPECT_STREQ(LoadMessage(16), "Read merged image data.");
    EXPECT_STREQ(LoadMessage(9), "");
}

TEST(FormatErrorMessage, DescriptionIsCutAt4095AndNeverRescanned)
{
    const std::string longName(5000, 'n');
    const std::string text = FormatErrorMessage(kMsgCannotCreateFile, FileError(FileErrorCause::accessDenied, EACCES, longName));
    const std::string description = ("Access to " + longName).substr(0, 4095);
    EXPECT_EQ(text, "Error 4: Cannot create file. " + description);

    const std::string tricky = FormatErrorMessage(kMsgCannotOpenSource, FileError(FileErrorCause::fileNotFound, ENOENT, "%1 %s"));
    EXPECT_EQ(tricky, "Error 1: Cannot open the file to be repaired. %1 %s was not found.");
}

} // namespace
