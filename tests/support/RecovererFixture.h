// A PsdRecoverer on a file of test bytes, with a recording callback.
#pragma once

#include <gtest/gtest.h>
#include <memory>

#include "EngineHarness.h"
#include "File64Ex.h"
#include "PsdRecoverer.h"
#include "RecoveryJob.h"

namespace test {

class RecovererFixture : public ::testing::Test {
protected:
    /// Writes bytes as the source, opens it and creates the recoverer over
    /// it with output into a new folder (out/, then out2/, ...: outputs
    /// never replace files, so each load gets a folder of its own).
    void Load(const Bytes &bytes, const std::string &outDir = "")
    {
        WriteFile(dir / "src.psd", bytes);
        source = std::make_unique<zelt::CFile64Ex>(4096);
        ASSERT_TRUE(source->Open(dir / "src.psd", zelt::modeRead | zelt::shareDenyWrite | zelt::typeBinary));
        out = outDir.empty() ? dir / (loads == 0 ? std::string("out") : "out" + std::to_string(loads + 1)) : outDir;
        ++loads;
        ::mkdir(out.c_str(), 0755);
        recovered = 0;
        // The recognisers alone: the properties are what the test sets.
        const RepairOptions plain = MakeOptions(3, 600, 800, 8, 3, flags);
        job.TakeOverOptions(&plain);
        recoverer = std::make_unique<zelt::PsdRecoverer>(job, *source, out, recovered);
    }
    zelt::PsdRecoverer &R() { return *recoverer; }
    void At(uint64_t pos) { source->SeekTo(pos); }

    uint32_t flags = 0; ///< RecoveryFlags of the job, taken at Load
    TempDir dir;
    CallbackRecorder rec;
    zelt::RecoveryJob job{&CallbackRecorder::Callback, &rec};
    std::unique_ptr<zelt::CFile64Ex> source;
    std::unique_ptr<zelt::PsdRecoverer> recoverer;
    std::string out;
    uint64_t recovered = 0;
    int loads = 0;
};

} // namespace test
