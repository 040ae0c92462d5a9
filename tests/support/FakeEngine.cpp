#include "FakeEngine.h"

#include <cstring>

namespace test {

FakeEngineScript &FakeScript()
{
    static FakeEngineScript script;
    return script;
}

int32_t ZELT_CALL FakeRecoverFile(const void *masked)
{
    FakeEngineScript &s = FakeScript();
    ++s.calls;
    EngineParams p;
    std::memcpy(&p, masked, sizeof p);
    ZeltMaskParams(&p, sizeof p);
    // An unmasked block would decode into garbage: the pointers would be
    // wild and Reserved would not be 0 without ZELT_PROTECT_SOURCES.
    if (!p.Callback || !p.SourcePath || !p.OutputDir || !p.Options) {
        s.maskedProperly = false;
        return 0;
    }
    std::memcpy(&s.options, p.Options, sizeof s.options);
    s.protectedSources.clear();
    if (s.options.RecoveryFlags & ZELT_PROTECT_SOURCES) {
        for (auto list = reinterpret_cast<const char *const *>(p.Reserved); list && *list; ++list)
            s.protectedSources.push_back(*list);
    } else if (p.Reserved != 0) {
        s.maskedProperly = false;
        return 0;
    }
    s.protectedByCall.push_back(s.protectedSources);
    s.source = p.SourcePath;
    s.outputDir = p.OutputDir;
    bool stopped = false;
    for (std::size_t i = 0; i < s.steps.size(); ++i) {
        EngineStep &step = s.steps[i];
        const bool last = i + 1 == s.steps.size();
        if (stopped && !last)
            continue;
        if (step.before)
            step.before();
        if (step.code == MSG_PROGRESS) {
            uint8_t pct = step.percent;
            p.Callback(MSG_PROGRESS, &pct, p.UserData);
        } else if (step.code == MSG_QUERY_ABORT) {
            const int32_t answer = p.Callback(MSG_QUERY_ABORT, nullptr, p.UserData);
            s.answers.push_back(answer);
            if (answer != 0 && s.honourStop)
                stopped = true;
        } else {
            p.Callback(step.code, step.text.c_str(), p.UserData);
        }
    }
    return s.result;
}

std::vector<EngineStep> SimpleRun(const std::vector<std::string> &statusLines, int positions)
{
    std::vector<EngineStep> steps{{MSG_PROGRESS, "", 0}, {MSG_SOURCE_FILE, "src"}};
    for (const std::string &line : statusLines)
        steps.push_back({MSG_STATUS, line});
    for (int i = 0; i < positions; ++i) {
        steps.push_back({MSG_QUERY_ABORT, ""});
        steps.push_back({MSG_PROGRESS, "", uint8_t((i + 1) * 100 / positions)});
    }
    steps.push_back({MSG_FILE_WRITTEN, "/out/Layer0.psd"});
    steps.push_back({MSG_PROGRESS, "", 100});
    return steps;
}

} // namespace test
