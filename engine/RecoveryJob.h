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
};

class RecoveryJob {
public:
    RecoveryJob(EngineCallback callback, void *userData) : m_callback(callback), m_userData(userData) {}
    virtual ~RecoveryJob() = default;

    /// Recovers sourcePath into outputDir; true when at least one file was
    /// recovered. Every failure inside becomes an MSG_ERROR text.
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

private:
    JobOptions m_options;
    EngineCallback m_callback;
    void *m_userData;
};

} // namespace zelt
