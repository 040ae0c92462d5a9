#include "FloorLoop.h"

#include <chrono>

double FloorLoopSeconds(EngineCallback cb, uint64_t positions)
{
    // Read through a volatile so the calls stay real indirect calls, as the
    // engine's are.
    EngineCallback volatile pointer = cb;
    const auto start = std::chrono::steady_clock::now();
    uint8_t percent = 0;
    for (uint64_t p = 0; p < positions; ++p) {
        EngineCallback f = pointer;
        if (f(MSG_QUERY_ABORT, nullptr, nullptr) != 0)
            break;
        percent = static_cast<uint8_t>(p);
        f(MSG_PROGRESS, &percent, nullptr);
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
