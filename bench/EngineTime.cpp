// engine_time FILE OUTPUT_DIR [FLAGS]: seconds RecoverFile (libzelt.so) takes
// on FILE with a callback that only returns 0, the engine's time for the
// command-line and window benchmarks. FLAGS are the RecoveryFlags (default
// 1, the heuristic), to run the per-byte protocol with velmora's other
// options.
#include <cstdio>
#include <cstdlib>

#include "BenchUtil.h"

static int32_t ZELT_CALL NullCallback(int32_t, const void *, void *) { return 0; }

int main(int argc, char **argv)
{
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: engine_time FILE OUTPUT_DIR [FLAGS]\n");
        return 2;
    }
    const auto flags = argc == 4 ? static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 0)) : uint32_t{ZELT_RECOVER_HEURISTIC};
    std::printf("%.3f\n", bench::TimeRecover(&RecoverFile, argv[1], argv[2], &NullCallback, nullptr, nullptr, flags));
    return 0;
}
