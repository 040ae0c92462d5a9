// End-to-end runs of the built velmora program.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "EngineHarness.h"

extern char **environ;

using namespace test;

namespace {

struct RunResult {
    int status = -1; ///< exit status, or 128 + signal
    std::string out, err;
};

std::string Slurp(int fd)
{
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        s.append(buf, std::size_t(n));
    close(fd);
    return s;
}

/// Starts velmora; `during` runs with its pid while it runs.
RunResult Velmora(const std::vector<std::string> &args, const std::function<void(pid_t)> &during = {})
{
    int out[2], err[2];
    EXPECT_EQ(pipe(out), 0);
    EXPECT_EQ(pipe(err), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, err[0]);
    std::vector<std::string> all{VELMORA_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    // A process group of its own, as a shell gives a command: a terminal's
    // Ctrl-C is kill(-pid, SIGINT).
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    pid_t pid;
    EXPECT_EQ(posix_spawn(&pid, VELMORA_PATH, &actions, &attr, argv.data(), environ), 0);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    if (during)
        during(pid);
    std::string errText;
    std::thread errReader([&] { errText = Slurp(err[0]); });
    RunResult r;
    r.out = Slurp(out[0]);
    errReader.join();
    r.err = errText;
    int st = 0;
    waitpid(pid, &st, 0);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return r;
}

std::vector<std::string> Lines(const std::string &s)
{
    std::vector<std::string> lines;
    std::size_t from = 0, at;
    while ((at = s.find('\n', from)) != std::string::npos) {
        lines.push_back(s.substr(from, at - from));
        from = at + 1;
    }
    return lines;
}

const std::string kRule(56, '-');

Bytes TwoLayers()
{
    return PsdFile(3, 2, 2, 8, 3,
                   {{0, 0, 2, 2, {{0, RawChannel({1, 2, 3, 4})}, {-1, RawChannel({9, 9, 9, 9})}}},
                    {0, 0, 1, 1, {{0, RawChannel({5})}}}},
                   Bytes(12, 7));
}

TEST(Velmora, RepairsIntoTheDefaultDirectoryAndWritesTheLog)
{
    TempDir dir;
    WriteFile(dir / "cat.psd", TwoLayers());
    RunResult r = Velmora({dir / "cat.psd"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string outDir = dir / "cat_recovered/";
    const std::vector<std::string> expected = {
        "Start repair process ...",
        kRule,
        "File to be repaired: '" + (dir / "cat.psd") + "'; File size = " + std::to_string(TwoLayers().size()) + " bytes",
        "Output recovered image and layers to: '" + outDir + "'",
        kRule,
        "Read merged image data.",
        "Written: " + outDir + "cat_1.psd",
        "The merged image (2 x 2): 2 of 2 rows read; 0 filled with white; 0 damaged.",
        "Read data of layer 0.",
        "Written: " + outDir + "Layer0_mask.psd",
        "Written: " + outDir + "Layer0.psd",
        "Layer 0 \"\" (2 x 2): 2 of 2 rows read; 0 filled with white; 0 damaged.",
        "Read data of layer 1.",
        "Written: " + outDir + "Layer1.psd",
        "Layer 1 \"\" (1 x 1): 1 of 1 rows read; 0 filled with white; 0 damaged.",
        "Written: " + outDir + "cat_rebuilt.psd",
        kRule,
    };
    const auto lines = Lines(r.out);
    ASSERT_GE(lines.size(), expected.size() + 6);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + long(expected.size())), expected);
    EXPECT_EQ(lines[expected.size()].rfind("Consumed time: 0 hour(s) 0 minute(s) ", 0), 0u) << lines[expected.size()];
    EXPECT_EQ(lines[expected.size() + 2], "Repair process completes.");
    EXPECT_EQ(lines[expected.size() + 4], "File '" + (dir / "cat.psd") + "' has been repaired successfully!");
    EXPECT_EQ(lines[expected.size() + 5],
              "Now you can open the directory '" + outDir + "' containing all the recovered image and layers.");
    EXPECT_EQ(lines.back(), "Rebuilt document: " + outDir + "cat_rebuilt.psd");
    EXPECT_EQ(ListDir(outDir),
              (std::vector<std::string>{"Layer0.psd", "Layer0_mask.psd", "Layer1.psd", "cat_1.psd", "cat_rebuilt.psd"}));
    EXPECT_EQ(r.err, "") << "no progress bar when standard error is no terminal";
}

TEST(Velmora, OutputDirectoryOptionCreatesMissingParentsAndQuietKeepsResults)
{
    TempDir dir;
    WriteFile(dir / "cat.psd", TwoLayers());
    RunResult r = Velmora({"-q", "-o", dir / "a/b/c", "--log", dir / "repair.log", dir / "cat.psd"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(FileExists(dir / "a/b/c/Layer0.psd"));
    EXPECT_EQ(Lines(r.out), (std::vector<std::string>{
                                "File '" + (dir / "cat.psd") + "' has been repaired successfully!",
                                "Now you can open the directory '" + (dir / "a/b/c") +
                                    "' containing all the recovered image and layers.",
                                "Rebuilt document: " + (dir / "a/b/c") + "/cat_rebuilt.psd"}));
    const auto log = ReadFile(dir / "repair.log");
    const std::string logText(log.begin(), log.end());
    EXPECT_NE(logText.find("Written: " + (dir / "a/b/c") + "/Layer1.psd\n"), std::string::npos) << "the log file has it all";
}

TEST(Velmora, LostHeaderUsesTheGivenProperties)
{
    TempDir dir;
    Bytes f = TwoLayers();
    std::fill(f.begin(), f.begin() + 26, 0);
    WriteFile(dir / "lost.psd", f);
    RunResult r = Velmora({"--channels", "1", "--height", "3", "--width", "4", "--depth", "16", "--mode", "Grayscale",
                     dir / "lost.psd"});
    ASSERT_EQ(r.status, 0) << r.err;
    PsdImage merged = ParseRecovered(dir / "lost_recovered/" + FilesWithPrefix(dir / "lost_recovered", "lost_").at(0));
    EXPECT_EQ(merged.channels, 1);
    EXPECT_EQ(merged.height, 3u);
    EXPECT_EQ(merged.width, 4u);
    EXPECT_EQ(merged.depth, 16);
    EXPECT_EQ(merged.mode, 1);
    RunResult numeric = Velmora({"--mode", "9", "-o", dir / "lab", dir / "lost.psd"});
    EXPECT_EQ(numeric.status, 0);
    EXPECT_EQ(ParseRecovered(dir / "lab/" + FilesWithPrefix(dir / "lab", "lost_").at(0)).mode, 9);
}

TEST(Velmora, BadOptionsNameTheOptionAndWhatItAccepts)
{
    TempDir dir;
    WriteFile(dir / "cat.psd", TwoLayers());
    const struct {
        std::vector<std::string> args;
        std::string says;
    } cases[] = {
        {{"--channels", "58", dir / "cat.psd"}, "--channels"},
        {{"--channels", "0", dir / "cat.psd"}, "1 to 57"},
        {{"--height", "300001", dir / "cat.psd"}, "--height"},
        {{"-j", "0", dir / "cat.psd"}, "--jobs"},
        {{"--log", dir / "cat.psd", dir / "cat.psd"}, "is a file to repair"},
        {{"--width", "x", dir / "cat.psd"}, "--width"},
        {{"--depth", "12", dir / "cat.psd"}, "--depth"},
        {{"--mode", "purple", dir / "cat.psd"}, "bitmap, grayscale, indexed, rgb"},
        {{"--mode", "5", dir / "cat.psd"}, "--mode"},
        {{"-o", dir / "x", dir / "cat.psd", dir / "cat.psd"}, "one FILE"},
        {{}, "FILE"},
        {{"--bogus", dir / "cat.psd"}, "--bogus"},
    };
    for (const auto &c : cases) {
        RunResult r = Velmora(c.args);
        EXPECT_EQ(r.status, 2) << c.says;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_FALSE(FileExists(dir / "cat_recovered")) << "no work before the options are good";
}

TEST(Velmora, MissingFileAndUncreatableDirectoryExit3)
{
    TempDir dir;
    ASSERT_EQ(mkfifo((dir / "pipe.psd").c_str(), 0600), 0);
    MakeDir(dir / "folder.psd");
    const struct {
        std::string source, cause;
    } sources[] = {
        {dir / "gone.psd", dir / "gone.psd was not found."},
        {dir / "pipe.psd", dir / "pipe.psd is neither a regular file nor a block device."},
        {"/dev/zero", "/dev/zero is neither a regular file nor a block device."},
        {dir / "folder.psd", "Access to " + (dir / "folder.psd") + " was denied."},
    };
    for (const auto &c : sources) {
        RunResult r = Velmora({c.source});
        EXPECT_EQ(r.status, 3) << c.source;
        EXPECT_NE(r.out.find("Error 1: Cannot open the file to be repaired. " + c.cause), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("Fail to repair file '" + c.source + "'!"), std::string::npos);
    }
    EXPECT_FALSE(FileExists(dir / "gone_recovered")) << "no empty directory for a file that is not there";
    EXPECT_FALSE(FileExists(dir / "pipe_recovered"));

    WriteFile(dir / "cat.psd", TwoLayers());
    WriteFile(dir / "plain", {1});
    RunResult blocked = Velmora({"-o", dir / "plain/sub", dir / "cat.psd"});
    EXPECT_EQ(blocked.status, 3);
    EXPECT_NE(blocked.err.find("Cannot create the directory '" + (dir / "plain/sub") + "'!"), std::string::npos);
    EXPECT_EQ(Lines(blocked.out).back(), "Repair process is aborted.");
}

TEST(Velmora, NothingRecoveredExits1)
{
    TempDir dir;
    WriteFile(dir / "noise.psd", Pattern(5000, 3));
    RunResult r = Velmora({dir / "noise.psd"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(Lines(r.out).back(), "Fail to repair file '" + (dir / "noise.psd") + "'!");
}

TEST(Velmora, SeveralFilesEndWithTheSummaryAndAStatusEach)
{
    TempDir dir;
    WriteFile(dir / "a.psd", TwoLayers());
    WriteFile(dir / "b.psd", Pattern(300, 1));
    WriteFile(dir / "c.pdd", TwoLayers());
    WriteFile(dir / "a.pdd", TwoLayers());
    for (const char *jobs : {"1", "3"}) {
        RunResult r = Velmora({"-q", "-j", jobs, dir / "a.psd", dir / "b.psd", dir / "c.pdd", dir / "a.pdd"});
        EXPECT_EQ(r.status, 1);
        const auto lines = Lines(r.out);
        ASSERT_GE(lines.size(), 8u);
        EXPECT_EQ(std::vector<std::string>(lines.end() - 8, lines.end()),
                  (std::vector<std::string>{"3 file(s) repaired successfully", "Successful   " + (dir / "a.psd"),
                                            "Failed       " + (dir / "b.psd"), "Successful   " + (dir / "c.pdd"),
                                            "Successful   " + (dir / "a.pdd"),
                                            "Rebuilt document: " + (dir / "a_recovered/a_rebuilt.psd"),
                                            "Rebuilt document: " + (dir / "c_recovered/c_rebuilt.pdd"),
                                            "Rebuilt document: " + (dir / "a_recovered_2/a_rebuilt.pdd")}))
            << "-j " << jobs << ": a.pdd gets a folder of its own";
        EXPECT_TRUE(FileExists(dir / "c_recovered/Layer0.psd"));
        EXPECT_TRUE(FileExists(dir / "c_recovered/c_1.pdd")) << "every file's merged images count from 1";
        EXPECT_TRUE(FileExists(dir / "a_recovered/Layer0.psd") && FileExists(dir / "a_recovered_2/Layer0.psd"));
        for (const char *folder : {"a_recovered", "a_recovered_2", "c_recovered"})
            std::filesystem::remove_all(dir / folder);
    }
}

TEST(Velmora, InterruptStopsTheRunAndKeepsWhatWasWritten)
{
    // Ctrl-C sent to velmora alone, and by a terminal to its whole process
    // group (the workers get it too: they stop at their next step as well);
    // SIGTERM and SIGHUP to velmora alone stop it and its workers alike.
    const struct {
        int signal;
        bool group;
    } stops[] = {{SIGINT, false}, {SIGINT, true}, {SIGTERM, false}, {SIGHUP, false}};
    for (const auto &stop : stops) {
        const bool group = stop.group;
        SCOPED_TRACE(std::string(strsignal(stop.signal)) + (group ? " to the process group" : " to velmora alone"));
        TempDir dir;
        // A layer section first, then 600 MB of nothing: the scan takes seconds.
        WriteFile(dir / "long.psd", LayerSection({{0, 0, 1, 1, {{0, RawChannel({1})}}}}));
        ASSERT_EQ(truncate((dir / "long.psd").c_str(), 600 << 20), 0);
        const auto start = std::chrono::steady_clock::now();
        pid_t groupId = 0;
        RunResult r = Velmora({"-j", "1", dir / "long.psd", dir / "long.psd"}, [&](pid_t pid) {
            // Wait until the first layer file is there, then stop.
            for (int i = 0; i < 500 && !FileExists(dir / "long_recovered/Layer0.psd"); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            kill(group ? -pid : pid, stop.signal);
            groupId = pid;
        });
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(r.status, 128 + stop.signal) << r.err;
        EXPECT_NE(kill(-groupId, 0), 0) << "no worker goes on writing after velmora has ended";
        std::size_t notices = 0;
        for (std::size_t at = 0; (at = r.err.find("velmora: stopping after the current step", at)) != std::string::npos; ++at)
            ++notices;
        EXPECT_EQ(notices, 1u) << "told once, by velmora; a worker stops quietly, never at once\n" << r.err;
        EXPECT_LT(seconds, 2.0) << "the scan stops at its next step";
        EXPECT_TRUE(FileExists(dir / "long_recovered/Layer0.psd"));
        const auto lines = Lines(r.out);
        EXPECT_NE(std::find(lines.begin(), lines.end(), "User aborts the repair process"), lines.end());
        EXPECT_NE(std::find(lines.begin(), lines.end(), "Not Repaired " + (dir / "long.psd")), lines.end())
            << "the second file is not started";
    }
}

TEST(Velmora, VersionAndHelp)
{
    RunResult v = Velmora({"--version"});
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.out, "velmora 1.1.0.0\n");
    RunResult h = Velmora({"--help"});
    EXPECT_EQ(h.status, 0);
    for (const char *option : {"--no-heuristic", "--no-rebuild", "--jobs"})
        EXPECT_NE(h.out.find(option), std::string::npos) << option;
}

TEST(Velmora, NoFileOfTheUserIsEverWrittenOver)
{
    // The log named like a source, a later source inside an earlier one's
    // output folder, a link in the output folder pointing at a user's file.
    TempDir dir;
    const Bytes cat = TwoLayers();
    WriteFile(dir / "a.psd", cat);
    WriteFile(dir / "b.psd", cat);
    ASSERT_EQ(symlink((dir / "b.psd").c_str(), (dir / "b-link.psd").c_str()), 0);
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"-q", "--log", dir / "a.psd", dir / "a.psd"},
          {"-q", "--log", dir / "b-link.psd", dir / "a.psd", dir / "b.psd"}}) {
        RunResult r = Velmora(args);
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_NE(r.err.find("is a file to repair"), std::string::npos) << r.err;
    }
    EXPECT_EQ(ReadFile(dir / "a.psd"), cat);
    EXPECT_EQ(ReadFile(dir / "b.psd"), cat);
    EXPECT_FALSE(FileExists(dir / "a_recovered"));

    // A default folder that holds an earlier repair's files (and a later
    // source) is passed over: the repair takes a_recovered_2/ and says so.
    MakeDir(dir / "a_recovered");
    WriteFile(dir / "a_recovered/Layer0.psd", cat);
    ASSERT_EQ(symlink((dir / "b.psd").c_str(), (dir / "a_recovered/Layer1.psd").c_str()), 0);
    RunResult r = Velmora({"-j", "1", dir / "a.psd", dir / "a_recovered/Layer0.psd"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(ReadFile(dir / "a_recovered/Layer0.psd"), cat) << "a later source is protected";
    EXPECT_EQ(ReadFile(dir / "b.psd"), cat) << "no write through a link";
    EXPECT_EQ(ListDir(dir / "a_recovered").size(), 3u) << "nothing is added to an earlier repair's folder";
    EXPECT_NE(r.out.find("The folder '" + dir / "a_recovered/' already holds files: the recovered files go to '" +
                         dir / "a_recovered_2/'."),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(FileExists(dir / "a_recovered_2/Layer0.psd"));
    EXPECT_TRUE(FileExists(dir / "a_recovered/Layer0_recovered/Layer0.psd")) << "the second source is repaired too";

    // A folder named with -o keeps what it holds: outputs take new names.
    const Bytes before = ReadFile(dir / "a_recovered_2/Layer0.psd");
    r = Velmora({"-o", dir / "a_recovered_2", dir / "a.psd"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(ReadFile(dir / "a_recovered_2/Layer0.psd"), before);
    EXPECT_NE(r.out.find(dir / "a_recovered_2/Layer0.psd already exists: the output is named " +
                         (dir / "a_recovered_2/Layer0_2.psd") + " instead."),
              std::string::npos)
        << r.out;
}

TEST(Velmora, ALogNeverReplacesAFileThatIsNotALog)
{
    // "--log *.psd" makes the first damaged file the log's name: refused
    // before anything is opened, as is any file that is not a repair log,
    // also through a link. A log of an earlier repair, an empty file, a
    // link to a log and a new name are written.
    TempDir dir;
    const Bytes cat = TwoLayers();
    WriteFile(dir / "a.psd", cat);
    WriteFile(dir / "b.psd", cat);
    WriteFile(dir / "notes.txt", {'h', 'i', '\n'});
    WriteFile(dir / "old.log", {});
    ASSERT_EQ(Velmora({"-q", "--log", dir / "old.log", dir / "b.psd"}).status, 0);
    const Bytes oldLog = ReadFile(dir / "old.log");
    ASSERT_EQ(std::string(oldLog.begin(), oldLog.begin() + 24), "Start repair process ...");
    WriteFile(dir / "empty.log", {});
    ASSERT_EQ(symlink((dir / "notes.txt").c_str(), (dir / "to-notes.log").c_str()), 0);
    ASSERT_EQ(symlink((dir / "old.log").c_str(), (dir / "to-old.log").c_str()), 0);
    const struct {
        std::string log;
        int status;
        bool written;
    } cases[] = {
        {dir / "a.psd", 2, false},     {dir / "notes.txt", 2, false}, {dir / "to-notes.log", 2, false},
        {dir / "old.log", 0, true},    {dir / "empty.log", 0, true},  {dir / "to-old.log", 0, true},
        {dir / "new.log", 0, true},
    };
    for (const auto &c : cases) {
        const Bytes before = FileExists(c.log) ? ReadFile(c.log) : Bytes{};
        std::filesystem::remove_all(dir / "b_recovered");
        RunResult r = Velmora({"-q", "--log", c.log, dir / "b.psd"});
        EXPECT_EQ(r.status, c.status) << c.log << "\n" << r.err;
        const Bytes after = ReadFile(c.log);
        if (c.written) {
            EXPECT_EQ(std::string(after.begin(), after.begin() + 24), "Start repair process ...") << c.log;
            const std::string text(after.begin(), after.end());
            EXPECT_EQ(text.find("Start repair process", 1), std::string::npos) << c.log << ": replaced, not appended to";
        } else {
            EXPECT_EQ(after, before) << c.log;
            EXPECT_NE(r.err.find("' exists and is not a repair log: give the log a name of its own."), std::string::npos)
                << r.err;
            EXPECT_FALSE(FileExists(dir / "b_recovered")) << "refused before anything is opened";
        }
    }
    EXPECT_EQ(ReadFile(dir / "a.psd"), cat);
    EXPECT_EQ(ReadFile(dir / "notes.txt"), (Bytes{'h', 'i', '\n'}));

    // A log that cannot be written (a full disk): said on standard error,
    // and the run ends with status 4.
    std::filesystem::remove_all(dir / "b_recovered");
    RunResult full = Velmora({"-q", "--log", "/dev/full", dir / "b.psd"});
    EXPECT_EQ(full.status, 4) << full.err;
    EXPECT_NE(full.err.find("--log: cannot write /dev/full"), std::string::npos) << full.err;
    EXPECT_TRUE(FileExists(dir / "b_recovered/Layer0.psd")) << "the repair itself goes on";
}

TEST(Velmora, APreviewAloneIsSaidAndNothingLeavesNoFolder)
{
    TempDir dir;
    // Image resources with a preview, then noise: the preview is all.
    PsdBuilder thumb;
    const Bytes jpeg{0xFF, 0xD8, 0xFF, 0xE0, 0, 2, 0xFF, 0xD9};
    thumb.U32(1).U32(16).U32(8).U32(48).U32(0).U32(uint32_t(jpeg.size())).U16(24).U16(1).Append(jpeg);
    PsdBuilder b;
    b.Fill(30, 0).Str("8BIM").U16(1036).U16(0).Section(thumb.Data()).Append(Pattern(4000, 9));
    WriteFile(dir / "thumb.psd", b.Data());
    RunResult r = Velmora({dir / "thumb.psd"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(Lines(r.out).back(), "Only the embedded preview of '" + (dir / "thumb.psd") +
                                       "' could be recovered: " + (dir / "thumb_recovered/thumb_preview.jpg"));
    EXPECT_EQ(ReadFile(dir / "thumb_recovered/thumb_preview.jpg"), jpeg);

    // Nothing recovered: the folders the run made are gone again, one that
    // was there stays.
    WriteFile(dir / "noise.psd", Pattern(5000, 3));
    EXPECT_EQ(Velmora({dir / "noise.psd"}).status, 1);
    EXPECT_FALSE(FileExists(dir / "noise_recovered"));
    EXPECT_EQ(Velmora({"-o", dir / "new/deeper", dir / "noise.psd"}).status, 1);
    EXPECT_FALSE(FileExists(dir / "new"));
    MakeDir(dir / "kept");
    EXPECT_EQ(Velmora({"-o", dir / "kept", dir / "noise.psd"}).status, 1);
    EXPECT_TRUE(FileExists(dir / "kept"));

    // A folder velmora will not write into is "nothing could be done".
    if (geteuid() == 0) {
        const std::string theirs = MakeDir(dir / "theirs");
        ASSERT_EQ(chown(theirs.c_str(), 65534, 65534), 0);
        RunResult refused = Velmora({"-o", theirs, dir / "thumb.psd"});
        EXPECT_EQ(refused.status, 3) << refused.out;
        EXPECT_TRUE(ListDir(theirs).empty());
    }
}

TEST(Velmora, TheLogTellsTheTruth)
{
    TempDir dir;
    // A name with a newline: every event stays one line.
    const std::string odd = dir / "odd\nWritten: x.psd";
    WriteFile(odd, TwoLayers());
    RunResult named = Velmora({"-q", odd});
    EXPECT_EQ(named.status, 0);
    for (const std::string &line : Lines(named.out))
        EXPECT_NE(line.rfind("Written: x", 0), 0u) << line;
    EXPECT_NE(named.out.find("odd\\nWritten"), std::string::npos) << named.out;

    // A name of 255 bytes, the most a file system allows: the base of each
    // output name is shortened to fit, the counter and extension kept.
    const std::string stem(251, 'n');
    WriteFile(dir / stem + ".psd", TwoLayers());
    RunResult longName = Velmora({"-q", dir / stem + ".psd"});
    EXPECT_EQ(longName.status, 0) << longName.out;
    const std::string folder = dir / std::string(245, 'n') + "_recovered";
    EXPECT_TRUE(FileExists(folder / (std::string(249, 'n') + "_1.psd")));
    EXPECT_TRUE(FileExists(folder / (std::string(243, 'n') + "_rebuilt.psd")));
    RunResult logged = Velmora({"-o", dir / "long2", dir / stem + ".psd"});
    EXPECT_NE(logged.out.find("is too long for the file system: the output is named " + (dir / "long2") + "/" +
                              std::string(249, 'n') + "_1.psd instead."),
              std::string::npos)
        << logged.out;

    // A full disk ends the scan early: a status of its own, no "successfully".
    WriteFile(dir / "big.psd", PsdFile(3, 64, 64, 8, 3, {{0, 0, 64, 64, {{0, RawChannel(Pattern(4096, 1))}}}}, Pattern(3 * 4096, 2)));
    struct rlimit old;
    getrlimit(RLIMIT_FSIZE, &old);
    struct rlimit small = old;
    small.rlim_cur = 6000; // the merged image's file does not fit
    signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    RunResult full = Velmora({"-q", "-o", dir / "full", dir / "big.psd"});
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, SIG_DFL);
    EXPECT_EQ(full.status, 4) << full.out;
    EXPECT_EQ(full.out.find("successfully"), std::string::npos) << full.out;
    EXPECT_NE(full.out.find("Error 2: General error."), std::string::npos) << full.out;

    // Output piped to a reader that goes away: the repair goes on.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    const int saved = dup(1);
    dup2(fds[1], 1);
    close(fds[1]);
    RunResult piped = Velmora({dir / "big.psd"});
    dup2(saved, 1);
    close(saved);
    EXPECT_EQ(piped.status, 0);
    EXPECT_TRUE(FileExists(dir / "big_recovered/big_rebuilt.psd"));
}

TEST(Velmora, RepairsADiskIntoAFolderNamedAfterIt)
{
    TempDir dir;
    Bytes image(1 << 20, 0);
    const Bytes cat = TwoLayers();
    std::copy(cat.begin(), cat.end(), image.begin() + 4097);
    WriteFile(dir / "disk.img", image);
    FILE *attach = popen(("losetup -f --show " + (dir / "disk.img") + " 2>/dev/null").c_str(), "r");
    char device[64] = "";
    if (!attach || !fgets(device, sizeof device, attach)) {
        if (attach)
            pclose(attach);
        GTEST_SKIP() << "no loop device to be had here";
    }
    pclose(attach);
    std::string dev(device);
    dev.erase(dev.find_last_not_of("\n") + 1);
    const std::string cwd = CurrentDir();
    ASSERT_EQ(chdir(dir.Path().c_str()), 0);
    RunResult r = Velmora({"-q", dev});
    ASSERT_EQ(chdir(cwd.c_str()), 0);
    system(("losetup -d " + dev).c_str());
    EXPECT_EQ(r.status, 0) << r.out;
    const std::string name = dev.substr(dev.find_last_of('/') + 1);
    EXPECT_TRUE(FileExists(dir / name + "_recovered/Layer0.psd")) << r.out;
    EXPECT_TRUE(FileExists(dir / name + "_recovered/" + name + "_1.psd")) << "named as Photoshop files";
}

} // namespace
