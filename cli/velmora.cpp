// velmora: repairs damaged Photoshop files from the command line, with the
// same engine and the same repair log as the window. Several files are
// repaired in worker processes of their own, N at a time, their logs kept
// together in the order the files were given.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <map>
#include <poll.h>
#include <set>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "Qoban.h"
#include "RepairLog.h"
#include "VersionInfo.h"
#include "WenkUtils.h"
#include "ZeltApi.h"

namespace {

// The signal of the first stop (Ctrl-C, SIGTERM, SIGHUP); the engine sees
// it at its next abort poll.
volatile std::sig_atomic_t g_stop = 0;

void OnInterrupt(int signal)
{
    if (g_stop)
        _exit(128 + signal); // the second stop ends the program at once
    g_stop = signal;
    const char text[] = "\nvelmora: stopping after the current step; press Ctrl-C again to quit at once\n";
    (void)!write(STDERR_FILENO, text, sizeof text - 1);
}

// A worker's stop: the terminal sends Ctrl-C to the whole process group, and
// the parent passes each of its stops on; either way the worker stops after
// the current step, so that the engine removes what it had not finished.
void OnWorkerInterrupt(int signal) { g_stop = signal; }

/// Catches the stops a user or a service manager sends: Ctrl-C, SIGTERM
/// and SIGHUP all stop the repair as Ctrl-C does.
void CatchStops(void (*handler)(int))
{
    struct sigaction sa {};
    sa.sa_handler = handler;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &sa, nullptr);
}

const std::map<std::string, uint16_t> kModes = {
    {"bitmap", 0}, {"grayscale", 1}, {"indexed", 2}, {"rgb", 3}, {"cmyk", 4}, {"multichannel", 7}, {"duotone", 8}, {"lab", 9},
};

/// Exit statuses, and the outcome of one file: the worst of a run's files
/// is the run's status.
enum Status : int {
    kRepaired = 0,
    kNothingRecovered = 1,
    kUsage = 2,
    kFileError = 3, ///< the source could not be opened, or the output directory made
    kCutShort = 4,  ///< an error ended the scan early
    kInterrupted = 130,
};

int Worse(int a, int b)
{
    auto rank = [](int s) { return s == kRepaired ? 0 : s == kNothingRecovered ? 1 : s == kCutShort ? 2 : s == kFileError ? 3 : 4; };
    return rank(a) >= rank(b) ? a : b;
}

/// A text with its control characters and backslashes escaped, so that a
/// name holding a newline cannot start a line of its own.
std::string Escaped(const std::string &text)
{
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

/// The size of a file, or of the disk a block device is.
uint64_t SourceSize(const std::string &path)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return 0;
    if (S_ISBLK(st.st_mode)) {
        uint64_t bytes = 0;
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd >= 0) {
            if (ioctl(fd, BLKGETSIZE64, &bytes) != 0)
                bytes = 0;
            ::close(fd);
        }
        return bytes;
    }
    return static_cast<uint64_t>(st.st_size);
}

bool IsBlockDevice(const std::string &path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode);
}

/// Where a file's recovered files go by default: beside it; for a disk,
/// whose own directory is no place to write, a folder named after it in the
/// current directory.
std::string DefaultOutputDir(const std::string &source)
{
    std::string dir;
    if (!IsBlockDevice(source)) {
        dir = wenk::DefaultOutputDir(source);
    } else {
        char cwd[4096];
        const std::string here = getcwd(cwd, sizeof cwd) ? std::string(cwd) : std::string(".");
        dir = here + "/" + source.substr(source.find_last_of('/') + 1) + "_recovered/";
    }
    // A source whose name is near the file system's limit: the folder's name
    // is shortened so that it can be made, "_recovered" kept.
    const std::size_t slash = dir.find_last_of('/', dir.size() - 2);
    const std::string parent = slash == std::string::npos ? "." : dir.substr(0, slash + 1);
    const long limit = pathconf(parent.c_str(), _PC_NAME_MAX);
    const std::size_t max = limit > 0 ? std::size_t(limit) : 255;
    const std::string name = dir.substr(slash + 1, dir.size() - slash - 2);
    const std::size_t keep = std::strlen("_recovered");
    if (name.size() <= max || max <= keep)
        return dir;
    std::size_t stem = max - keep;
    while (stem > 0 && (static_cast<unsigned char>(name[stem]) & 0xC0) == 0x80)
        --stem;
    return dir.substr(0, slash + 1) + name.substr(0, stem) + "_recovered/";
}

