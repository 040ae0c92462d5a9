// End-to-end runs of the built velmora program.
#include <algorithm>
#include <chrono>
#include <functional>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
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
    pid_t pid;
    EXPECT_EQ(posix_spawn(&pid, VELMORA_PATH, &actions, nullptr, argv.data(), environ), 0);
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
        "Read data of layer 0.",
        "Written: " + outDir + "Layer0_mask.psd",
        "Written: " + outDir + "Layer0.psd",
        "Read data of layer 1.",
        "Written: " + outDir + "Layer1.psd",
        kRule,
    };
    const auto lines = Lines(r.out);
    ASSERT_GE(lines.size(), expected.size() + 6);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + long(expected.size())), expected);
    EXPECT_EQ(lines[expected.size()].rfind("Consumed time: 0 hour(s) 0 minute(s) ", 0), 0u) << lines[expected.size()];
    EXPECT_EQ(lines[expected.size() + 2], "Repair process completes.");
    EXPECT_EQ(lines[expected.size() + 4], "File '" + (dir / "cat.psd") + "' has been repaired successfully!");
    EXPECT_EQ(lines.back(), "Now you can open the directory '" + outDir + "' containing all the recovered image and layers.");
    EXPECT_EQ(ListDir(outDir), (std::vector<std::string>{"Layer0.psd", "Layer0_mask.psd", "Layer1.psd", "cat_1.psd"}));
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
                                    "' containing all the recovered image and layers."}));
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
        {{"--channels", "25", dir / "cat.psd"}, "--channels"},
        {{"--channels", "0", dir / "cat.psd"}, "1 to 24"},
        {{"--height", "30001", dir / "cat.psd"}, "--height"},
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
    RunResult missing = Velmora({dir / "gone.psd"});
    EXPECT_EQ(missing.status, 3);
    EXPECT_NE(missing.out.find("Error 1: Cannot open the file to be repaired. " + (dir / "gone.psd") + " was not found."),
              std::string::npos);
    EXPECT_NE(missing.out.find("Fail to repair file '" + (dir / "gone.psd") + "'!"), std::string::npos);
    EXPECT_FALSE(FileExists(dir / "gone_recovered")) << "no empty directory for a file that is not there";

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
    RunResult r = Velmora({"-q", dir / "a.psd", dir / "b.psd", dir / "c.pdd"});
    EXPECT_EQ(r.status, 1);
    const auto lines = Lines(r.out);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(lines.end() - 4, lines.end()),
              (std::vector<std::string>{"2 file(s) repaired successfully", "Successful   " + (dir / "a.psd"),
                                        "Failed       " + (dir / "b.psd"), "Successful   " + (dir / "c.pdd")}));
    EXPECT_TRUE(FileExists(dir / "c_recovered/Layer0.psd"));
}

TEST(Velmora, InterruptStopsTheRunAndKeepsWhatWasWritten)
{
    TempDir dir;
    // A layer section first, then 600 MB of nothing: the scan takes seconds.
    WriteFile(dir / "long.psd", LayerSection({{0, 0, 1, 1, {{0, RawChannel({1})}}}}));
    ASSERT_EQ(truncate((dir / "long.psd").c_str(), 600 << 20), 0);
    const auto start = std::chrono::steady_clock::now();
    RunResult r = Velmora({dir / "long.psd", dir / "long.psd"}, [&](pid_t pid) {
        // Wait until the first layer file is there, then stop.
        for (int i = 0; i < 500 && !FileExists(dir / "long_recovered/Layer0.psd"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        kill(pid, SIGINT);
    });
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(r.status, 130) << r.err;
    EXPECT_LT(seconds, 2.0) << "the scan stops at its next step";
    EXPECT_TRUE(FileExists(dir / "long_recovered/Layer0.psd"));
    const auto lines = Lines(r.out);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "User aborts the repair process"), lines.end());
    EXPECT_EQ(lines.back(), "Not Repaired " + (dir / "long.psd")) << "the second file is not started";
}

TEST(Velmora, VersionAndHelp)
{
    RunResult v = Velmora({"--version"});
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.out, "velmora 1.1.0.0\n");
    RunResult h = Velmora({"--help"});
    EXPECT_EQ(h.status, 0);
    EXPECT_NE(h.out.find("--no-heuristic"), std::string::npos);
}

} // namespace
