#include "PsdRecoverer.h"

#include "DocumentWriter.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sys/resource.h>
#include <cstring>
#include <unistd.h>

namespace zelt {

unsigned long &MergedImageCounter()
{
    static unsigned long counter = 1;
    return counter;
}

namespace {

uint64_t ReadNumber(const std::string &file)
{
    std::ifstream in(file);
    uint64_t n = 0;
    return in >> n ? n : 0; // "max" and a missing file read as no limit
}

// The memory limit of this process's cgroup (version 2 or 1), or 0 for none.
uint64_t CgroupMemoryLimit()
{
    std::ifstream self("/proc/self/cgroup");
    std::string line;
    uint64_t limit = 0;
    auto take = [&limit](uint64_t n) {
        if (n > 0 && (limit == 0 || n < limit))
            limit = n;
    };
    while (std::getline(self, line)) {
        if (line.rfind("0::", 0) == 0)
            take(ReadNumber("/sys/fs/cgroup" + line.substr(3) + "/memory.max"));
        else if (const std::size_t at = line.find(":memory:"); at != std::string::npos)
            take(ReadNumber("/sys/fs/cgroup/memory" + line.substr(at + 8) + "/memory.limit_in_bytes"));
    }
    return limit;
}

} // namespace

uint64_t DefaultMemoryBudget()
{
    // Half of what the run can have: the physical memory, the cgroup's limit
    // (a container's), the address-space limit. ZELT_MEMORY_BUDGET (bytes)
    // may lower it further.
    uint64_t budget = uint64_t{1} << 30;
    const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGE_SIZE);
    if (pages > 0 && pageSize > 0)
        budget = static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize) / 2;
    if (const uint64_t cgroup = CgroupMemoryLimit(); cgroup > 0)
        budget = std::min(budget, cgroup / 2);
    struct rlimit as;
    if (getrlimit(RLIMIT_AS, &as) == 0 && as.rlim_cur != RLIM_INFINITY)
        budget = std::min<uint64_t>(budget, as.rlim_cur / 2);
    if (const char *env = std::getenv("ZELT_MEMORY_BUDGET"); env && *env) {
        char *end = nullptr;
        const unsigned long long bytes = std::strtoull(env, &end, 10);
        if (end && *end == '\0')
            budget = std::min<uint64_t>(budget, bytes);
    }
    return budget;
}

std::string AddTrailingBackslash(const std::string &dir)
{
    if (dir.empty() || dir.back() == '/')
        return dir;
    return dir + '/';
}