/// Whether a written file is the rebuilt document of the source: its name
/// is the source's stem with "_rebuilt", or "_rebuilt_<k>" when a name was
/// taken.
bool IsRebuiltDocument(const std::string &written, const std::string &source)
{
    std::string stem = source.substr(source.find_last_of('/') + 1);
    if (const std::size_t dot = stem.find_last_of('.'); dot != std::string::npos)
        stem.erase(dot);
    std::string name = written.substr(written.find_last_of('/') + 1);
    if (const std::size_t dot = name.find_last_of('.'); dot != std::string::npos)
        name.erase(dot);
    const std::string base = stem + "_rebuilt";
    if (name == base)
        return true;
    if (name.rfind(base + "_", 0) != 0 || name.size() == base.size() + 1)
        return false;
    return std::all_of(name.begin() + long(base.size() + 1), name.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

/// The --log file. It never destroys a file that is not a log: an existing
/// file is replaced only when its first line is the one every repair log
/// starts with; a device or a pipe is written as it is. A failed write is
/// reported once, and the run's status tells it.
class LogFile {
public:
    enum class Opened { ok, notALog, failed };

    Opened Open(const std::string &path)
    {
        m_path = path;
        struct stat st;
        if (::stat(path.c_str(), &st) != 0) {
            // A new file, made only where no file is.
            m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
            return m_fd >= 0 ? Opened::ok : Opened::failed;
        }
        if (S_ISDIR(st.st_mode)) {
            errno = EISDIR;
            return Opened::failed;
        }
        if (!S_ISREG(st.st_mode)) {
            m_fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
            return m_fd >= 0 ? Opened::ok : Opened::failed;
        }
        // What is judged is the file opened, read from its start.
        m_fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW);
        if (m_fd < 0 && errno == ELOOP)
            m_fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY); // the user's own link to a log
        if (m_fd < 0)
            return Opened::failed;
        if (::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode) || (st.st_size > 0 && !StartsAsLog())) {
            ::close(m_fd);
            m_fd = -1;
            return Opened::notALog;
        }
        if (::ftruncate(m_fd, 0) != 0)
            return Opened::failed;
        return Opened::ok;
    }

    void Write(const std::string &line)
    {
        if (m_fd < 0 || m_error != 0)
            return;
        const std::string text = line + '\n';
        const char *p = text.data();
        std::size_t left = text.size();
        while (left > 0) {
            const ssize_t n = ::write(m_fd, p, left);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                m_error = n < 0 ? errno : ENOSPC;
                std::fprintf(stderr, "velmora: --log: cannot write %s: %s\n", m_path.c_str(), std::strerror(m_error));
                return;
            }
            p += n;
            left -= std::size_t(n);
        }
    }

    bool IsOpen() const { return m_fd >= 0; }
    bool Failed() const { return m_error != 0; }

private:
    bool StartsAsLog() const
    {
        char head[256];
        const ssize_t n = ::pread(m_fd, head, sizeof head, 0);
        if (n <= 0)
            return false;
        std::string first(head, std::size_t(n));
        first = first.substr(0, first.find('\n'));
        if (!first.empty() && first.back() == '\r')
            first.pop_back();
        return first == repairlog::kStart;
    }

    std::string m_path;
    int m_fd = -1;
    int m_error = 0;
};

// The log, to standard output and optionally a file; the progress bar on
// standard error when it is a terminal. In a worker, everything goes to the
// parent as records of one line each.
class Output {
public:
    bool quiet = false;
    bool progress = false;
    LogFile logFile;
    int relay = -1; ///< a worker's pipe to the parent
    // Of the file being repaired:
    bool openFailed = false; ///< the engine could not open it, or would not write where asked
    bool cutShort = false;   ///< an error ended the scan early
    std::size_t filesWritten = 0;
    std::string preview;     ///< the embedded preview's path, when written
    bool propertiesUnknown = false; ///< the engine asked for the merged image's size
    std::string source;
    std::vector<std::string> rebuilt;

