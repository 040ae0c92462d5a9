/*
 * ZeltApi.h - the binary interface between the recovery engine (libzelt) and
 * its callers (orvane, velmora).
 *
 * The caller fills an EngineParams block, XORs every byte of it with
 * ZELT_PARAMS_MASK and passes the address of the masked block to RecoverFile.
 * The engine copies and unmasks it; the caller's block stays masked.
 */
#ifndef ZELT_API_H
#define ZELT_API_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32) && !defined(_WIN64)
#define ZELT_CALL __stdcall
#else
#define ZELT_CALL
#endif

#if defined(_WIN32)
#define ZELT_EXPORT __declspec(dllexport)
#else
#define ZELT_EXPORT __attribute__((visibility("default")))
#endif

/* Callback codes sent by the engine. */
enum {
    MSG_PROGRESS = 0,      /* data: one unsigned byte, 0 to 100 */
    MSG_SOURCE_FILE = 11,  /* data: the source path */
    MSG_STATUS = 44,       /* data: a status line for the log */
    MSG_FILE_WRITTEN = 45, /* data: the path of a recovered file */
    MSG_QUERY_ABORT = 51,  /* data: null; a nonzero answer stops the scan */
    MSG_ERROR = 53         /* data: an error text */
};

/* One-byte constant every byte of EngineParams is XORed with. */
#define ZELT_PARAMS_MASK 0xA7u

/* Bits of RepairOptions.RecoveryFlags. A caller that leaves a bit 0 gets
 * exactly what it got before the bit existed. */
/* Image properties inferred from what survives while no header was seen. */
#define ZELT_RECOVER_HEURISTIC 0x1u
/* One rebuilt layered document per recovered layer section, and a status
 * line per layer telling how much of it was read. */
#define ZELT_RECOVER_REBUILD 0x2u
/* Coarse reports: MSG_PROGRESS only when the percentage changes,
 * MSG_QUERY_ABORT at least every 64 KiB of positions, before every layer and
 * merged image read and inside long reads and writes. */
#define ZELT_REPORT_COARSE 0x4u
/* The embedded JPEG preview written as <base>_preview.jpg. */
#define ZELT_RECOVER_PREVIEW 0x8u
/* EngineParams.Reserved holds the address of a null-terminated array of
 * zero-terminated paths: the other sources of the caller's run. No output
 * is ever written over one of them. */
#define ZELT_PROTECT_SOURCES 0x10u
/* The property as given in RepairOptions stands, whatever the heuristic
 * finds (the user knows it); the heuristic finds the others. */
#define ZELT_KEEP_CHANNELS 0x20u
#define ZELT_KEEP_HEIGHT 0x40u
#define ZELT_KEEP_WIDTH 0x80u
#define ZELT_KEEP_DEPTH 0x100u
#define ZELT_KEEP_MODE 0x200u
/* Layers salvaged past a damaged layer record or a lost section front: the
 * records after the damage are found again, and the channel data of layers
 * whose record is lost is placed by its own structure. */
#define ZELT_RECOVER_SALVAGE 0x400u
/* The rebuilt document written run-length compressed (PackBits rows for the
 * layers' channels and the merged image); the separate pieces stay
 * uncompressed. */
#define ZELT_COMPRESS_DOCUMENT 0x800u

/* The size RepairOptions.StructSize must hold for the record to be used. */
#define ZELT_REPAIR_OPTIONS_SIZE 22u

/*
 * Called for progress, messages and the abort poll. `data` points into engine
 * storage that is valid only during the call; texts are zero-terminated.
 * The result is read only for MSG_QUERY_ABORT.
 */
typedef int32_t(ZELT_CALL *EngineCallback)(int32_t code, const void *data, void *userData);

#pragma pack(push, 1)
/* Image properties to assume while no file header has been seen.
 * 22 bytes, packed, little-endian on every target. */
typedef struct RepairOptions {
    uint32_t StructSize;     /* must be 22 */
    uint16_t ChannelCount;   /* default 3 */
    uint32_t ImageHeight;    /* default 600 */
    uint32_t ImageWidth;     /* default 800 */
    uint16_t BitsPerChannel; /* default 8 */
    uint16_t ColorMode;      /* default 3 (RGB) */
    uint32_t RecoveryFlags;  /* ZELT_RECOVER_HEURISTIC, ZELT_RECOVER_REBUILD, ... */
} RepairOptions;
#pragma pack(pop)

/* Six pointer-wide fields, no padding: 24 bytes on 32-bit targets, 48 on 64-bit. */
typedef struct EngineParams {
    const char *SourcePath;
    const RepairOptions *Options;
    intptr_t Reserved; /* 0, or with ZELT_PROTECT_SOURCES the address of a
                          null-terminated array of paths to protect */
    const char *OutputDir;
    EngineCallback Callback; /* may be null */
    void *UserData;
} EngineParams;

/* Runs one recovery. Returns 1 when at least one file was recovered, else 0. */
ZELT_EXPORT int32_t ZELT_CALL RecoverFile(const void *maskedParams);

/* Signature of RecoverFile, for callers that take it as a parameter. */
typedef int32_t(ZELT_CALL *RecoverFileFn)(const void *maskedParams);

#ifdef __cplusplus
} /* extern "C" */

static_assert(sizeof(RepairOptions) == 22, "RepairOptions is 22 bytes");
static_assert(offsetof(RepairOptions, StructSize) == 0, "layout");
static_assert(offsetof(RepairOptions, ChannelCount) == 4, "layout");
static_assert(offsetof(RepairOptions, ImageHeight) == 6, "layout");
static_assert(offsetof(RepairOptions, ImageWidth) == 10, "layout");
static_assert(offsetof(RepairOptions, BitsPerChannel) == 14, "layout");
static_assert(offsetof(RepairOptions, ColorMode) == 16, "layout");
static_assert(offsetof(RepairOptions, RecoveryFlags) == 18, "layout");

static_assert(sizeof(EngineParams) == 6 * sizeof(void *), "six pointer-wide fields");
static_assert(sizeof(intptr_t) == sizeof(void *), "Reserved is pointer wide");
static_assert(offsetof(EngineParams, SourcePath) == 0 * sizeof(void *), "layout");
static_assert(offsetof(EngineParams, Options) == 1 * sizeof(void *), "layout");
static_assert(offsetof(EngineParams, Reserved) == 2 * sizeof(void *), "layout");
static_assert(offsetof(EngineParams, OutputDir) == 3 * sizeof(void *), "layout");
static_assert(offsetof(EngineParams, Callback) == 4 * sizeof(void *), "layout");
static_assert(offsetof(EngineParams, UserData) == 5 * sizeof(void *), "layout");

/* XORs every byte of a parameter block with the mask (masking and unmasking). */
inline void ZeltMaskParams(void *block, size_t size)
{
    unsigned char *p = static_cast<unsigned char *>(block);
    for (size_t i = 0; i < size; ++i)
        p[i] = static_cast<unsigned char>(p[i] ^ ZELT_PARAMS_MASK);
}
#endif

#endif /* ZELT_API_H */
