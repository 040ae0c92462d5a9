#include "VersionInfo.h"

#include <cstring>
#include <elf.h>
#include <fstream>
#include <unistd.h>
#include <vector>

namespace wenk {
namespace {

constexpr uint32_t kNoteType = 0x56455231; // "VER1"
constexpr char kNoteName[] = "Velmora";

std::string Half(uint32_t v) { return std::to_string(v >> 16) + "." + std::to_string(v & 0xFFFF); }

template <class T> bool ReadAt(std::ifstream &f, uint64_t offset, T &out)
{
    f.seekg(static_cast<std::streamoff>(offset));
    return static_cast<bool>(f.read(reinterpret_cast<char *>(&out), sizeof out));
}

} // namespace

std::optional<VersionRecord> ReadVersionRecord(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    Elf64_Ehdr eh;
    if (!f || !ReadAt(f, 0, eh) || std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 ||
        eh.e_ident[EI_CLASS] != ELFCLASS64 || eh.e_shentsize != sizeof(Elf64_Shdr))
        return std::nullopt;
    for (unsigned i = 0; i < eh.e_shnum; ++i) {
        Elf64_Shdr sh;
        if (!ReadAt(f, eh.e_shoff + uint64_t{i} * sizeof sh, sh))
            return std::nullopt;
        if (sh.sh_type != SHT_NOTE || sh.sh_size > (1u << 20))
            continue;
        std::vector<char> notes(sh.sh_size);
        f.seekg(static_cast<std::streamoff>(sh.sh_offset));
        if (!f.read(notes.data(), static_cast<std::streamsize>(notes.size())))
            continue;
        std::size_t at = 0;
        while (at + sizeof(Elf64_Nhdr) <= notes.size()) {
            Elf64_Nhdr nh;
            std::memcpy(&nh, notes.data() + at, sizeof nh);
            const std::size_t name = at + sizeof nh, desc = name + ((nh.n_namesz + 3) & ~3u);
            const std::size_t next = desc + ((nh.n_descsz + 3) & ~3u);
            if (next > notes.size())
                break;
            if (nh.n_type == kNoteType && nh.n_namesz == sizeof kNoteName &&
                std::memcmp(notes.data() + name, kNoteName, sizeof kNoteName) == 0 &&
                nh.n_descsz == sizeof(VersionRecord)) {
                VersionRecord r;
                std::memcpy(&r, notes.data() + desc, sizeof r);
                return r;
            }
            at = next;
        }
    }
    return std::nullopt;
}

std::string GetFileVersionText(const std::string &path, int selector)
{
    const auto r = ReadVersionRecord(path);
    if (!r)
        return {};
    switch (selector) {
    case 0: return Half(r->fileVersionMS);
    case 1: return Half(r->fileVersionLS);
    case 2: return Half(r->fileVersionMS) + "." + Half(r->fileVersionLS);
    case 3: return Half(r->productVersionMS);
    case 4: return Half(r->productVersionLS);
    case 5: return Half(r->productVersionMS) + "." + Half(r->productVersionLS);
    default: return {};
    }
}

std::string OwnProgramPath()
{
    std::vector<char> buf(4096);
    const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    return n > 0 ? std::string(buf.data(), static_cast<std::size_t>(n)) : std::string();
}

} // namespace wenk
