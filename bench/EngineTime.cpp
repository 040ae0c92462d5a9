// engine_time FILE OUTPUT_DIR: seconds RecoverFile (libzelt.so) takes on
// FILE with a callback that only returns 0, the engine's time for the
// command-line and window benchmarks.
#include <cstdio>

#include "BenchUtil.h"

static int32_t ZELT_CALL NullCallback(int32_t, const void *, void *) { return 0; }

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: engine_time FILE OUTPUT_DIR\n");
        return 2;
    }
    std::printf("%.3f\n", bench::TimeRecover(&RecoverFile, argv[1], argv[2], &NullCallback, nullptr));
    return 0;
}