    /// A line of the log; `always` lines (errors and results) survive --quiet.
    void Line(const std::string &text, bool always = false)
    {
        const std::string line = Escaped(text);
        if (relay >= 0) {
            Relay(always ? 'A' : 'L', line);
            return;
        }
        Print(line, always);
    }

    /// A line already escaped, printed and logged.
    void Print(const std::string &line, bool always)
    {
        ClearBar();
        if ((!quiet || always) && !m_stdoutClosed) {
            // A closed standard output (a pipe to "head") stops the printing,
            // never the repair.
            if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size() || std::fputc('\n', stdout) == EOF ||
                std::fflush(stdout) != 0)
                m_stdoutClosed = true;
        }
        logFile.Write(line);
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
        if (relay >= 0) {
            Relay('E', Escaped(text));
            return;
        }
        PrintError(Escaped(text));
    }

    void PrintError(const std::string &line)
    {
        ClearBar();
        std::fprintf(stderr, "velmora: %s\n", line.c_str());
    }

    void Written(const std::string &path)
    {
        Line("Written: " + path);
        ++filesWritten;
        if (repairlog::IsPreviewFile(path))
            preview = path;
        if (IsRebuiltDocument(path, source)) {
            rebuilt.push_back(Escaped(path));
            if (relay >= 0)
                Relay('D', rebuilt.back());
        }
    }

    void StartFile(const std::string &path, uint64_t size)
    {
        source = path;
        m_label = Escaped(path.substr(path.find_last_of('/') + 1));
        m_size = size;
        m_start = std::chrono::steady_clock::now();
        m_lastDraw = {};
        m_percent = 255;
        openFailed = cutShort = propertiesUnknown = false;
        filesWritten = 0;
        preview.clear();
    }

    /// One progress report of the engine. Only a change of the percentage
    /// is looked at (the clock is read then, never per report), so most
    /// reports cost a load and a compare.
    void Progress(uint8_t percent)
    {
        if (percent != m_percent)
            ProgressChanged(percent);
    }

    void EndFile() { ClearBar(); }

    /// The batch's progress line: files done, bytes done, the rate.
    void DrawBatch(std::size_t filesDone, std::size_t files, double bytesDone, double seconds)
    {
        const double rate = seconds > 0 ? bytesDone / seconds : 0;
        std::fprintf(stderr, "\r\033[K%zu of %zu files  %.1f MB  %6.1f MB/s", filesDone, files, bytesDone / 1e6, rate / 1e6);
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

private:
    void Relay(char kind, const std::string &line)
    {
        std::string record(1, kind);
        record += line;
        record += '\n';
        const char *p = record.data();
        std::size_t left = record.size();
        while (left > 0) {
            const ssize_t n = ::write(relay, p, left);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return; // the parent is gone: the repair goes on
            p += n;
            left -= std::size_t(n);
        }
    }

    [[gnu::noinline]] void ProgressChanged(uint8_t percent)
    {
        m_percent = percent;
        if (relay >= 0) {
            Relay('P', std::to_string(percent));
            return;
        }
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

    std::string m_label;
    uint64_t m_size = 0;
    uint8_t m_percent = 255;
    bool m_barShown = false;
    bool m_stdoutClosed = false;
    std::chrono::steady_clock::time_point m_start, m_lastDraw;
};

// Every message but the two that come for every stretch of positions.
[[gnu::noinline]] int32_t OtherMessage(int32_t code, const char *text, Output *out)
{
    switch (code) {
    case MSG_STATUS:
        out->Line(text);
        if (std::strncmp(text, "The merged image's properties could not be found", 48) == 0)
            out->Line("Give its size with --width and --height (and --channels, --depth and --mode where you know "
                      "them).");
        break;
    case MSG_FILE_WRITTEN: out->Written(text); break;
    case MSG_ERROR:
        // Message 1 of the engine: the source could not be opened. Messages
        // 2 and 3: an error ended the scan.
        if (std::strncmp(text, "Error 1:", 8) == 0 || std::strncmp(text, "Error 5:", 8) == 0)
            out->openFailed = true;
        if (std::strncmp(text, "Error 2:", 8) == 0 || std::strncmp(text, "Error 3:", 8) == 0)
            out->cutShort = true;
        out->Line(repairlog::kRule, true);
        out->Line(text, true);
        out->Line(repairlog::kRule, true);
        break;
    default: break;
    }
    return 0;
}

// The abort poll and the progress report are answered first, with a few
// instructions each.
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

// A folder by its real parent directory and its name.
std::string FolderKey(const std::string &dir)
{
    const std::size_t slash = dir.find_last_of('/', dir.size() - 2);
    const std::string parent = slash == std::string::npos ? "." : dir.substr(0, slash + 1);
    char real[PATH_MAX];
    return (realpath(parent.c_str(), real) ? std::string(real) : parent) + "/" + dir.substr(slash + 1);
}

// The default folders of a batch's files, none shared and none holding an
// earlier repair's files: photo.psd and photo.pdd (or one file named twice)
// would write the same names into one folder, so the later file gets
// photo_recovered_2/. notes gets the log line of each folder passed over.
std::vector<std::string> BatchOutputDirs(const std::vector<std::string> &files, std::vector<std::string> &notes)
{
    std::vector<std::string> dirs;
    std::set<std::string> taken;
    for (const std::string &file : files) {
        const std::string dir = DefaultOutputDir(file);
        const std::string chosen =
            wenk::FreeOutputFolder(dir, [&taken](const std::string &d) { return taken.count(FolderKey(d)) != 0; });
        taken.insert(FolderKey(chosen));
        dirs.push_back(chosen);
        notes.push_back(chosen != dir && wenk::FolderHoldsFiles(dir) ? repairlog::FolderTakenLine(dir, chosen) : std::string());
    }
    return dirs;
}

struct Job {
    RepairOptions options{};
    std::string outputDir;               ///< -o, for a single file
    std::vector<std::string> protectedPaths; ///< every source of the run, and the log
};

int RepairFile(Output &out, const std::string &source, const std::string &outputDir, const Job &job,
               const std::string &note = {})
{
    out.Line(repairlog::kStart);
    out.Line(repairlog::kRule);
    // A source that cannot be read, or that is no file or disk, gets no
    // empty output directory: the engine reports why, and writes nothing.
    struct stat st;
    const bool repairable = access(source.c_str(), R_OK) == 0 && ::stat(source.c_str(), &st) == 0 &&
                            (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode));
    const std::vector<std::string> made = repairable ? wenk::MissingDirectories(outputDir) : std::vector<std::string>();
    if (repairable && !wenk::ForceDirectories(outputDir)) {
        out.Error(repairlog::CannotCreateDirectory(outputDir));
        out.Line(repairlog::kAborted, true);
        return kFileError;
    }
    const uint64_t size = SourceSize(source);
    out.Line(repairlog::FileLine(source, size, repairlog::LocaleThousandsSeparator()));
    if (!note.empty())
        out.Line(note);
    out.Line(repairlog::OutputLine(outputDir));
    out.Line(repairlog::kRule);

    out.StartFile(source, size);
    std::vector<std::string> others;
    for (const std::string &p : job.protectedPaths)
        if (p != source)
            others.push_back(p);
    const auto start = std::chrono::steady_clock::now();
    const bool success =
        qoban::CallRecoverFile(&RecoverFile, source, job.options, others, &out, &EngineCallback, outputDir);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    out.EndFile();

    out.Line(repairlog::kRule);
    out.Line(repairlog::ConsumedTimeLine(ms.count()));
    out.Line(repairlog::kRule);
    out.Line(repairlog::kCompletes);
    out.Line(repairlog::kRule);
    const bool stillRunning = !g_stop;
    // A preview alone is worth keeping, but it is no picture of the document.
    const bool previewOnly = success && !out.preview.empty() && out.filesWritten == 1;
    if (stillRunning && out.cutShort && success) {
        out.Line("The repair of '" + source + "' was cut short by an error: the files recovered so far are in '" +
                     outputDir + "'.",
                 true);
    } else if (stillRunning && previewOnly) {
        out.Line(repairlog::PreviewOnlyText(source, out.preview), true);
    } else {
        out.Result(repairlog::ResultText(stillRunning, success, source, outputDir));
    }
    // A folder this run made and left empty does not stay behind.
    if (out.filesWritten == 0)
        wenk::RemoveEmptyDirectories(made);
    if (!stillRunning)
        return kInterrupted;
    if (out.cutShort)
        return kCutShort;
    if (success && !previewOnly)
        return kRepaired;
    return out.openFailed ? kFileError : kNothingRecovered;
}

