#include "WenkUtils.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <glob.h>
#include <unistd.h>
#include <sys/stat.h>

namespace wenk {
namespace {

// The position of the extension's dot, or npos when the last delimiter is
// not a dot.
std::size_t ExtensionDot(const std::string &name)
{
    const std::size_t p = name.find_last_of("./");
    return p != std::string::npos && name[p] == '.' ? p : std::string::npos;
}

bool IsDirectory(const std::string &path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string Upper(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::toupper(c)); });
    return s;
}

} // namespace

std::string RemoveFileExt(const std::string &name)
{
    const std::size_t dot = ExtensionDot(name);
    return dot == std::string::npos ? name : name.substr(0, dot);
}

bool SameFileExt(const std::string &name, const std::string &ext)
{
    const std::size_t dot = ExtensionDot(name);
    const std::string own = dot == std::string::npos ? std::string() : name.substr(dot);
    return Upper(own) == Upper(ext);
}

std::string DefaultOutputDir(const std::string &name) { return RemoveFileExt(name) + "_recovered/"; }

std::string GetTempDir()
{
    std::string dir;
    if (const char *env = std::getenv("TMPDIR"); env && *env && IsDirectory(env))
        dir = env;
    else if (IsDirectory("/tmp"))
        dir = "/tmp";
    if (!dir.empty() && dir.back() != '/')
        dir += '/';
    return dir;
}

uint64_t GetFileSize64(const std::string &name)
{
    // The first entry the name finds, as a directory search would: a name
    // with wildcards gives the size of its first match.
    glob_t found;
    uint64_t size = 0;
    if (::glob(name.c_str(), GLOB_NOSORT | GLOB_NOESCAPE, nullptr, &found) == 0 && found.gl_pathc > 0) {
        struct stat st;
        if (::stat(found.gl_pathv[0], &st) == 0)
            size = static_cast<uint64_t>(st.st_size);
    }
    globfree(&found);
    return size;
}

uint64_t FileSizeOf(const std::string &name)
{
    struct stat st;
    return ::stat(name.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

std::string CheckBoxSettingText(const std::string &caption, bool checked)
{
    return caption + ": " + (checked ? "Yes" : "No");
}

bool ForceDirectories(const std::string &path)
{
    if (path.empty())
        return false;
    std::string dir = path;
    if (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    if (dir == "/" || IsDirectory(dir))
        return true;
    const std::size_t slash = dir.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !ForceDirectories(dir.substr(0, slash)))
        return false;
    return ::mkdir(dir.c_str(), 0777) == 0 || (errno == EEXIST && IsDirectory(dir));
}

bool FolderHoldsFiles(const std::string &path)
{
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return false;
    DIR *d = S_ISDIR(st.st_mode) || S_ISLNK(st.st_mode) ? ::opendir(path.c_str()) : nullptr;
    if (!d)
        return true; // a file, or a folder one cannot look into
    bool any = false;
    while (const dirent *e = ::readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
            any = true;
            break;
        }
    ::closedir(d);
    return any;
}

std::string FreeOutputFolder(const std::string &first, const std::function<bool(const std::string &)> &taken)
{
    const std::string stem = !first.empty() && first.back() == '/' ? first.substr(0, first.size() - 1) : first;
    std::string dir = first;
    for (unsigned k = 2; (taken && taken(dir)) || FolderHoldsFiles(dir); ++k)
        dir = stem + "_" + std::to_string(k) + "/";
    return dir;
}

std::vector<std::string> MissingDirectories(const std::string &dir)
{
    std::vector<std::string> missing;
    std::string path = dir;
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    struct stat st;
    while (!path.empty() && path != "/" && path != "." && ::lstat(path.c_str(), &st) != 0) {
        missing.push_back(path);
        const std::size_t slash = path.find_last_of('/');
        path = slash == std::string::npos ? std::string() : path.substr(0, slash == 0 ? 1 : slash);
    }
    return missing;
}

void RemoveEmptyDirectories(const std::vector<std::string> &dirs)
{
    for (const std::string &dir : dirs)
        if (::rmdir(dir.c_str()) != 0)
            return; // not empty (or not ours): its parents stay too
}

} // namespace wenk
