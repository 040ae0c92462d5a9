// A repair from the window (offscreen) against velmora on the same file, in
// one run; how fast the window answers Stop; and how evenly it pumps (the
// gauge and the window stay alive) with the engine's reports as they come,
// and with coarse reports (progress only when the percentage changes, abort
// polls every 64 KiB of positions and inside long reads) from a stand-in
// scan at the same speed with one long layer read of 400 ms.
//   gui_bench VELMORA_PATH [MiB]   (default 256)
#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sys/wait.h>
#include <unistd.h>

#include "BenchUtil.h"
#include "FakePlatform.h"
#include "MainFrm.h"

namespace {

using Clock = std::chrono::steady_clock;

// The fake platform, but with the real message pump; it notes the longest
// time between two pumps of a run.
class PumpingPlatform : public test::FakePlatform {
public:
    void ProcessEvents() override
    {
        const auto now = Clock::now();
        if (m_last != Clock::time_point{})
            longestGap = std::max(longestGap, std::chrono::duration<double, std::milli>(now - m_last).count());
        m_last = now;
        ++pumpCount;
        QCoreApplication::processEvents();
    }
    void Reset()
    {
        m_last = {};
        longestGap = 0;
        pumpCount = 0;
    }
    double longestGap = 0;
    long pumpCount = 0;

private:
    Clock::time_point m_last;
};

double VelmoraSeconds(const char *velmora, const std::string &src, const std::string &out)
{
    const auto start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        freopen("/dev/null", "w", stdout);
        execl(velmora, velmora, "-q", "-o", out.c_str(), src.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A stand-in engine with the coarse protocol: it walks a buffer one
// position at a time (a cheap test per position, about the real scan's
// speed), polls every 64 KiB and reports the percentage when it changes.
std::vector<uint8_t> g_scan;
Clock::time_point g_stopSeen;

int32_t ZELT_CALL CoarseEngine(const void *masked)
{
    EngineParams p;
    std::memcpy(&p, masked, sizeof p);
    ZeltMaskParams(&p, sizeof p);
    const uint64_t n = g_scan.size();
    uint8_t percent = 0;
    p.Callback(MSG_PROGRESS, &percent, p.UserData);
    volatile uint64_t hits = 0;
    for (uint64_t pos = 0; pos < n; ++pos) {
        if (g_scan[pos] == '8' && pos + 4 <= n && std::memcmp(&g_scan[pos], "8BPS", 4) == 0)
            hits = hits + 1;
        if ((pos & 0xFFFF) == 0 && p.Callback(MSG_QUERY_ABORT, nullptr, p.UserData) != 0) {
            g_stopSeen = Clock::now();
            break;
        }
        const auto now = uint8_t(pos * 100 / n);
        if (now != percent) {
            percent = now;
            p.Callback(MSG_PROGRESS, &percent, p.UserData);
            if (percent == 40) {
                // A long layer read: 400 ms without a new percentage, with
                // an abort poll every 16 MiB read (here every millisecond).
                const auto end = Clock::now() + std::chrono::milliseconds(400);
                auto next = Clock::now();
                bool stop = false;
                while (Clock::now() < end && !stop) {
                    if (Clock::now() >= next) {
                        next += std::chrono::milliseconds(1);
                        stop = p.Callback(MSG_QUERY_ABORT, nullptr, p.UserData) != 0;
                    }
                }
                if (stop) {
                    g_stopSeen = Clock::now();
                    break;
                }
            }
        }
    }
    percent = 100;
    p.Callback(MSG_PROGRESS, &percent, p.UserData);
    return 0;
}

struct StopTiming {
    double handled = 0;  ///< ms from the click's due time until the window handled it
    double returned = 0; ///< ms from the handled click until the engine returned
};

// A Stop click due `delay` ms into the repair. The timer lives only as long
// as the repair: a repair over before the click is due gets none.
StopTiming TimeStop(TMainForm &form, int delay)
{
    QElapsedTimer t;
    qint64 handled = -1;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &form, [&] {
        handled = t.nsecsElapsed();
        form.btnRepairClick();
    });
    timer.start(delay);
    t.start();
    form.btnRepairClick();
    const qint64 returned = t.nsecsElapsed();
    if (handled < 0)
        return {-1, -1};
    return {(handled - qint64{delay} * 1'000'000) / 1e6, (returned - handled) / 1e6};
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    Q_INIT_RESOURCE(resources);
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: gui_bench VELMORA_PATH [MiB]\n");
        return 2;
    }
    const uint64_t mib = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 256;
    bench::TempDir dir;
    const std::string src = dir.Path() + "/noise.psd";
    {
        std::vector<uint8_t> data(mib << 20);
        std::mt19937_64 rng(5);
        for (auto &b : data)
            b = uint8_t(rng());
        bench::WriteFile(src, data);
        g_scan = std::move(data);
    }
    PumpingPlatform platform;
    platform.store.values["OpenFixed"] = QString("0");
    TMainForm form(platform, &RecoverFile, {}, QString());
    form.FormCreate();
    form.show();
    form.findChild<QLineEdit *>("txtSrcFile")->setText(QString::fromStdString(src));
    form.findChild<QLineEdit *>("txtDstFile")->setText(QString::fromStdString(dir.Path() + "/out/"));

    double window = 1e9, cli = 1e9, gap = 0;
    long pumps = 0;
    for (int i = 0; i < 3; ++i) {
        platform.Reset();
        QElapsedTimer t;
        t.start();
        form.btnRepairClick();
        const double seconds = t.nsecsElapsed() / 1e9;
        if (seconds < window) {
            window = seconds;
            gap = platform.longestGap;
            pumps = platform.pumpCount;
        }
        cli = std::min(cli, VelmoraSeconds(argv[1], src, dir.Path() + "/out-cli"));
    }
    // The click comes a third of the way into the repair.
    const StopTiming stop = TimeStop(form, std::max(5, int(window * 1000 / 3)));

    // The same window over the coarse stand-in: a run, then a stop.
    TMainForm coarse(platform, &CoarseEngine, {}, QString());
    coarse.FormCreate();
    coarse.show();
    coarse.findChild<QLineEdit *>("txtSrcFile")->setText(QString::fromStdString(src));
    coarse.findChild<QLineEdit *>("txtDstFile")->setText(QString::fromStdString(dir.Path() + "/out-coarse/"));
    platform.Reset();
    QElapsedTimer t;
    t.start();
    coarse.btnRepairClick();
    const double coarseSeconds = t.nsecsElapsed() / 1e9;
    const double coarseGap = platform.longestGap;
    const long coarsePumps = platform.pumpCount;
    const StopTiming coarseStop = TimeStop(coarse, 300);

    std::printf("%llu MiB of noise, best of three\n", static_cast<unsigned long long>(mib));
    std::printf("window (offscreen)   %6.2f s   %.3f x velmora\n", window, window / cli);
    std::printf("velmora              %6.2f s\n", cli);
    std::printf("  pumps %ld, longest time between two pumps %.1f ms (%.2f x the 25 ms tick)\n", pumps, gap,
                gap / 25.0);
    std::printf("  Stop: click handled %.1f ms after it was due, engine returned %.1f ms after the click\n",
                stop.handled, stop.returned);
    std::printf("coarse reports       %6.2f s   %.3f x the window with the engine\n", coarseSeconds,
                coarseSeconds / window);
    std::printf("  pumps %ld, longest time between two pumps %.1f ms (%.2f x the 25 ms tick)\n", coarsePumps,
                coarseGap, coarseGap / 25.0);
    std::printf("  Stop: click handled %.1f ms after it was due, engine returned %.1f ms after the click\n",
                coarseStop.handled, coarseStop.returned);
    return 0;
}