// One worker process per file, `jobs` at a time. A worker's records reach
// the parent through a pipe; the parent prints each file's log whole and in
// the order the files were given, and shows one progress line for them all.
// Workers running side by side share the machine's memory: each gets its
// part of the engine's budget (half the physical memory), or less where
// ZELT_MEMORY_BUDGET already asks for less.
void ShareMemoryBudget(std::size_t workers)
{
    const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGE_SIZE);
    if (workers < 2 || pages <= 0 || pageSize <= 0)
        return;
    uint64_t share = uint64_t(pages) * uint64_t(pageSize) / 2 / workers;
    if (const char *env = std::getenv("ZELT_MEMORY_BUDGET"); env && *env) {
        char *end = nullptr;
        const unsigned long long given = std::strtoull(env, &end, 10);
        if (end && *end == '\0')
            share = std::min<uint64_t>(share, given);
    }
    setenv("ZELT_MEMORY_BUDGET", std::to_string(share).c_str(), 1);
}

class Batch {
public:
    Batch(Output &out, const std::vector<std::string> &files, const Job &job, unsigned jobs)
        : m_out(out), m_files(files), m_dirs(BatchOutputDirs(files, m_notes)), m_job(job), m_jobs(std::max(1u, jobs)),
          m_state(files.size())
    {
    }

