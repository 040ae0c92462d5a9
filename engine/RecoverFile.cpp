// The engine's one entry point.
#include <cstring>
#include <memory>
#include <string>

#include "Messages.h"
#include "RecoveryJob.h"
#include "ZeltApi.h"

extern "C" ZELT_EXPORT int32_t ZELT_CALL RecoverFile(const void *maskedParams)
{
    if (!maskedParams)
        return 0;
    EngineParams params;
    std::memcpy(&params, maskedParams, sizeof params);
    ZeltMaskParams(&params, sizeof params);

    // Nothing raised inside the engine crosses this boundary. A failure
    // before the job's first report (creating the job, copying the paths,
    // creating the source object) is reported as the unknown error.
    try {
        auto job = std::make_unique<zelt::RecoveryJob>(params.Callback, params.UserData);
        const std::string outputDir = params.OutputDir ? params.OutputDir : "";
        const std::string sourcePath = params.SourcePath ? params.SourcePath : "";
        return job->Run(sourcePath, params.Options, params.Reserved, outputDir) ? 1 : 0;
    } catch (...) {
        try {
            if (params.Callback)
                params.Callback(MSG_ERROR, zelt::LoadMessage(zelt::kMsgUnknownError), params.UserData);
        } catch (...) {
        }
        return 0;
    }
}
