// velmora: repairs damaged Photoshop files from the command line, with the
// same engine and the same repair log as the window.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

#include "Qoban.h"
#include "RepairLog.h"
#include "VersionInfo.h"
#include "WenkUtils.h"
#include "ZeltApi.h"

namespace {

// Set by the first Ctrl-C; the engine sees it at its next abort poll.
volatile std::sig_atomic_t g_stop = 0;

void OnInterrupt(int)
{
    if (g_stop)
        _exit(130); // the second Ctrl-C ends the program at once
    g_stop = 1;
    const char text[] = "\nvelmora: stopping after the current step; press Ctrl-C again to quit at once\n";
    (void)!write(STDERR_FILENO, text, sizeof text - 1);
}

const std::map<std::string, uint16_t> kModes = {
    {"bitmap", 0}, {"grayscale", 1}, {"indexed", 2}, {"rgb", 3}, {"cmyk", 4}, {"multichannel", 7}, {"duotone", 8}, {"lab", 9},
};

// The log, to standard output and optionally a file; the progress bar on
// standard error when it is a terminal.
class Output {
public:
    bool quiet = false;
    bool progress = false;
    std::ofstream logFile;
    // Of the file being repaired:
    bool openFailed = false; ///< the engine could not open it
    int written = 0;         ///< files written

    /// A line of the log; `always` lines (errors and results) survive --quiet.
    void Line(const std::string &text, bool always = false)
    {
        ClearBar();
        if (!quiet || always) {
            std::fwrite(text.data(), 1, text.size(), stdout);
            std::fputc('\n', stdout);
            std::fflush(stdout);
        }
        if (logFile.is_open())
            logFile << text << '\n';
    }

    /// A result text, whose two lines are joined by CR LF.
    void Result(const std::string &text)
    {
        std::size_t from = 0;
        while (true) {
            const std::size_t at = text.find("\r\n", from);
            Line(text.substr(from, at == std::string::npos ? std::string::npos : at - from), true);
            if (at == std::string::npos)
                break;
            from = at + 2;
        }
    }

    void Error(const std::string &text)
    {
        ClearBar();
        std::fprintf(stderr, "velmora: %s\n", text.c_str());
    }

    void StartFile(const std::string &label, uint64_t size)
    {
        m_label = label;
        m_size = size;
        m_start = std::chrono::steady_clock::now();
        m_lastDraw = {};
        m_percent = 255;
        openFailed = false;
        written = 0;
    }

    /// One progress report of the engine, made for every byte position. The
    /// report is a percentage; only a change of it is looked at (the clock
    /// is read then, never per report), so most reports cost a load and a
    /// compare, and nothing is stored per report.
    void Progress(uint8_t percent)
    {
        if (percent != m_percent)
            ProgressChanged(percent);
    }

    void EndFile() { ClearBar(); }

private:
    [[gnu::noinline]] void ProgressChanged(uint8_t percent)
    {
        m_percent = percent;
        if (!progress)
            return;
        const auto now = std::chrono::steady_clock::now();
        if (percent != 100 && now - m_lastDraw < std::chrono::milliseconds(100))
            return;
        m_lastDraw = now;
        Draw(percent, now);
    }

    void Draw(uint8_t percent, std::chrono::steady_clock::time_point now)
    {
        const double seconds = std::chrono::duration<double>(now - m_start).count();
        const double done = double(m_size) * percent / 100.0;
        const double rate = seconds > 0 ? done / seconds : 0; // bytes per second
        const int width = 30, filled = std::min(width, percent * width / 100);
        std::string bar(std::size_t(filled), '#');
        bar.append(std::size_t(width - filled), '.');
        char left[32] = "--:--";
        if (rate > 0 && percent < 100) {
            const auto s = static_cast<long>((double(m_size) - done) / rate);
            std::snprintf(left, sizeof left, "%ld:%02ld", s / 60, s % 60);
        }
        std::fprintf(stderr, "\r\033[K%s [%s] %3u%%  %6.1f MB/s  %s left", m_label.c_str(), bar.c_str(),
                     unsigned(percent), rate / 1e6, left);
        std::fflush(stderr);
        m_barShown = true;
    }

    void ClearBar()
    {
        if (m_barShown) {
            std::fputs("\r\033[K", stderr);
            std::fflush(stderr);
            m_barShown = false;
        }
    }

