// The front end's binding to the engine.
#pragma once

#include <string>
#include <vector>

#include "ZeltApi.h"

namespace qoban {

/// Fills an EngineParams block (source path, options, reserved, output
/// directory, callback, user data), masks every byte with 0xA7 and calls
/// recover with it. True when it returned non-zero.
bool CallRecoverFile(RecoverFileFn recover, const std::string &sourcePath, const RepairOptions &options,
                     intptr_t reserved, void *userData, EngineCallback callback, const std::string &outputDir);

/// The same, protecting the other sources of the caller's run: when the list
/// is not empty, ZELT_PROTECT_SOURCES is set in a copy of the options and
/// Reserved carries the list, so that no output of this repair is written
/// over a file the run has still to repair (or has repaired).
bool CallRecoverFile(RecoverFileFn recover, const std::string &sourcePath, const RepairOptions &options,
                     const std::vector<std::string> &otherSources, void *userData, EngineCallback callback,
                     const std::string &outputDir);

} // namespace qoban
