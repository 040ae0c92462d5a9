#include "FaultySys.h"

#include <algorithm>
#include <unistd.h>

namespace test {

FaultPlan *FaultySys::plan = nullptr;

namespace {

ssize_t FaultyPread(int fd, void *buf, size_t count, off_t offset)
{
    FaultPlan &p = *FaultySys::plan;
    p.preads.emplace_back(uint64_t(offset), uint64_t(count));
    const uint64_t b = uint64_t(offset), e = b + count;
    for (const auto &[lo, hi] : p.badRanges)
        if (b < hi && lo < e) {
            errno = EIO;
            return -1;
        }
    return zelt::RealSysApi().pread(fd, buf, count, offset);
}

ssize_t FaultyWrite(int fd, const void *buf, size_t count)
{
    FaultPlan &p = *FaultySys::plan;
    if (p.writeBudget < 0)
        return zelt::RealSysApi().write(fd, buf, count);
    const size_t n = std::min<size_t>(count, size_t(p.writeBudget));
    p.writeBudget -= int64_t(n);
    if (n == 0 && count > 0) {
        errno = ENOSPC;
        return -1;
    }
    return zelt::RealSysApi().write(fd, buf, n);
}

zelt::SysApi MakeTable()
{
    zelt::SysApi t = zelt::RealSysApi();
    t.pread = FaultyPread;
    t.write = FaultyWrite;
    return t;
}

const zelt::SysApi kFaulty = MakeTable();

} // namespace

FaultySys::FaultySys(FaultPlan &p)
{
    plan = &p;
    m_previous = zelt::SetSysApi(&kFaulty);
}

FaultySys::~FaultySys()
{
    zelt::SetSysApi(m_previous);
    plan = nullptr;
}

} // namespace test
