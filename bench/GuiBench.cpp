// A repair from the window (offscreen) against velmora on the same file, in
// one run, and how fast the window answers Stop.
//   gui_bench VELMORA_PATH [MiB]   (default 256)
#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <sys/wait.h>
#include <unistd.h>

#include "BenchUtil.h"
#include "FakePlatform.h"
#include "MainFrm.h"

namespace {

// The fake platform, but with the real message pump.
class PumpingPlatform : public test::FakePlatform {
public:
    void ProcessEvents() override { QCoreApplication::processEvents(); }
};

double VelmoraSeconds(const char *velmora, const std::string &src, const std::string &out)
{
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        freopen("/dev/null", "w", stdout);
        execl(velmora, velmora, "-q", "-o", out.c_str(), src.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
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
    }
    PumpingPlatform platform;
    TMainForm form(platform, &RecoverFile, {}, QString());
    form.FormCreate();
    form.show();
    auto *srcBox = form.findChild<QLineEdit *>("txtSrcFile");
    auto *dstBox = form.findChild<QLineEdit *>("txtDstFile");
    srcBox->setText(QString::fromStdString(src));
    dstBox->setText(QString::fromStdString(dir.Path() + "/out/"));

    double window = 1e9, cli = 1e9;
    for (int i = 0; i < 3; ++i) {
        QElapsedTimer t;
        t.start();
        form.btnRepairClick();
        window = std::min(window, t.nsecsElapsed() / 1e9);
        cli = std::min(cli, VelmoraSeconds(argv[1], src, dir.Path() + "/out-cli"));
    }

    // Stop: a click due 300 ms into the repair.
    QElapsedTimer t;
    qint64 due = 0, handled = 0;
    QTimer::singleShot(300, &form, [&] {
        handled = t.nsecsElapsed();
        form.btnRepairClick();
    });
    t.start();
    due = 300'000'000;
    form.btnRepairClick();
    const qint64 returned = t.nsecsElapsed();

    std::printf("%llu MiB of noise, best of three\n", static_cast<unsigned long long>(mib));
    std::printf("window (offscreen)   %6.2f s   %.3f x velmora\n", window, window / cli);
    std::printf("velmora              %6.2f s\n", cli);
    std::printf("Stop: click handled %.1f ms after it was due, engine returned %.1f ms after the click\n",
                (handled - due) / 1e6, (returned - handled) / 1e6);
    return 0;
}
