// File-name and file routines of the front end. Paths split at "/", the only
// separator on Linux.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace wenk {

/// The name without its last extension: the text before the last "." when
/// that dot comes after the last "/"; otherwise the name unchanged.
std::string RemoveFileExt(const std::string &name);

/// True when the name's extension (from its last "." after the last "/")
/// equals ext (with its dot), both in upper case.
bool SameFileExt(const std::string &name, const std::string &ext);

/// RemoveFileExt(name) + "_recovered/".
std::string DefaultOutputDir(const std::string &name);

/// The temporary-files directory with a trailing "/": $TMPDIR when it names
/// a directory, else /tmp/; empty when neither exists.
std::string GetTempDir();

/// The size of the file the name finds (the first match of a name with
/// wildcards), 0 when nothing is found. 64-bit.
uint64_t GetFileSize64(const std::string &name);

/// The size of the file of exactly this name, read without any pattern
/// matching ("a[1].psd" is that file), 0 when it does not exist. 64-bit.
uint64_t FileSizeOf(const std::string &name);

/// caption + ": " + "Yes" or "No".
std::string CheckBoxSettingText(const std::string &caption, bool checked);

/// Creates the directory and every missing parent. A trailing "/" is
/// ignored; the root, or a path that already is a directory, counts as
/// created. False when a directory cannot be created (or path is empty).
bool ForceDirectories(const std::string &path);

/// True when path names anything but a missing or empty directory: a
/// directory with entries (hidden ones too), or a file.
bool FolderHoldsFiles(const std::string &path);

/// The first of first, first_2/, first_3/ ... (first ends in "/") that holds
/// no files and that taken (when given) does not refuse: a repair never
/// mixes its files with an earlier one's.
std::string FreeOutputFolder(const std::string &first, const std::function<bool(const std::string &)> &taken = {});

/// The directories of dir and its parents that do not exist, the deepest
/// first: what creating dir will create.
std::vector<std::string> MissingDirectories(const std::string &dir);

/// Removes those of dirs (the deepest first) that are empty; stops at the
/// first that is not, so that a folder a repair made and left empty does
/// not stay behind.
void RemoveEmptyDirectories(const std::vector<std::string> &dirs);

} // namespace wenk