    std::string m_label;
    uint64_t m_size = 0;
    uint8_t m_percent = 255;
    bool m_barShown = false;
    std::chrono::steady_clock::time_point m_start, m_lastDraw;
};

// Every message but the two that come for each byte position.
[[gnu::noinline]] int32_t OtherMessage(int32_t code, const char *text, Output *out)
{
    switch (code) {
    case MSG_STATUS: out->Line(text); break;
    case MSG_FILE_WRITTEN:
        ++out->written;
        out->Line(std::string("Written: ") + text);
        break;
    case MSG_ERROR:
        // Message 1 of the engine: the source could not be opened.
        if (std::strncmp(text, "Error 1:", 8) == 0)
            out->openFailed = true;
        out->Line(repairlog::kRule, true);
        out->Line(text, true);
        out->Line(repairlog::kRule, true);
        break;
    default: break;
    }
    return 0;
}

// Called twice for every byte position of the source: the abort poll and the
// progress report are answered first, with a few instructions each.
int32_t ZELT_CALL EngineCallback(int32_t code, const void *data, void *user)
{
    auto *out = static_cast<Output *>(user);
    if (code == MSG_PROGRESS) {
        out->Progress(*static_cast<const uint8_t *>(data));
        return 0;
    }
    if (code == MSG_QUERY_ABORT)
        return g_stop; // nonzero stops the scan
    return OtherMessage(code, static_cast<const char *>(data), out);
}

enum class Outcome { Successful, Failed, Aborted, OpenFailed, DirectoryFailed };

Outcome RepairFile(Output &out, const std::string &source, const std::string &outputDir, const RepairOptions &options)
{
    out.Line(repairlog::kStart);
    out.Line(repairlog::kRule);
    // A source that cannot be read gets no empty output directory: the engine
    // reports why it cannot be opened, and writes nothing.
    const bool readable = access(source.c_str(), R_OK) == 0;
    if (readable && !wenk::ForceDirectories(outputDir)) {
        out.Error(repairlog::CannotCreateDirectory(outputDir));
        out.Line(repairlog::kAborted, true);
        return Outcome::DirectoryFailed;
    }
    const uint64_t size = wenk::GetFileSize64(source);
    out.Line(repairlog::FileLine(source, size, repairlog::LocaleThousandsSeparator()));
    out.Line(repairlog::OutputLine(outputDir));
    out.Line(repairlog::kRule);

    out.StartFile(source.substr(source.find_last_of('/') + 1), size);
    const auto start = std::chrono::steady_clock::now();
    const bool success = qoban::CallRecoverFile(&RecoverFile, source, options, 0, &out, &EngineCallback, outputDir);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    out.EndFile();

    out.Line(repairlog::kRule);
    out.Line(repairlog::ConsumedTimeLine(ms.count()));
    out.Line(repairlog::kRule);
    out.Line(repairlog::kCompletes);
    out.Line(repairlog::kRule);
    const bool stillRunning = !g_stop;
    out.Result(repairlog::ResultText(stillRunning, success, source, outputDir));
    if (success)
        return Outcome::Successful;
    if (!stillRunning)
        return Outcome::Aborted;
    return out.openFailed ? Outcome::OpenFailed : Outcome::Failed;
}

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

} // namespace

