// Recovery of a large layered file and of damaged copies of it, without and
// with the rebuilt document.
//
//   layered_bench [MiB]         (default 224: eight RGBA layers and the merged image)
//   layered_bench --psb [MiB]   (default 2560: a large document 40000 pixels
//                                wide, its layers past the 2^31-byte mark)
//
// For each file it prints the recovery time next to the time to read the file
// once, the scan time of random bytes of the same size and the time to write
// the recovered files (each copied from the page cache to a new file), and
// the target: the scan plus twice the write
// time without the document, three times with it; and the peak memory (max
// RSS) of the recovery next to its target: the largest layer plus 64 MiB,
// plus the composite canvas with the document. Each recovery runs in a child
// process of its own, so that its peak memory is its own. The files are made
// on the fly and removed afterwards.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <malloc.h>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "BenchUtil.h"
#include "PsdBuilder.h"
#include "ZeltApi.h"

using test::Bytes;
using test::PsdBuilder;

namespace {

int32_t ZELT_CALL NullCallback(int32_t, const void *, void *) { return 0; }

double Seconds(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct Layout {
    uint32_t layers, height, width;
    bool large = false;
};

// Streams the file to disk layer by layer: header, the layer section with
// every channel's data (odd layers run-length, even ones raw), the merged
// image raw.
uint64_t WriteLayeredFile(const std::string &path, const Layout &l)
{
    const uint64_t plane = uint64_t(l.height) * l.width;
    std::vector<Bytes> channelData(4);
    std::vector<std::vector<Bytes>> stored(l.layers);
    std::mt19937 rng(1);
    for (uint32_t i = 0; i < l.layers; ++i) {
        for (int c = 0; c < 4; ++c) {
            Bytes samples(plane);
            // Smooth gradients with noise: like photographs, they pack a little.
            for (uint64_t k = 0; k < plane; ++k)
                samples[k] = uint8_t((k % l.width) / 8 + c * 40 + i * 3 + (rng() & 7));
            stored[i].push_back(i % 2 ? test::RleChannel(samples, l.height, l.width, l.large) : test::RawChannel(samples));
        }
    }
    PsdBuilder info;
    info.I16(int16_t(l.layers));
    for (uint32_t i = 0; i < l.layers; ++i) {
        info.I32(0).I32(0).I32(int32_t(l.height)).I32(int32_t(l.width)).U16(4);
        const int16_t ids[4] = {-1, 0, 1, 2};
        for (int c = 0; c < 4; ++c) {
            info.I16(ids[c]);
            if (l.large)
                info.U32(uint32_t(stored[i][c].size() >> 32));
            info.U32(uint32_t(stored[i][c].size()));
        }
        info.Str("8BIM").Str("norm").U8(255).U8(0).U8(0).U8(0).U32(0);
    }
    uint64_t dataSize = 0;
    for (auto &layer : stored)
        for (auto &c : layer)
            dataSize += c.size();
    PsdBuilder head;
    head.Str("8BPS").U16(l.large ? 2 : 1).Fill(6, 0).U16(3).U32(l.height).U32(l.width).U16(8).U16(3).U32(0).U32(0);
    const uint64_t infoLength = info.Size() + dataSize;
    if (l.large)
        head.U32(uint32_t((infoLength + 12) >> 32)).U32(uint32_t(infoLength + 12)).U32(uint32_t(infoLength >> 32)).U32(uint32_t(infoLength));
    else
        head.U32(uint32_t(infoLength + 8)).U32(uint32_t(infoLength));
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    auto put = [&f](const Bytes &b) { f.write(reinterpret_cast<const char *>(b.data()), std::streamsize(b.size())); };
    put(head.Data());
    put(info.Data());
    for (auto &layer : stored)
        for (auto &c : layer)
            put(c);
    PsdBuilder tail;
    tail.U32(0).U16(0);
    put(tail.Data());
    Bytes merged(plane);
    for (int c = 0; c < 3; ++c) {
        for (uint64_t k = 0; k < plane; ++k)
            merged[k] = uint8_t(k / l.width + c * 50);
        put(merged);
    }
    f.flush();
    return uint64_t(f.tellp());
}

uint64_t FileSize(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
}

void CopyWithDamage(const std::string &from, const std::string &to, int kind, uint64_t size)
{
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    const uint64_t keep = kind == 1 ? size * 6 / 10 : size;
    std::vector<char> buf(1 << 20);
    uint64_t at = 0;
    while (at < keep && in.read(buf.data(), std::streamsize(std::min<uint64_t>(buf.size(), keep - at)))) {
        const auto n = uint64_t(in.gcount());
        if (kind == 0 && at == 0)
            std::memset(buf.data(), 0, 26); // the header is gone
        if (kind == 2)
            std::memset(buf.data() + 4096, 0, 4096); // a zeroed 4 KiB run in every MiB
        out.write(buf.data(), std::streamsize(n));
        at += n;
    }
}

struct Result {
    double seconds = 0;
    uint64_t maxRss = 0;
    uint64_t written = 0;
    int files = 0;
};

uint64_t DirBytes(const std::string &dir, int &files)
{
    uint64_t total = 0;
    files = 0;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') {
                total += FileSize(dir + "/" + e->d_name);
                ++files;
            }
        closedir(d);
    }
    return total;
}

