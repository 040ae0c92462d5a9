// A table of OS calls for the file classes that fails where a test says:
// reads that touch chosen byte ranges fail with EIO, writes store at most a
// given number of bytes. It counts and records the read requests.
#pragma once

#include <cerrno>
#include <cstdint>
#include <utility>
#include <vector>

#include "SysApi.h"

namespace test {

struct FaultPlan {
    std::vector<std::pair<uint64_t, uint64_t>> badRanges; ///< [begin, end) that cannot be read
    int64_t writeBudget = -1;                              ///< bytes writes may still store; -1 unlimited
    std::vector<std::pair<uint64_t, uint64_t>> preads;     ///< (offset, count) of every pread
};

/// Installs the faulty table for the lifetime of the object.
class FaultySys {
public:
    explicit FaultySys(FaultPlan &plan);
    ~FaultySys();
    static FaultPlan *plan;

private:
    const zelt::SysApi *m_previous;
};

} // namespace test