    /// Runs every file; gives each file's status (-1 for one never started).
    std::vector<int> Run()
    {
        m_start = std::chrono::steady_clock::now();
        std::size_t next = 0, running = 0;
        bool forwarded = false;
        while (next < m_files.size() || running > 0) {
            while (!g_stop && running < m_jobs && next < m_files.size())
                if (Start(next++))
                    ++running;
            if (g_stop && !forwarded) {
                // A stop sent to this process alone reaches the workers too.
                for (FileState &s : m_state)
                    if (s.pid > 0 && !s.done)
                        kill(s.pid, SIGINT);
                forwarded = true;
            }
            if (running == 0)
                break;
            running -= Wait();
            Flush();
            DrawProgress();
        }
        m_out.ClearBar();
        Flush();
        std::vector<int> statuses;
        for (const FileState &s : m_state)
            statuses.push_back(s.started ? s.status : -1);
        return statuses;
    }

    std::vector<std::string> Rebuilt() const
    {
        std::vector<std::string> all;
        for (const FileState &s : m_state)
            all.insert(all.end(), s.rebuilt.begin(), s.rebuilt.end());
        return all;
    }

private:
    struct Record {
        char kind;
        std::string text;
    };
    struct FileState {
        bool started = false, done = false;
        pid_t pid = -1;
        int fd = -1;
        int status = kNothingRecovered;
        std::string partial;         ///< bytes of a record not yet whole
        std::vector<Record> pending; ///< records not yet printed
        std::vector<std::string> rebuilt;
        uint64_t size = 0;
        uint8_t percent = 0;
    };

