// The repair log and its texts, shared by the window and the command-line
// program: both write the same log for the same repair.
#pragma once

#include <cstdint>
#include <string>

namespace repairlog {

/// The rule line of the log: 56 hyphen-minus characters.
extern const char *const kRule;

extern const char *const kStart;          // "Start repair process ..."
extern const char *const kCompletes;      // "Repair process completes."
extern const char *const kAborted;        // "Repair process is aborted."
extern const char *const kUserAborts;     // "User aborts the repair process"
extern const char *const kStatusNotRepaired, *const kStatusSuccessful, *const kStatusFailed,
    *const kStatusAborted;

/// "File to be repaired: '%s'; File size = %.0n bytes"
std::string FileLine(const std::string &source, uint64_t size, const std::string &thousandsSeparator);
/// "Output recovered image and layers to: '%s'"
std::string OutputLine(const std::string &outputDir);
/// "Cannot create the directory '%s'!"
std::string CannotCreateDirectory(const std::string &dir);
/// "Cannot open the directory '%s'!"
std::string CannotOpenDirectory(const std::string &dir);
/// "%d file(s) repaired successfully"
std::string BatchSummary(int repaired);

/// "Consumed time: H hour(s) M minute(s) S second(s) MS millisecond(s)."
/// for an elapsed time in milliseconds; whole days are dropped.
std::string ConsumedTimeLine(int64_t elapsedMs);

/// The result text of a single repair: success (with the directory or the
/// self-extracting wording, CR LF between its two lines), failure, or the
/// user's stop.
std::string ResultText(bool stillRunning, bool success, const std::string &source, const std::string &outputDir);

/// "Only the embedded preview of '%s' could be recovered: %s", with the
/// source and the preview's path: the outcome of a repair whose only file is
/// the preview (a failed repair for the exit status and the window).
std::string PreviewOnlyText(const std::string &source, const std::string &previewPath);

/// "The folder '%s' already holds files: the recovered files go to '%s'."
std::string FolderTakenLine(const std::string &dir, const std::string &chosen);

/// Whether a written file is the embedded preview (<stem>_preview.jpg, or
/// _preview_<k>.jpg where that name was taken).
bool IsPreviewFile(const std::string &path);

/// A whole number written with the separator between groups of three
/// digits ("%.0n"): 1,234,567 with ",", a minus sign kept.
std::string FormatGrouped(double value, const std::string &thousandsSeparator);

/// The separator of the user's locale (LC_NUMERIC), empty in the C locale.
std::string LocaleThousandsSeparator();

} // namespace repairlog
