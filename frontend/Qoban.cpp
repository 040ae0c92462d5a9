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

bool CallRecoverFile(RecoverFileFn recover, const std::string &sourcePath, const RepairOptions &options,
                     const std::vector<std::string> &otherSources, void *userData, EngineCallback callback,
                     const std::string &outputDir)
{
    if (otherSources.empty())
        return CallRecoverFile(recover, sourcePath, options, 0, userData, callback, outputDir);
    std::vector<const char *> list;
    list.reserve(otherSources.size() + 1);
    for (const std::string &s : otherSources)
        list.push_back(s.c_str());
    list.push_back(nullptr);
    RepairOptions withList = options;
    withList.RecoveryFlags |= ZELT_PROTECT_SOURCES;
    return CallRecoverFile(recover, sourcePath, withList, reinterpret_cast<intptr_t>(list.data()), userData,
                           callback, outputDir);
}

} // namespace qoban
