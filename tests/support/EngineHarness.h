// Runs RecoverFile on files in a temporary directory and records what the
// callback hears.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "PsdBuilder.h"
#include "ZeltApi.h"

namespace test {

struct Event {
    int32_t code;
    std::string text; ///< text payload, or the percentage for MSG_PROGRESS
    bool operator==(const Event &o) const { return code == o.code && text == o.text; }
};
std::string ToString(const Event &e);

class CallbackRecorder {
public:
    /// Answers the k-th abort poll (1-based) with stop; 0 never stops.
    int abortAtPoll = 0;
    /// Called with every message (not polls or progress) as it comes.
    std::function<void(const Event &)> onMessage;
    std::vector<Event> events;
    int polls = 0;

    static int32_t ZELT_CALL Callback(int32_t code, const void *data, void *user);

    /// Events without abort polls and progress reports.
    std::vector<Event> Messages() const;
    std::vector<std::string> Written() const;
    std::vector<std::string> Errors() const;
    int Count(int32_t code) const;
};

class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string &Path() const { return m_path; }
    std::string operator/(const std::string &name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

/// Joins two path parts with "/".
inline std::string operator/(const std::string &a, const std::string &b) { return a + "/" + b; }

void WriteFile(const std::string &path, const Bytes &data);
Bytes ReadFile(const std::string &path);
bool FileExists(const std::string &path);
/// Creates the directory (if missing) and gives its path.
std::string MakeDir(const std::string &path);
std::string CurrentDir();
/// Names of the files in a directory, sorted.
std::vector<std::string> ListDir(const std::string &dir);
/// The names in dir that start with prefix, sorted.
std::vector<std::string> FilesWithPrefix(const std::string &dir, const std::string &prefix);

RepairOptions MakeOptions(uint16_t channels, uint32_t height, uint32_t width, uint16_t depth, uint16_t mode,
                          uint32_t flags = 1);

/// Masks the block and calls RecoverFile.
int32_t Recover(const std::string &source, const std::string &outputDir, CallbackRecorder *recorder,
                const RepairOptions *options = nullptr);

/// A recovered file split into its parts.
struct PsdImage {
    uint16_t version = 0, channels = 0, depth = 0, mode = 0;
    uint32_t height = 0, width = 0;
    Bytes colorModeData;
    std::vector<Bytes> planes;
};
/// Parses a file of the layout the engine writes; fails the test otherwise.
PsdImage ParseRecovered(const std::string &path);

/// A layered document (version 1) split into its parts.
struct DocLayer {
    int32_t top = 0, left = 0, bottom = 0, right = 0;
    std::vector<std::pair<int16_t, uint32_t>> channels; ///< identifier, stored length
    std::string blendKey;
    uint8_t opacity = 0, clipping = 0, flags = 0;
    Bytes extra;
    std::string name;        ///< the Pascal name
    std::string unicodeName; ///< from "luni" (ASCII here)
    std::vector<Bytes> planes; ///< each channel's data after its compression field
};
struct PsdDocument {
    PsdImage image; ///< header fields and the merged image's planes
    Bytes resources;
    int16_t layerCount = 0;
    std::vector<DocLayer> layers;
};
PsdDocument ParseDocument(const std::string &path);

} // namespace test