std::string PathFileName(const std::string &path)
{
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

static std::size_t ExtensionDot(const std::string &path)
{
    const std::size_t dot = path.find_last_of('.');
    const std::size_t slash = path.find_last_of('/');
    if (dot == std::string::npos || (slash != std::string::npos && slash > dot))
        return std::string::npos;
    return dot;
}

std::string PathWithoutExtension(const std::string &path)
{
    const std::size_t dot = ExtensionDot(path);
    return dot == std::string::npos ? path : path.substr(0, dot);
}

std::string PathExtension(const std::string &path)
{
    const std::size_t dot = ExtensionDot(path);
    return dot == std::string::npos ? std::string() : path.substr(dot);
}

std::string MergedImageName(const std::string &path)
{
    unsigned long &counter = MergedImageCounter();
    std::string name = PathWithoutExtension(path) + "_" + std::to_string(counter) + PathExtension(path);
    ++counter;
    return name;
}

uint32_t ModeColourChannels(uint16_t mode)
{
    switch (mode) {
    case 0: case 1: case 2: case 8: return 1;
    case 3: case 9: return 3;
    case 4: return 4;
    default: return 0;
    }
}

const ChannelRecord *FindChannel(const std::vector<ChannelRecord> &list, int16_t id)
{
    for (const ChannelRecord &c : list)
        if (c.id == id)
            return &c;
    return nullptr;
}

PsdRecoverer::PsdRecoverer(RecoveryJob &job, CFile64Ex &source, const std::string &outputDir,
                           uint64_t &recoveredCount)
    : m_job(job), m_source(source), m_outputDir(AddTrailingBackslash(outputDir)),
      m_recovered(recoveredCount), m_memoryBudget(DefaultMemoryBudget()), m_namer(job)
{
}

uint64_t PsdRecoverer::SourceLength() { return m_source.GetLength(); }

bool PsdRecoverer::MatchFileHeader(uint32_t &consumed)
{
    uint8_t h[26];
    if (!m_source.ReadExact(h, sizeof h))
        return false;
    consumed = 26;
    const uint16_t version = LoadBE16(h + 4);
    const uint16_t channels = LoadBE16(h + 12);
    const uint32_t height = LoadBE32(h + 14);
    const uint32_t width = LoadBE32(h + 18);
    const uint16_t depth = LoadBE16(h + 22);
    const uint16_t mode = LoadBE16(h + 24);
    if (LoadBE32(h) != kSignature || (version != 1 && version != 2))
        return false;
    // Real files hold up to 57 channels (53 alpha channels beside CMYK's
    // four); more than 24 are taken only where the sections behind the
    // header parse.
    if (channels < 1 || channels > kMaxFileChannels)
        return false;
    if (height < 1 || height > 300000 || width < 1 || width > 300000)
        return false;
    if (depth != 1 && depth != 8 && depth != 16 && depth != 32)
        return false;
    switch (mode) {
    case 0: case 1: case 2: case 3: case 4: case 7: case 8: case 9: break;
    default: return false;
    }
    if (channels > 24 && !SectionsFollow(m_source.GetPosition(), version == 2))
        return false;
    m_properties = ImageProperties{channels, height, width, depth, mode};
    // The layout holds for what follows, up to the next header.
    m_layout.large = version == 2;
    m_headerSeen = true;
    m_headerSectionsKnown = false;
    m_headerSectionsEnd = m_source.GetPosition();
    m_resourcesLength = 0;
    m_resourcesWhole = false;
    return true;
}

bool PsdRecoverer::SectionsFollow(uint64_t at, bool large)
{
    // The colour-mode data, the image resources as whole resource blocks,
    // and a layer-and-mask section that ends inside the source.
    const uint64_t length = SourceLength();
    uint8_t b[8];
    m_source.SeekTo(at);
    if (!m_source.ReadExact(b, 4))
        return false;
    const uint64_t resources = at + 4 + LoadBE32(b);
    m_source.SeekTo(resources);
    if (resources + 4 > length || !m_source.ReadExact(b, 4))
        return false;
    const uint64_t resourcesLength = LoadBE32(b);
    std::optional<double> aspect;
    if (resourcesLength > 0 && !ReadResourceBlocks(resources + 4, resourcesLength, aspect))
        return false;
    const uint64_t section = resources + 4 + resourcesLength;
    const uint32_t n = large ? 8 : 4;
    m_source.SeekTo(section);
    if (!m_source.ReadExact(b, n))
        return false;
    const bool follows = section + n + LoadBE(b, n) + 2 <= length;
    m_source.SeekTo(at);
    return follows;
}

bool PsdRecoverer::ReadColorModeData(uint16_t mode, uint32_t &length)
{
    uint8_t b[4];
    if (!m_source.ReadExact(b, 4))
        return false;
    length = LoadBE32(b);
    const uint64_t pos = m_source.GetPosition();
    const uint64_t total = SourceLength();
    const uint64_t available = std::min<uint64_t>(length, total > pos ? total - pos : 0);

    if (mode == 2) {
        // Only the first 256 groups are ever written; the rest of a long
        // palette is not read into memory.
        uint64_t count = available / 3;
        for (uint64_t k = 0; k < count && m_palette.size() < 256; ++k) {
            std::array<uint8_t, 4> group = {0xFF, 0xFF, 0xFF, 0xFF};
            uint8_t rgb[3];
            const uint32_t got = m_source.Read(rgb, 3);
            std::memcpy(group.data(), rgb, got);
            m_palette.push_back(group);
            if (got < 3)
                break;
        }
        return true;
    }
    if (mode == 8) {
        // Duotone data is a few hundred bytes; a length beyond the memory
        // budget is no duotone section.
        if (available > m_memoryBudget)
            return false;
        m_duotone.assign(available, 0);
        if (available > 0)
            m_source.Read(m_duotone.data(), static_cast<uint32_t>(available));
        return available != 0;
    }
    // Other modes keep colour data too (a 32-bit document's): the section
    // is passed by its length.
    return true;
}

bool PsdRecoverer::SkipSizedSection()
{
    uint8_t b[4];
    if (!m_source.ReadExact(b, 4))
        return false;
    const uint64_t target = m_source.GetPosition() + LoadBE32(b);
    return m_source.Seek(static_cast<int64_t>(target), begin) == target;
}

bool PsdRecoverer::SkipHeaderSections()
{
    uint8_t b[8];
    if (!m_source.ReadExact(b, 4))
        return false;
    m_resourcesOffset = m_source.GetPosition();
    m_resourcesLength = LoadBE32(b);
    m_resourcesWhole = m_resourcesOffset + m_resourcesLength <= SourceLength();
    m_source.SeekTo(m_resourcesOffset + m_resourcesLength);
    m_headerSectionsEnd = m_source.GetPosition();
    // The layer-and-mask section: 4 or 8 bytes of length by the layout.
    const uint32_t n = m_layout.LengthBytes();
    if (!m_source.ReadExact(b, n))
        return false;
    const uint64_t length = LoadBE(b, n);
    if (length > kMaxSectionLength)
        return false;
    m_source.SeekTo(m_source.GetPosition() + length);
    m_headerSectionsKnown = true;
    return true;
}

} // namespace zelt
