#include "RepairLog.h"

#include <clocale>
#include <cmath>
#include <cstdio>

#include "WenkUtils.h"

namespace repairlog {

const char *const kRule = "--------------------------------------------------------";
const char *const kStart = "Start repair process ...";
const char *const kCompletes = "Repair process completes.";
const char *const kAborted = "Repair process is aborted.";
const char *const kUserAborts = "User aborts the repair process";
const char *const kStatusNotRepaired = "Not Repaired";
const char *const kStatusSuccessful = "Successful";
const char *const kStatusFailed = "Failed";
const char *const kStatusAborted = "Aborted";

std::string FormatGrouped(double value, const std::string &thousandsSeparator)
{
    char digits[400];
    std::snprintf(digits, sizeof digits, "%.0f", std::round(value));
    std::string s = digits;
    std::string sign;
    if (!s.empty() && s[0] == '-') {
        sign = "-";
        s.erase(0, 1);
    }
    if (s == "0")
        sign.clear();
    std::string out;
    const std::size_t n = s.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0 && (n - i) % 3 == 0)
            out += thousandsSeparator;
        out += s[i];
    }
    return sign + out;
}

std::string LocaleThousandsSeparator()
{
    const lconv *lc = std::localeconv();
    return lc && lc->thousands_sep ? std::string(lc->thousands_sep) : std::string();
}

std::string FileLine(const std::string &source, uint64_t size, const std::string &thousandsSeparator)
{
    return "File to be repaired: '" + source + "'; File size = " +
           FormatGrouped(static_cast<double>(size), thousandsSeparator) + " bytes";
}

std::string OutputLine(const std::string &outputDir) { return "Output recovered image and layers to: '" + outputDir + "'"; }

std::string CannotCreateDirectory(const std::string &dir) { return "Cannot create the directory '" + dir + "'!"; }

std::string CannotOpenDirectory(const std::string &dir) { return "Cannot open the directory '" + dir + "'!"; }

std::string BatchSummary(int repaired) { return std::to_string(repaired) + " file(s) repaired successfully"; }

std::string ConsumedTimeLine(int64_t elapsedMs)
{
    if (elapsedMs < 0)
        elapsedMs = 0;
    const int64_t ms = elapsedMs % 1000, s = elapsedMs / 1000 % 60, m = elapsedMs / 60000 % 60,
                  h = elapsedMs / 3600000 % 24;
    return "Consumed time: " + std::to_string(h) + " hour(s) " + std::to_string(m) + " minute(s) " +
           std::to_string(s) + " second(s) " + std::to_string(ms) + " millisecond(s).";
}

std::string ResultText(bool stillRunning, bool success, const std::string &source, const std::string &outputDir)
{
    if (!stillRunning)
        return kUserAborts;
    if (!success)
        return "Fail to repair file '" + source + "'!";
    const std::string second = wenk::SameFileExt(outputDir, ".EXE")
                                   ? "Now you can run the fixed self-extracting file '" + outputDir + "'."
                                   : "Now you can open the directory '" + outputDir +
                                         "' containing all the recovered image and layers.";
    return "File '" + source + "' has been repaired successfully!\r\n" + second;
}

std::string PreviewOnlyText(const std::string &source, const std::string &previewPath)
{
    return "Only the embedded preview of '" + source + "' could be recovered: " + previewPath;
}

std::string FolderTakenLine(const std::string &dir, const std::string &chosen)
{
    return "The folder '" + dir + "' already holds files: the recovered files go to '" + chosen + "'.";
}

bool IsPreviewFile(const std::string &path)
{
    const std::size_t slash = path.find_last_of('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string ext = ".jpg";
    if (name.size() <= ext.size() || name.compare(name.size() - ext.size(), ext.size(), ext) != 0)
        return false;
    name.erase(name.size() - ext.size());
    const std::size_t at = name.rfind("_preview");
    if (at == std::string::npos || at == 0)
        return false;
    const std::string rest = name.substr(at + 8);
    if (rest.empty())
        return true;
    return rest.size() > 1 && rest[0] == '_' &&
           rest.find_first_not_of("0123456789", 1) == std::string::npos;
}

} // namespace repairlog
