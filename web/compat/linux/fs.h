/* The one name the programs take from <linux/fs.h>: the request for a
 * disk's size. Emscripten's C library has no such header; in the browser
 * there are no disks, and the request is never made. */
#ifndef VELMORA_COMPAT_LINUX_FS_H
#define VELMORA_COMPAT_LINUX_FS_H
#ifndef BLKGETSIZE64
#define BLKGETSIZE64 0x1272
#endif
#endif
