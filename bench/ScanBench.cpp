// Scan speed of RecoverFile against the floor the callback protocol sets:
// two callback calls per byte position through a function pointer.
//
//   scan_bench [MiB] [FLAGS]   (default 256, and the heuristic alone)
//
// FLAGS (RecoveryFlags, as 0x405) times the scan with what a caller sets:
// velmora sets salvage, which tests more positions.
//
// For random, zero and low-entropy (values 0 to 3) sources it prints MB/s
// and the ratio engine / floor, twice:
//  - "program": the engine linked into this program, the floor loop too;
//  - "library": the engine as libzelt.so, the floor loop in a shared library
//    of its own, each calling back into this program, as the real callers
//    are called. Calls between a library and the program cost more than
//    calls within one on some processors, for the engine and the floor alike.
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "BenchUtil.h"
#include "FloorLoop.h"
#include "ZeltApi.h"

double ProgramFloorSeconds(EngineCallback cb, uint64_t positions); // FloorLoop.cpp, built into the program

namespace {

int32_t ZELT_CALL NullCallback(int32_t, const void *, void *) { return 0; }

} // namespace

int main(int argc, char **argv)
{
    const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
    const uint64_t size = mib << 20;
    const auto flags = static_cast<uint32_t>(argc > 2 ? std::strtoul(argv[2], nullptr, 0) : ZELT_RECOVER_HEURISTIC);

    void *lib = dlopen(ZELT_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    auto sharedRecover = lib ? reinterpret_cast<RecoverFileFn>(dlsym(lib, "RecoverFile")) : nullptr;
    if (!sharedRecover)
        std::fprintf(stderr, "cannot load %s: %s\n", ZELT_LIBRARY_PATH, dlerror());

    bench::TempDir dir;
    std::printf("%llu MiB per input, flags 0x%x\n", static_cast<unsigned long long>(mib), flags);
    std::printf("%-12s | %-33s | %-33s\n", "", "program (engine linked in)", "library (libzelt.so)");
    std::printf("%-12s | %10s %10s %9s | %10s %10s %9s\n", "input", "engine", "floor", "ratio", "engine",
                "floor", "ratio");
    struct Input {
        const char *name;
        int kind;
    } inputs[] = {{"random", 0}, {"zero", 1}, {"low-entropy", 2}};
    for (const Input &in : inputs) {
        std::vector<uint8_t> data(size);
        std::mt19937_64 rng(42);
        for (uint64_t i = 0; i < size; ++i)
            data[i] = in.kind == 0 ? uint8_t(rng()) : in.kind == 1 ? 0 : uint8_t(rng() & 3);
        const std::string src = dir.Path() + "/" + in.name + ".bin";
        bench::WriteFile(src, data);
        data.clear();
        data.shrink_to_fit();

        const double mb = double(size) / 1e6;
        const double engine = bench::TimeRecover(&RecoverFile, src, dir.Path() + "/out", &NullCallback, nullptr, nullptr, flags);
        const double floor = ProgramFloorSeconds(&NullCallback, size);
        std::printf("%-12s | %5.0f MB/s %5.0f MB/s %9.2f |", in.name, mb / engine, mb / floor, floor / engine);
        if (sharedRecover) {
            const double engineLib = bench::TimeRecover(sharedRecover, src, dir.Path() + "/out", &NullCallback, nullptr, nullptr, flags);
            const double floorLib = FloorLoopSeconds(&NullCallback, size);
            std::printf(" %5.0f MB/s %5.0f MB/s %9.2f", mb / engineLib, mb / floorLib, floorLib / engineLib);
        }
        std::printf("\n");
        std::fflush(stdout);
        unlink(src.c_str());
    }
    return 0;
}
