/* The one name the programs take from <linux/fs.h>: the request for a
 * disk's size. Emscripten's C library has no such header; in the browser
 * there are no disks, and the request is never made. */
#ifndef VELMORA_COMPAT_LINUX_FS_H
#define VELMORA_COMPAT_LINUX_FS_H
#include <stddef.h>
#include <sys/ioctl.h>
#ifndef BLKGETSIZE64
#define BLKGETSIZE64 _IOR(0x12, 114, size_t)
#endif
#endif
