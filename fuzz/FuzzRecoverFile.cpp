// Fuzz target: the bytes are a damaged source file; RecoverFile scans it.
//
// Output goes to a scratch directory that is emptied after every input. The
// harness caps the size of every file written (a header the fuzzer makes up
// may describe a picture of gigabytes) and the engine's memory budget, so
// that an input costs milliseconds; a cap reached is the engine's ordinary
// "disk full" error.
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ZeltApi.h"

namespace {

std::string g_dir;

int32_t ZELT_CALL Callback(int32_t code, const void *data, void *)
{
    // Every text must be a terminated string valid during the call.
    if (code != MSG_PROGRESS && code != MSG_QUERY_ABORT && data)
        (void)std::strlen(static_cast<const char *>(data));
    return 0;
}

void EmptyDirectory(const std::string &dir)
{
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                unlink((dir + "/" + e->d_name).c_str());
        closedir(d);
    }
}

void RemoveScratch()
{
    EmptyDirectory(g_dir + "/out");
    rmdir((g_dir + "/out").c_str());
    unlink((g_dir + "/input.psd").c_str());
    rmdir(g_dir.c_str());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/zelt-fuzz-XXXXXX";
    if (!mkdtemp(pattern.data()))
        std::abort();
    g_dir = pattern;
    mkdir((g_dir + "/out").c_str(), 0755);
    std::atexit(RemoveScratch);
    setenv("ZELT_MEMORY_BUDGET", "33554432", 1);
    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit fsize = {16u << 20, 16u << 20};
    setrlimit(RLIMIT_FSIZE, &fsize);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string src = g_dir + "/input.psd", out = g_dir + "/out";
    FILE *f = std::fopen(src.c_str(), "wb");
    if (!f)
        std::abort();
    if (size > 0)
        std::fwrite(data, 1, size, f);
    std::fclose(f);

    // Every capability on: the rebuilt document (compressed), the inferred
    // properties, the preview, coarse reports, salvage (which reads the
    // plain way first).
    RepairOptions options{22, 3, 16, 16, 8, 3,
                          ZELT_RECOVER_HEURISTIC | ZELT_RECOVER_REBUILD | ZELT_REPORT_COARSE | ZELT_RECOVER_PREVIEW |
                              ZELT_RECOVER_SALVAGE | ZELT_COMPRESS_DOCUMENT};
    EngineParams params{src.c_str(), &options, 0, out.c_str(), &Callback, nullptr};
    ZeltMaskParams(&params, sizeof params);
    RecoverFile(&params);
    EmptyDirectory(out);
    return 0;
}
