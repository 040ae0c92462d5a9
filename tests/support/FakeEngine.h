// An engine with RecoverFile's signature for the window's tests. It unmasks
// the block (failing the test when it was not masked), then plays a script
// of callback calls. A step may run an action first (a click on Stop from
// inside the engine, say).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "ZeltApi.h"

namespace test {

struct EngineStep {
    int32_t code;
    std::string text;   ///< for text messages
    uint8_t percent = 0; ///< for MSG_PROGRESS
    std::function<void()> before;
};

struct FakeEngineScript {
    std::vector<EngineStep> steps;
    int32_t result = 1;
    /// When a poll is answered with stop, the rest of the steps up to the
    /// last one are passed over (the final report still comes).
    bool honourStop = true;

    // What the engine saw.
    int calls = 0;
    bool maskedProperly = true;
    std::string source, outputDir;
    std::vector<std::string> protectedSources; ///< the list passed with ZELT_PROTECT_SOURCES
    std::vector<std::vector<std::string>> protectedByCall; ///< that list for every call, in order
    RepairOptions options{};
    std::vector<int32_t> answers; ///< the callback's answers to polls
};

/// The script the next calls play.
FakeEngineScript &FakeScript();

int32_t ZELT_CALL FakeRecoverFile(const void *masked);

/// A usual script: poll and progress a few times with status lines, a
/// written file, then 100.
std::vector<EngineStep> SimpleRun(const std::vector<std::string> &statusLines, int positions = 4);

} // namespace test