// The bench's own resident memory, in bytes.
uint64_t ResidentBytes()
{
    unsigned long pages = 0, resident = 0;
    FILE *f = std::fopen("/proc/self/statm", "r");
    if (f) {
        if (std::fscanf(f, "%lu %lu", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return uint64_t(resident) * uint64_t(sysconf(_SC_PAGESIZE));
}

// One recovery in a child process: its time and its own peak memory.
Result RecoverInChild(const std::string &src, const std::string &out, uint32_t flags = ZELT_RECOVER_HEURISTIC)
{
    std::system(("rm -rf '" + out + "' && mkdir -p '" + out + "'").c_str());
    // The child starts with every page the bench holds at the fork, and they
    // count in its peak: what the generator freed goes back to the system
    // first, so that the peak is the recovery's.
    malloc_trim(0);
    int pipefd[2];
    if (pipe(pipefd) != 0)
        std::exit(1);
    const pid_t pid = fork();
    if (pid == 0) {
        close(pipefd[0]);
        const double s = bench::TimeRecover(&RecoverFile, src, out, &NullCallback, nullptr, nullptr, flags);
        if (write(pipefd[1], &s, sizeof s) != sizeof s)
            _exit(2);
        _exit(0);
    }
    close(pipefd[1]);
    Result r;
    if (read(pipefd[0], &r.seconds, sizeof r.seconds) != sizeof r.seconds)
        std::fprintf(stderr, "the recovery failed\n");
    close(pipefd[0]);
    int status = 0;
    struct rusage ru;
    wait4(pid, &status, 0, &ru);
    r.maxRss = uint64_t(ru.ru_maxrss) * 1024;
    r.written = DirBytes(out, r.files);
    return r;
}

double ReadOnceSeconds(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<char> buf(1 << 20);
    const auto start = std::chrono::steady_clock::now();
    while (in.read(buf.data(), std::streamsize(buf.size())) || in.gcount() > 0) {
    }
    return Seconds(start);
}

// The time to write the recovered files once more: each copied from the
// page cache into a new file in dir, 1 MiB at a time.
double WriteSeconds(const std::string &from, const std::string &dir)
{
    std::system(("rm -rf '" + dir + "' && mkdir -p '" + dir + "'").c_str());
    std::vector<char> buf(1 << 20);
    const auto start = std::chrono::steady_clock::now();
    if (DIR *d = opendir(from.c_str())) {
        while (dirent *e = readdir(d)) {
            if (e->d_name[0] == '.')
                continue;
            std::ifstream in(from + "/" + e->d_name, std::ios::binary);
            std::ofstream out(dir + "/" + e->d_name, std::ios::binary);
            while (in.read(buf.data(), std::streamsize(buf.size())) || in.gcount() > 0)
                out.write(buf.data(), in.gcount());
        }
        closedir(d);
    }
    return Seconds(start);
}

} // namespace

int main(int argc, char **argv)
{
    // layered_bench --write MiB PATH only writes the layered file, for
    // looking at one recovery under a profiler
    const bool writeOnly = argc > 3 && std::strcmp(argv[1], "--write") == 0;
    // (a PATH ending in .psb gets the large document's layout).
    const std::size_t pathLength = writeOnly ? std::strlen(argv[3]) : 0;
    const bool large = (argc > 1 && std::strcmp(argv[1], "--psb") == 0) ||
                       (pathLength > 4 && std::strcmp(argv[3] + pathLength - 4, ".psb") == 0);
    const int sizeArg = writeOnly || large ? 2 : 1;
    const uint64_t mib = argc > sizeArg ? std::strtoull(argv[sizeArg], nullptr, 10) : large ? 2560 : 224;
    // Eight RGBA layers of the same size and a three-channel merged image:
    // 35 planes in all.
    const uint64_t plane = (mib << 20) / 35;
    Layout layout{8, 0, large ? 40000u : 2048u, large};
    layout.height = uint32_t(plane / layout.width);
    if (writeOnly) {
        WriteLayeredFile(argv[3], layout);
        return 0;
    }
    bench::TempDir dir;
    const std::string intact = dir.Path() + (large ? "/layered.psb" : "/layered.psd");
    const uint64_t size = WriteLayeredFile(intact, layout);
    const uint64_t largestLayer = uint64_t(layout.height) * layout.width * 4;
    const uint64_t canvas = uint64_t(layout.height) * layout.width * 3;

    const std::string random = dir.Path() + "/random.bin";
    {
        std::ofstream f(random, std::ios::binary);
        std::mt19937_64 rng(3);
        std::vector<uint64_t> buf(1 << 17);
        for (uint64_t at = 0; at < size; at += buf.size() * 8) {
            for (auto &v : buf)
                v = rng();
            f.write(reinterpret_cast<const char *>(buf.data()), std::streamsize(std::min<uint64_t>(buf.size() * 8, size - at)));
        }
    }
    double scanSeconds = RecoverInChild(random, dir.Path() + "/out-random").seconds;
    for (int again = 0; again < 2; ++again)
        scanSeconds = std::min(scanSeconds, RecoverInChild(random, dir.Path() + "/out-random").seconds);
    unlink(random.c_str());

    std::printf("%s: %.0f MB, %u layers of %ux%u RGBA, largest layer %.1f MiB, canvas %.1f MiB\n",
                large ? "large document" : "layered file", double(size) / 1e6, layout.layers, layout.width,
                layout.height, double(largestLayer) / 1048576.0, double(canvas) / 1048576.0);
    std::printf("random-data scan of the same size: %.2f s\n", scanSeconds);
    malloc_trim(0);
    std::printf("the bench's own memory at each fork, counted in max RSS: %.1f MiB\n\n",
                double(ResidentBytes()) / 1048576.0);
    std::printf("%-22s %-9s %9s %9s %9s %9s %7s | %10s %10s %7s\n", "file", "document", "recover", "read", "write",
                "target", "ratio", "max RSS", "target", "ratio");
    const char *names[] = {"intact", "header zeroed", "cut at 60 %", "zeroed 4 KiB per MiB"};
    const int tries = large ? 1 : 3;
    for (int kind = -1; kind < 3; ++kind) {
        std::string src = intact;
        if (kind >= 0) {
            src = dir.Path() + (large ? "/damaged.psb" : "/damaged.psd");
            CopyWithDamage(intact, src, kind, size);
        }
        for (const bool rebuild : {false, true}) {
            const uint32_t flags = ZELT_RECOVER_HEURISTIC | (rebuild ? ZELT_RECOVER_REBUILD : 0);
            // Each time is the best of the tries: writes into the page cache
            // now and then wait for the disk, whichever program makes them.
            const double read = ReadOnceSeconds(src);
            Result r = RecoverInChild(src, dir.Path() + "/out", flags);
            double write = WriteSeconds(dir.Path() + "/out", dir.Path() + "/write");
            for (int again = 1; again < tries; ++again) {
                const Result next = RecoverInChild(src, dir.Path() + "/out", flags);
                r.seconds = std::min(r.seconds, next.seconds);
                r.maxRss = std::max(r.maxRss, next.maxRss);
                write = std::min(write, WriteSeconds(dir.Path() + "/out", dir.Path() + "/write"));
            }
            std::system(("rm -rf '" + dir.Path() + "/write' '" + dir.Path() + "/out'").c_str());
            const double target = scanSeconds + (rebuild ? 3 : 2) * write;
            const uint64_t memory = largestLayer + (64u << 20) + (rebuild ? canvas : 0);
            std::printf("%-22s %-9s %8.2fs %8.2fs %8.2fs %8.2fs %7.2f | %6.0f MiB %6.0f MiB %7.2f   (%d files, %.0f MB)\n",
                        names[kind + 1], rebuild ? "on" : "off", r.seconds, read, write, target, r.seconds / target,
                        double(r.maxRss) / 1048576.0, double(memory) / 1048576.0, double(r.maxRss) / double(memory),
                        r.files, double(r.written) / 1e6);
            std::fflush(stdout);
        }
        if (kind >= 0)
            unlink(src.c_str());
    }
    return 0;
}
