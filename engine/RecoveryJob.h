// RecoveryJob: one RecoverFile call. It carries the caller's callback
// through the engine and runs the scan of the damaged source.
#pragma once

#include <cstdint>
#include <string>

#include "ZeltApi.h"

namespace zelt {

#pragma pack(push, 1)
/// Channels, height, width, depth and mode, in the order and widths of
/// bytes 12 to 25 of a Photoshop file header (native byte order here).
struct ImageProperties {
    uint16_t channels;
    uint32_t height;
    uint32_t width;
    uint16_t depth;
    uint16_t mode;
};
#pragma pack(pop)
static_assert(sizeof(ImageProperties) == 14, "ImageProperties is 14 bytes");
static_assert(offsetof(RepairOptions, BitsPerChannel) - offsetof(RepairOptions, ChannelCount) ==
                  offsetof(ImageProperties, depth),
              "the options record holds an ImageProperties block at offset 4");

constexpr ImageProperties kDefaultProperties = {3, 600, 800, 8, 3};

struct JobOptions {
    ImageProperties properties = kDefaultProperties;
    bool heuristic = true;
    /// The caller's RecoveryFlags (only the heuristic bit without a record).
    uint32_t flags = ZELT_RECOVER_HEURISTIC;
};

/// Raised inside a scan step when the caller answers an abort poll with
/// stop (coarse reports only). It ends the scan like a stop at the top of a
/// step; it is no error.
struct ScanAborted {};

class RecoveryJob {
public:
    RecoveryJob(EngineCallback callback, void *userData) : m_callback(callback), m_userData(userData) {}
    virtual ~RecoveryJob() = default;

    /// Recovers sourcePath into outputDir; true when at least one file was
    /// recovered. Every failure inside becomes an MSG_ERROR text. With
    /// ZELT_PROTECT_SOURCES in the options, reserved is the address of the
    /// caller's list of paths to protect.
    bool Run(const std::string &sourcePath, const RepairOptions *options, intptr_t reserved,
             const std::string &outputDir);

    /// Sends a text when a callback is set.
    void Notify(int32_t code, const char *text) const
    {
        if (m_callback)
            m_callback(code, text, m_userData);
    }
    void Notify(int32_t code, const std::string &text) const { Notify(code, text.c_str()); }

    /// Formats message `id` printf-style with the arguments and sends it.
    void NotifyFormatted(int32_t code, int id, ...) const;

    /// The options in force: the defaults until Run takes over the caller's
    /// record (only when its StructSize is 22).
    const JobOptions &Options() const { return m_options; }
    void TakeOverOptions(const RepairOptions *options);
    bool Flag(uint32_t bit) const { return (m_options.flags & bit) != 0; }

    /// With coarse reports, asks the caller whether to stop; a stop raises
    /// ScanAborted. Without them it does nothing, so that the callback
    /// sequence stays that of one poll per position.
    void PollAbort()
    {
        if (m_coarse)
            PollNow();
    }
    /// With coarse reports, counts the bytes of long reads and writes and
    /// polls once every 16 MiB of them.
    void Tick(uint64_t bytes)
    {
        if (m_coarse && (m_ticked += bytes) >= kTickBytes)
            PollNow();
    }
    /// True once a poll inside a step was answered with stop.
    bool Aborted() const { return m_aborted; }

private:
    static constexpr uint64_t kTickBytes = 16u << 20;
    void PollNow();

    JobOptions m_options;
    EngineCallback m_callback;
    void *m_userData;
    bool m_coarse = false;
    bool m_aborted = false;
    uint64_t m_ticked = 0;
};

} // namespace zelt
