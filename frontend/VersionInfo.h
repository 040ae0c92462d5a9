// The version record embedded in the program files (an ELF note written by
// VersionNote.cpp) and how it is read back from a file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace wenk {

struct VersionRecord {
    uint32_t fileVersionMS, fileVersionLS;       ///< major << 16 | minor, release << 16 | build
    uint32_t productVersionMS, productVersionLS;
};

/// The version record of an ELF file, or nothing when it has none or cannot
/// be read.
std::optional<VersionRecord> ReadVersionRecord(const std::string &path);

/// One number of the version record as text: selector 0 high half of the
/// file version ("%d.%d"), 1 its low half, 2 the whole file version
/// ("%s.%s"), 3 to 5 the same for the product version. Empty for a file
/// without a record and for any other selector.
std::string GetFileVersionText(const std::string &path, int selector);

/// The path of the running program's file.
std::string OwnProgramPath();

} // namespace wenk