    /// Starts the worker of file i; false when none could be started (the
    /// file is then done, with the reason in its log).
    bool Start(std::size_t i)
    {
        FileState &s = m_state[i];
        s.started = true;
        s.size = SourceSize(m_files[i]);
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            s.done = true;
            s.status = kFileError;
            s.pending.push_back({'E', Escaped(std::string("cannot start a worker: ") + std::strerror(errno))});
            return false;
        }
        std::fflush(stdout);
        std::fflush(stderr);
        const pid_t pid = fork();
        if (pid == 0) {
            CatchStops(OnWorkerInterrupt);
            ::close(fds[0]);
            // The other workers' pipes are theirs alone: with a read end held
            // here, a worker whose parent is gone would wait on a full pipe.
            for (const FileState &other : m_state)
                if (other.fd >= 0)
                    ::close(other.fd);
            ShareMemoryBudget(std::min<std::size_t>(m_jobs, m_files.size()));
            Output worker;
            worker.relay = fds[1];
            const int status = RepairFile(worker, m_files[i], m_dirs[i], m_job, m_notes[i]);
            std::fflush(stdout);
            _exit(status);
        }
        ::close(fds[1]);
        if (pid < 0) {
            ::close(fds[0]);
            s.done = true;
            s.status = kFileError;
            s.pending.push_back({'E', Escaped(std::string("cannot start a worker: ") + std::strerror(errno))});
            return false;
        }
        s.pid = pid;
        s.fd = fds[0];
        return true;
    }

    /// Reads what the workers sent until one of them ends (or a while
    /// passes); gives the number of workers that ended.
    std::size_t Wait()
    {
        std::vector<pollfd> fds;
        std::vector<std::size_t> which;
        for (std::size_t i = 0; i < m_state.size(); ++i)
            if (m_state[i].fd >= 0) {
                fds.push_back({m_state[i].fd, POLLIN, 0});
                which.push_back(i);
            }
        std::size_t ended = 0;
        if (fds.empty() || poll(fds.data(), fds.size(), 200) <= 0)
            return 0;
        for (std::size_t k = 0; k < fds.size(); ++k) {
            if (!(fds[k].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            FileState &s = m_state[which[k]];
            char buf[65536];
            const ssize_t n = ::read(s.fd, buf, sizeof buf);
            if (n > 0) {
                Take(s, std::string(buf, std::size_t(n)));
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            ::close(s.fd);
            s.fd = -1;
            int st = 0;
            while (waitpid(s.pid, &st, 0) < 0 && errno == EINTR) {
            }
            if (WIFEXITED(st)) {
                s.status = WEXITSTATUS(st);
            } else if (WIFSIGNALED(st) && (WTERMSIG(st) == SIGINT || WTERMSIG(st) == SIGTERM || WTERMSIG(st) == SIGHUP)) {
                s.status = kInterrupted;
            } else {
                // A worker that crashed or was killed: its file's scan ended
                // early, and the log says why.
                s.status = kCutShort;
                s.pending.push_back({'E', Escaped("the repair of this file ended early: its worker was ended by signal " +
                                                  std::to_string(WIFSIGNALED(st) ? WTERMSIG(st) : 0) + " (" +
                                                  strsignal(WIFSIGNALED(st) ? WTERMSIG(st) : 0) + ")")});
            }
            s.done = true;
            s.percent = 100;
            ++ended;
        }
        return ended;
    }

    void Take(FileState &s, const std::string &bytes)
    {
        s.partial += bytes;
        std::size_t from = 0, at;
        while ((at = s.partial.find('\n', from)) != std::string::npos) {
            const char kind = s.partial[from];
            std::string text = s.partial.substr(from + 1, at - from - 1);
            from = at + 1;
            if (kind == 'P')
                s.percent = static_cast<uint8_t>(std::min(100, std::atoi(text.c_str())));
            else if (kind == 'D')
                s.rebuilt.push_back(text);
            else
                s.pending.push_back({kind, std::move(text)});
        }
        s.partial.erase(0, from);
    }

    // Prints the logs in file order: the first unfinished file's lines as
    // they come, the later files' once all before them are printed.
    void Flush()
    {
        while (m_printed < m_state.size()) {
            FileState &s = m_state[m_printed];
            for (const Record &r : s.pending) {
                if (r.kind == 'E')
                    m_out.PrintError(r.text);
                else
                    m_out.Print(r.text, r.kind == 'A');
            }
            s.pending.clear();
            if (!s.done)
                return;
            ++m_printed;
        }
    }

    void DrawProgress()
    {
        if (!m_out.progress)
            return;
        std::size_t done = 0;
        double bytes = 0;
        for (const FileState &s : m_state) {
            done += s.done ? 1 : 0;
            bytes += double(s.size) * s.percent / 100.0;
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
        m_out.DrawBatch(done, m_files.size(), bytes, seconds);
    }

    Output &m_out;
    const std::vector<std::string> &m_files;
    std::vector<std::string> m_notes;      ///< each file's line for a folder passed over
    const std::vector<std::string> m_dirs; ///< each file's output folder
    const Job &m_job;
    unsigned m_jobs;
    std::vector<FileState> m_state;
    std::size_t m_printed = 0;
    std::chrono::steady_clock::time_point m_start;
};

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

bool SameFile(const std::string &a, const std::string &b)
{
    struct stat sa, sb;
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

} // namespace

int main(int argc, char **argv)
{
    std::setlocale(LC_ALL, "");
    const std::string version = wenk::GetFileVersionText(wenk::OwnProgramPath(), 2);

    CLI::App app{"Recovers the layers, their transparency masks and the merged images of damaged Photoshop "
                 "files (.psd, .pdd, .psb), each as a complete uncompressed Photoshop file, and rebuilds each "
                 "layered document.",
                 "velmora"};
    app.set_version_flag("--version", "velmora " + version);
    std::vector<std::string> files;
    std::string outputDir, logPath, mode = "rgb";
    int channels = 3, height = 600, width = 800, depth = 8;
    bool noHeuristic = false, noRebuild = false, noPreview = false, quiet = false, uncompressed = false;
    unsigned jobs = std::max(1u, std::thread::hardware_concurrency());
    app.add_option("FILE", files, "Damaged Photoshop files, disk images or disks (/dev/sdb) to repair")->required();
    auto *outOpt = app.add_option("-o,--output", outputDir,
                                  "Directory for the recovered files (one FILE only); by default the file's path "
                                  "without extension followed by _recovered/");
    auto *channelsOpt =
        app.add_option("--channels", channels, "Number of channels of the image, while its header is lost (1 to 57)")
            ->check(CLI::Range(1, 57))
            ->capture_default_str();
    auto *heightOpt =
        app.add_option("--height", height, "Image height in pixels, while the header is lost (1 to 300000)")
            ->check(CLI::Range(1, 300000))
            ->capture_default_str();
    auto *widthOpt = app.add_option("--width", width, "Image width in pixels, while the header is lost (1 to 300000)")
                         ->check(CLI::Range(1, 300000))
                         ->capture_default_str();
    auto *depthOpt = app.add_option("--depth", depth, "Bits per channel, while the header is lost: 1, 8, 16 or 32")
                         ->check(CLI::IsMember({1, 8, 16, 32}))
                         ->capture_default_str();
    auto *modeOpt =
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
    app.add_flag("--no-heuristic", noHeuristic,
                 "Do not find the image properties of a file whose header is lost from what survives");
    app.add_flag("--no-rebuild", noRebuild, "Do not write the rebuilt layered document");
    app.add_flag("--no-preview", noPreview, "Do not save the embedded preview picture");
    app.add_flag("--uncompressed", uncompressed,
                 "Write the rebuilt document uncompressed, as the separate pieces are (it is run-length "
                 "compressed by default)");
    app.add_option("-j,--jobs", jobs, "Files repaired at once, each in a process of its own (default: the cores)")
        ->check(CLI::Range(1u, 1024u));
    app.add_flag("-q,--quiet", quiet, "Print only errors and results");
    app.add_option("--log", logPath, "Also write the repair log to this file");

    try {
        app.parse(argc, argv);
        if (outOpt->count() > 0 && files.size() != 1)
            throw CLI::ValidationError("--output", "a directory can be given with one FILE only");
        if (outOpt->count() > 0 && outputDir.empty())
            throw CLI::ValidationError("--output", "the directory must not be empty");
        // The log is opened for writing before the first repair: it must not
        // be one of the files to repair (a name forgotten after --log).
        for (const std::string &f : files)
            if (!logPath.empty() && (SameFile(logPath, f) || logPath == f))
                throw CLI::ValidationError("--log", "'" + Escaped(logPath) +
                                                        "' is a file to repair; give the log a name of its own");
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        app.exit(e);
        return kUsage;
    }

    std::signal(SIGPIPE, SIG_IGN);
    Output out;
    out.quiet = quiet;
    out.progress = isatty(STDERR_FILENO) != 0;
    if (!logPath.empty()) {
        // Before any file is opened: a log never replaces a file that is not
        // a log (a name forgotten after --log, a glob's first match).
        const LogFile::Opened opened = out.logFile.Open(logPath);
        if (opened == LogFile::Opened::notALog) {
            std::fprintf(stderr, "velmora: '%s' exists and is not a repair log: give the log a name of its own.\n",
                         Escaped(logPath).c_str());
            return kUsage;
        }
        if (opened == LogFile::Opened::failed) {
            std::fprintf(stderr, "velmora: --log: cannot write %s: %s\n", Escaped(logPath).c_str(), std::strerror(errno));
            return kUsage;
        }
    }

    Job job;
    RepairOptions &options = job.options;
    options.StructSize = ZELT_REPAIR_OPTIONS_SIZE;
    options.ChannelCount = static_cast<uint16_t>(channels);
    options.ImageHeight = static_cast<uint32_t>(height);
    options.ImageWidth = static_cast<uint32_t>(width);
    options.BitsPerChannel = static_cast<uint16_t>(depth);
    const std::string key = Lower(mode);
    options.ColorMode = kModes.count(key) ? kModes.at(key) : static_cast<uint16_t>(std::stoi(key));
    options.RecoveryFlags = ZELT_REPORT_COARSE | ZELT_RECOVER_SALVAGE | (noHeuristic ? 0 : ZELT_RECOVER_HEURISTIC) |
                            (noRebuild ? 0 : ZELT_RECOVER_REBUILD) | (noPreview ? 0 : ZELT_RECOVER_PREVIEW) |
                            (uncompressed ? 0 : ZELT_COMPRESS_DOCUMENT);
    // A property the user gave is the user's knowledge of the picture: it
    // stands, and the heuristic finds only the others.
    if (channelsOpt->count())
        options.RecoveryFlags |= ZELT_KEEP_CHANNELS;
    if (heightOpt->count())
        options.RecoveryFlags |= ZELT_KEEP_HEIGHT;
    if (widthOpt->count())
        options.RecoveryFlags |= ZELT_KEEP_WIDTH;
    if (depthOpt->count())
        options.RecoveryFlags |= ZELT_KEEP_DEPTH;
    if (modeOpt->count())
        options.RecoveryFlags |= ZELT_KEEP_MODE;
    if (outOpt->count() > 0)
        job.outputDir = outputDir;
    job.protectedPaths = files;
    if (!logPath.empty())
        job.protectedPaths.push_back(logPath);

    CatchStops(OnInterrupt);

    std::vector<int> statuses;
    std::vector<std::string> rebuilt;
    if (files.size() == 1) {
        std::string dir = job.outputDir, note;
        if (dir.empty()) {
            const std::string wanted = DefaultOutputDir(files[0]);
            dir = wenk::FreeOutputFolder(wanted);
            if (dir != wanted)
                note = repairlog::FolderTakenLine(wanted, dir);
        }
        statuses.push_back(RepairFile(out, files[0], dir, job, note));
        rebuilt = out.rebuilt;
    } else {
        // A process for each file, also one at a time: every file's merged
        // images are numbered from 1.
        Batch batch(out, files, job, jobs);
        statuses = batch.Run();
        rebuilt = batch.Rebuilt();
    }

    int status = kRepaired, repaired = 0;
    for (int s : statuses) {
        if (s == kRepaired)
            ++repaired;
        if (s >= 0)
            status = Worse(status, s);
    }
    if (files.size() > 1) {
        out.Line(repairlog::kRule, true);
        out.Line(repairlog::BatchSummary(repaired), true);
        for (std::size_t i = 0; i < files.size(); ++i) {
            const int s = statuses[i];
            const char *text = s < 0                ? repairlog::kStatusNotRepaired
                               : s == kRepaired     ? repairlog::kStatusSuccessful
                               : s == kInterrupted  ? repairlog::kStatusAborted
                                                    : repairlog::kStatusFailed;
            char line[64];
            std::snprintf(line, sizeof line, "%-13s", text);
            out.Line(line + files[i], true);
        }
    }
    for (const std::string &path : rebuilt)
        out.Print("Rebuilt document: " + path, true);
    if (g_stop)
        return 128 + g_stop;
    // A log that could not be written whole is an error of the run.
    if (out.logFile.Failed())
        status = Worse(status, kCutShort);
    return status;
}
