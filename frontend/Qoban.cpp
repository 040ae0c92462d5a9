#include "Qoban.h"

namespace qoban {

bool CallRecoverFile(RecoverFileFn recover, const std::string &sourcePath, const RepairOptions &options,
                     intptr_t reserved, void *userData, EngineCallback callback, const std::string &outputDir)
{
    EngineParams params;
    params.SourcePath = sourcePath.c_str();
    params.Options = &options;
    params.Reserved = reserved;
    params.OutputDir = outputDir.c_str();
    params.Callback = callback;
    params.UserData = userData;
    ZeltMaskParams(&params, sizeof params);
    return recover(&params) != 0;
}

} // namespace qoban
