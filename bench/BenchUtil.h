// Small helpers shared by the benchmark programs.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <vector>

#include "ZeltApi.h"

namespace bench {

class TempDir {
public:
    TempDir()
    {
        const char *base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/velmora-bench-XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        if (!mkdtemp(buf.data()))
            throw std::runtime_error("mkdtemp failed");
        m_path = buf.data();
    }
    ~TempDir() { std::system(("rm -rf '" + m_path + "'").c_str()); }
    const std::string &Path() const { return m_path; }

private:
    std::string m_path;
};

inline void WriteFile(const std::string &path, const std::vector<uint8_t> &data)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char *>(data.data()), std::streamsize(data.size()));
}

/// Seconds RecoverFile takes on src.
inline double TimeRecover(RecoverFileFn recover, const std::string &src, const std::string &out,
                          EngineCallback cb, void *user, int32_t *result = nullptr,
                          uint32_t flags = ZELT_RECOVER_HEURISTIC)
{
    RepairOptions options{22, 3, 600, 800, 8, 3, flags};
    EngineParams p{src.c_str(), &options, 0, out.c_str(), cb, user};
    ZeltMaskParams(&p, sizeof p);
    const auto start = std::chrono::steady_clock::now();
    const int32_t r = recover(&p);
    if (result)
        *result = r;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

/// Peak resident memory of this process so far, in bytes.
inline uint64_t MaxRss()
{
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return uint64_t(ru.ru_maxrss) * 1024;
}

} // namespace bench
