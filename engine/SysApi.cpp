#include "SysApi.h"

#include <fcntl.h>
#include <unistd.h>

namespace zelt {
namespace {

int RealOpen(const char *path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int RealOpenAt(int dirfd, const char *path, int flags, mode_t mode) { return ::openat(dirfd, path, flags, mode); }

const SysApi kReal = {
    RealOpen, ::close, ::read, ::pread, ::write, ::lseek, ::ftruncate, ::fsync, ::fstat, RealOpenAt,
};

const SysApi *g_api = &kReal;

} // namespace

const SysApi &Sys() { return *g_api; }
const SysApi &RealSysApi() { return kReal; }

const SysApi *SetSysApi(const SysApi *api)
{
    const SysApi *previous = g_api;
    g_api = api ? api : &kReal;
    return previous;
}

} // namespace zelt
