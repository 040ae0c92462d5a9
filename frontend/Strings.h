// The window's texts that the window resource (MainFrm.ui) does not hold.
#pragma once

namespace strings {

inline constexpr const char *kAppTitle = "Velmora";
inline constexpr const char *kSelSrcFile = "Select &Photoshop image file to be repaired:";
inline constexpr const char *kSelDstFile = "&Output recovered image and layers to:";
inline constexpr const char *kOpenFilter = "Photoshop image files (*.psd;*.pdd)|*.psd;*.pdd|All files (*.*)|*.*";
inline constexpr const char *kSaveLogFilter = "Log files (*.log)|*.log";
inline constexpr const char *kCopyright =
    "Copyright (C) 2026 The Velmora developers. This program may be copied and given away freely.";
inline constexpr const char *kHomepage = "https://velmora.example.org/";
inline constexpr const char *kEmail = "support@velmora.example.org";
inline constexpr const char *kInformation = "Information";
inline constexpr const char *kError = "Error";
inline constexpr const char *kCannotOpenFile = "Cannot open file %1";
inline constexpr const char *kAddFilesFirst = "Please add files to the list first";
inline constexpr const char *kSelectTempDir = "Select directory for temporary files:";
inline constexpr const char *kCreateDirectory = "The specified directory does not exist. Create it?";
inline constexpr const char *kIncludeSysInfo = "Include S&ystem Information";
inline constexpr const char *kIncludeSysInfoHint = "Include system information in the log file";
inline constexpr const char *kCannotCreateFile = "Cannot create file %1";

} // namespace strings
