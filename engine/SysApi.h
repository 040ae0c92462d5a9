// The operating-system calls of the file classes, gathered in one table so
// that tests can put failing calls (an unreadable sector, a full disk) under
// the real classes. The real table is in force unless a test installs its own.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

namespace zelt {

struct SysApi {
    int (*open)(const char *path, int flags, mode_t mode);
    int (*close)(int fd);
    ssize_t (*read)(int fd, void *buf, size_t count);
    ssize_t (*pread)(int fd, void *buf, size_t count, off_t offset);
    ssize_t (*write)(int fd, const void *buf, size_t count);
    off_t (*lseek)(int fd, off_t offset, int whence);
    int (*ftruncate)(int fd, off_t length);
    int (*fsync)(int fd);
    int (*fstat)(int fd, struct stat *st);
    int (*openat)(int dirfd, const char *path, int flags, mode_t mode);
};

/// The table in force.
const SysApi &Sys();

/// The table of the real calls.
const SysApi &RealSysApi();

/// Installs a table (nullptr restores the real one); returns the previous one.
const SysApi *SetSysApi(const SysApi *api);

} // namespace zelt
