// The window's texts that the window resource (MainFrm.ui) does not hold.
#pragma once

namespace strings {

inline constexpr const char *kAppTitle = "Velmora";
inline constexpr const char *kSelSrcFile = "Select &Photoshop image file to be repaired:";
inline constexpr const char *kSelDstFile = "&Output recovered image and layers to:";
inline constexpr const char *kOpenFilter =
    "Photoshop image files (*.psd;*.pdd;*.psb)|*.psd;*.pdd;*.psb|All files (*.*)|*.*";
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
inline constexpr const char *kCannotCreateDirectory = "Cannot create the directory '%1'!";
inline constexpr const char *kStartRepair = "&Start Repair";
inline constexpr const char *kStopRepair = "&Stop Repair";

// The settings store's errors.
inline constexpr const char *kInvalidDataType = "Invalid data type for '%1'";
inline constexpr const char *kFailedToGetData = "Failed to get data for '%1'";
inline constexpr const char *kFailedToCreateKey = "Failed to create key %1";

// The saved log's blocks.
inline constexpr const char *kVersionInformation = " Version Information:";
inline constexpr const char *kFileVersion = "File Version: ";
inline constexpr const char *kProductVersion = "Product Version: ";
inline constexpr const char *kOperatingSystem = "Operating System: %s %d.%.2d.%d";
inline constexpr const char *kWindowsDirectoryLabel = "Windows Directory: ";
inline constexpr const char *kSystemDirectoryLabel = "System Directory: ";
inline constexpr const char *kTemporaryDirectoryLabel = "Temporary Directory: ";
inline constexpr const char *kNoInformation = "Cannot get the required infomation. Error Code: %1.";
inline constexpr const char *kMemoryStatus = "Memory Status:";
inline constexpr const char *kMemoryInUse = "Memory in use: %1%";
inline constexpr const char *kTotalPhysical = "Total physical memory: %1 bytes";
inline constexpr const char *kFreePhysical = "Free physical memory: %1 bytes";
inline constexpr const char *kTotalPage = "Total page file memory: %1 bytes";
inline constexpr const char *kFreePage = "Free page file memory: %1 bytes";
inline constexpr const char *kTotalVirtual = "Total virtual memory: %1 bytes";
inline constexpr const char *kFreeVirtual = "Free virtual memory: %1 bytes";
inline constexpr const char *kEnvironmentInformation = "Environment Information:";
inline constexpr const char *kDriveInformation = "Drive Information:";
inline constexpr const char *kFixedDriveLine = "%1, %2, Total Disk Spaces: %3 bytes, Free Disk Spaces: %4 bytes.";
inline constexpr const char *kDriveLine = "%1, %2";
inline constexpr const char *kDriveTypeNames[] = {"Unknown Drive Type", "Invalid Root Path", "Removable Drive",
                                                  "Fixed Drive", "Remote Network Drive", "CD-ROM Drive", "RAM Disk"};
inline constexpr const char *kEndOfSystemInformation = "End of System Information";
inline constexpr const char *kSettingInformation = "Setting Information:";
inline constexpr const char *kEndOfSettingInformation = "End of Setting Information";

// The Recovered Files page.
inline constexpr const char *kCannotOpenTheFile = "Cannot open the file '%1'!";
inline constexpr const char *kPixelSize = "%1 x %2 pixels"; // width x height
inline constexpr const char *kNotReadWhole = "Not read whole: %1";
inline constexpr const char *kOnePiece = "1 piece";
inline constexpr const char *kPieces = "%1 pieces";
inline constexpr const char *kDamagedCount = "%1 damaged";
inline constexpr const char *kNothingRecovered = "nothing recovered";
inline constexpr const char *kOnlyPreview = "only the embedded preview";
inline constexpr const char *kRepairing = "Repairing ...";
inline constexpr const char *kLastRepair = "Last repair";
inline constexpr const char *kGroupOutput = "Recovered into %1";
inline constexpr const char *kGroupFolded = "Pieces of %1, folded: Enter shows them";
inline constexpr const char *kGroupUnfolded = "Pieces of %1: Enter folds them";
inline constexpr const char *kPieceWhole = "Read whole";
inline constexpr const char *kPieceDamaged = "Damaged, not read whole: %1";
inline constexpr const char *kHoldsDamagedLayer = "the rebuilt document holds a layer that was not read whole";
inline constexpr const char *kFileCutShort = "the file ends before its pixel data does";
inline constexpr const char *kNothingRecoveredPage =
    "Nothing was recovered from %1. When the file's header is lost, give the picture's width and height "
    "(and its channels, depth and mode where you know them) on the Options page, then repair it again.";
inline constexpr const char *kTheseFiles = "these files";
inline constexpr const char *kGiveTheSize =
    "Give the picture's width and height on the Options page (the Width and Height boxes), then start the repair "
    "again.";
inline constexpr const char *kFolderHoldsFiles = "The folder '%1' already holds files: the recovered files go to '%2'.";
inline constexpr const char *kOutcomeColumn = "Outcome";
inline constexpr const char *kTitleProgress = "%1% - %2";
inline constexpr const char *kDamagedOnly = "Damaged &only";

} // namespace strings