int main(int argc, char **argv)
{
    std::setlocale(LC_ALL, "");
    const std::string version = wenk::GetFileVersionText(wenk::OwnProgramPath(), 2);

    CLI::App app{"Recovers the layers, their transparency masks and the merged images of damaged Photoshop "
                 "files (.psd, .pdd), each as a complete uncompressed Photoshop file.",
                 "velmora"};
    app.set_version_flag("--version", "velmora " + version);
    std::vector<std::string> files;
    std::string outputDir, logPath, mode = "rgb";
    int channels = 3, height = 600, width = 800, depth = 8;
    bool noHeuristic = false, quiet = false;
    app.add_option("FILE", files, "Damaged Photoshop files to repair")->required();
    auto *outOpt = app.add_option("-o,--output", outputDir,
                                  "Directory for the recovered files (one FILE only); by default the file's path "
                                  "without extension followed by _recovered/");
    app.add_option("--channels", channels, "Number of channels of the image, while its header is lost (1 to 24)")
        ->check(CLI::Range(1, 24))
        ->capture_default_str();
    app.add_option("--height", height, "Image height in pixels, while the header is lost (1 to 30000)")
        ->check(CLI::Range(1, 30000))
        ->capture_default_str();
    app.add_option("--width", width, "Image width in pixels, while the header is lost (1 to 30000)")
        ->check(CLI::Range(1, 30000))
        ->capture_default_str();
    app.add_option("--depth", depth, "Bits per channel, while the header is lost: 1, 8, 16 or 32")
        ->check(CLI::IsMember({1, 8, 16, 32}))
        ->capture_default_str();
    app.add_option("--mode", mode,
                   "Colour mode, while the header is lost: bitmap, grayscale, indexed, rgb, cmyk, multichannel, "
                   "duotone, lab, or their numbers 0, 1, 2, 3, 4, 7, 8, 9")
        ->check(CLI::Validator(
            [](std::string &v) -> std::string {
                const std::string key = Lower(v);
                if (kModes.count(key))
                    return {};
                for (const auto &[name, number] : kModes)
                    if (key == std::to_string(number))
                        return {};
                return "'" + v + "' is not a colour mode; use bitmap, grayscale, indexed, rgb, cmyk, "
                       "multichannel, duotone, lab or 0, 1, 2, 3, 4, 7, 8, 9";
            },
            "MODE"))
        ->capture_default_str();
    app.add_flag("--no-heuristic", noHeuristic, "Do not recover image properties heuristically");
    app.add_flag("-q,--quiet", quiet, "Print only errors and results");
    app.add_option("--log", logPath, "Also write the repair log to this file");

    try {
        app.parse(argc, argv);
        if (outOpt->count() > 0 && files.size() != 1)
            throw CLI::ValidationError("--output", "a directory can be given with one FILE only");
        if (outOpt->count() > 0 && outputDir.empty())
            throw CLI::ValidationError("--output", "the directory must not be empty");
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        app.exit(e);
        return 2;
    }

    Output out;
    out.quiet = quiet;
    out.progress = isatty(STDERR_FILENO) != 0;
    if (!logPath.empty()) {
        out.logFile.open(logPath, std::ios::out | std::ios::trunc);
        if (!out.logFile) {
            std::fprintf(stderr, "velmora: --log: cannot write %s: %s\n", logPath.c_str(), std::strerror(errno));
            return 2;
        }
    }

    RepairOptions options{};
    options.StructSize = ZELT_REPAIR_OPTIONS_SIZE;
    options.ChannelCount = static_cast<uint16_t>(channels);
    options.ImageHeight = static_cast<uint32_t>(height);
    options.ImageWidth = static_cast<uint32_t>(width);
    options.BitsPerChannel = static_cast<uint16_t>(depth);
    const std::string key = Lower(mode);
    options.ColorMode = kModes.count(key) ? kModes.at(key) : static_cast<uint16_t>(std::stoi(key));
    options.RecoveryFlags = noHeuristic ? 0 : ZELT_RECOVER_HEURISTIC;

    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnInterrupt;
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);

    std::vector<std::pair<std::string, Outcome>> outcomes;
    for (const std::string &file : files) {
        if (g_stop)
            break;
        const std::string dir = outOpt->count() > 0 ? outputDir : wenk::DefaultOutputDir(file);
        outcomes.emplace_back(file, RepairFile(out, file, dir, options));
    }

    int repaired = 0;
    int status = 0;
    for (const auto &[file, outcome] : outcomes) {
        if (outcome == Outcome::Successful)
            ++repaired;
        else if (outcome == Outcome::OpenFailed || outcome == Outcome::DirectoryFailed)
            status = 3;
        else if (status == 0)
            status = 1;
    }
    if (files.size() > 1) {
        out.Line(repairlog::kRule, true);
        out.Line(repairlog::BatchSummary(repaired), true);
        for (std::size_t i = 0; i < files.size(); ++i) {
            const char *text = repairlog::kStatusNotRepaired;
            if (i < outcomes.size()) {
                const Outcome o = outcomes[i].second;
                text = o == Outcome::Successful ? repairlog::kStatusSuccessful
                       : o == Outcome::Aborted  ? repairlog::kStatusAborted
                                                : repairlog::kStatusFailed;
            }
            char line[64];
            std::snprintf(line, sizeof line, "%-13s", text);
            out.Line(line + files[i], true);
        }
    }
    if (g_stop)
        return 130;
    return status;
}
