// The front end's binding to the engine.
#pragma once

#include <string>

#include "ZeltApi.h"

namespace qoban {

/// Fills an EngineParams block (source path, options, reserved, output
/// directory, callback, user data), masks every byte with 0xA7 and calls
/// recover with it. True when it returned non-zero.
bool CallRecoverFile(RecoverFileFn recover, const std::string &sourcePath, const RepairOptions &options,
                     intptr_t reserved, void *userData, EngineCallback callback, const std::string &outputDir);

} // namespace qoban
